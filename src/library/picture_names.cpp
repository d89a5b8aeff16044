#include "library/picture_names.h"

#include "base/text.h"

namespace kv::library {
namespace {

std::string_view nameOf(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view directoryOf(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash + 1);
}

bool endsWithIgnoreCase(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && equalsIgnoreCase(s.substr(s.size() - tail.size()), tail);
}

} // namespace

std::string fileTitle(std::string_view path) {
    std::string_view name = nameOf(path);
    if (name.size() > 4 && (endsWithIgnoreCase(name, ".kvi") || endsWithIgnoreCase(name, ".jpg")))
        name.remove_suffix(4);
    return std::string(name);
}

std::string captionForTitle(std::string_view title) {
    if (title.size() <= 11)
        return std::string(title);
    return std::string(title.substr(0, 10)) + std::string(kCaptionEllipsis);
}

bool isTemporaryPath(std::string_view path) {
    const std::string_view name = nameOf(path);
    return !name.empty() && name.front() == '~';
}

std::string savedPathOf(std::string_view path) {
    if (!isTemporaryPath(path))
        return std::string(path);
    return std::string(directoryOf(path)) + std::string(nameOf(path).substr(1));
}

std::string workingPathOf(std::string_view path) {
    return std::string(directoryOf(path)) + "~" + std::string(nameOf(path));
}

std::string soundPathOf(std::string_view path) {
    std::string saved = savedPathOf(path);
    if (saved.size() < 3)
        return saved + "wav";
    return saved.substr(0, saved.size() - 3) + "wav";
}

bool hasPictureExtension(std::string_view path) {
    return endsWithIgnoreCase(path, ".kvi") || endsWithIgnoreCase(path, ".jpg");
}

bool hasJpegExtension(std::string_view path) {
    return endsWithIgnoreCase(path, ".jpg");
}

} // namespace kv::library
