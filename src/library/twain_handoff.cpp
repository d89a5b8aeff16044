#include "library/twain_handoff.h"

#include "imaging/bitmap_file.h"
#include "platform/replace_file.h"
#include "platform/paths.h"
#include "settings/profile.h"
#include "settings/twain_profile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kv::library {
namespace fs = std::filesystem;

namespace {

// The reason a directory cannot take the hand-off, or an empty text when it can.
std::string unusableDirectory(const fs::path& dir) {
    if (dir.empty())
        return "No temporary directory is set (TEMP).";
    const std::string quoted = "The temporary directory \"" + dir.string() + "\" ";
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return quoted + "cannot be used: " + std::strerror(errno) + ".";
    if (!S_ISDIR(st.st_mode))
        return quoted + "is not a directory.";
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return quoted + "cannot be written: " + std::strerror(errno) + ".";
    return {};
}

// The reason the hand-off file may not be replaced, or an empty text when it may.
std::string unsafeTarget(const fs::path& target) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) != 0)
        return {};
    if (st.st_uid != ::geteuid())
        return "\"" + target.string() +
               "\" belongs to another user; the picture was not transferred.";
    if (S_ISDIR(st.st_mode))
        return "\"" + target.string() + "\" is a directory; the picture was not transferred.";
    return {};
}

class WaitCursor {
public:
    explicit WaitCursor(Operator& op) : op_(op) { op_.setWaitCursor(true); }
    ~WaitCursor() { op_.setWaitCursor(false); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    Operator& op_;
};

} // namespace

fs::path handoffBitmapPath(const fs::path& directory, std::size_t position) {
    return directory / ("KVImage" + std::to_string(position) + ".bmp");
}

HandoffPlaces defaultHandoffPlaces() {
    return {platform::tempDirectory(), settings::twainProfilePath()};
}

Status TransferToApplication(std::span<const PictureRecord> pictures, const OutputRenderer& render,
                             Operator& op, const HandoffPlaces& places) {
    int count = 0;
    for (const PictureRecord& p : pictures)
        count += p.highlighted ? 1 : 0;
    if (count >= 2) {
        op.message(kMultipleTransfersMessage);
        return status::Failed;
    }
    for (std::size_t position = 0; position < pictures.size(); ++position) {
        if (!pictures[position].highlighted)
            continue;
        if (std::string why = unusableDirectory(places.directory); !why.empty()) {
            op.message(why);
            return status::Failed;
        }
        const fs::path target = handoffBitmapPath(places.directory, position);
        if (std::string why = unsafeTarget(target); !why.empty()) {
            op.message(why);
            return status::Failed;
        }
        WaitCursor wait(op);
        const imaging::RgbPicture picture = render ? render(position) : imaging::RgbPicture{};
        Bytes file;
        if (picture.valid())
            file = imaging::MakeBitmap24File(picture.pixels, picture.width, picture.height);
        if (file.empty()) {
            op.message("The picture \"" + pictures[position].path +
                       "\" could not be rendered for the transfer.");
            return status::Failed;
        }
        std::string error;
        if (!platform::replaceFileNoFollow(target, file, error)) {
            op.message("An error occurred while writing \"" + target.string() + "\": " + error +
                       ".");
            return status::Failed;
        }
    }
    settings::Profile ini(places.iniFile);
    if (!ini.writeInt(settings::kTwainSourceSection, settings::kPendingImagesKey, count)) {
        op.message("An error occurred while writing \"" + places.iniFile.string() + "\".");
        return status::Failed;
    }
    return status::Ok;
}

} // namespace kv::library
