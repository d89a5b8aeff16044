#include "settings/ini_document.h"

#include "base/text.h"

namespace kv::settings {

IniDocument::IniDocument(std::string_view text) {
    if (text.size() > MaxFileSize)
        text = text.substr(0, MaxFileSize);
    endsWithNewline_ = text.empty() || text.back() == '\n';
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view raw = text.substr(start, end - start);
        start = end + 1;

        Line line;
        line.raw = std::string(raw);
        const std::string_view body = trim(raw);
        if (!body.empty() && body.front() == '[') {
            const std::size_t close = body.find(']');
            line.kind = Line::Section;
            line.name = std::string(trim(
                body.substr(1, close == std::string_view::npos ? body.size() - 1 : close - 1)));
        } else if (!body.empty() && body.front() != ';') {
            const std::size_t eq = body.find('=');
            if (eq != std::string_view::npos) {
                line.kind = Line::Entry;
                line.name = std::string(trim(body.substr(0, eq)));
            }
        }
        lines_.push_back(std::move(line));
    }
}

long IniDocument::sectionLine(std::string_view section) const {
    const std::string_view wanted = trim(section);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Line::Section && equalsIgnoreCase(lines_[i].name, wanted))
            return static_cast<long>(i);
    }
    return -1;
}

long IniDocument::entryLine(long header, std::string_view key) const {
    const std::string_view wanted = trim(key);
    for (std::size_t i = static_cast<std::size_t>(header) + 1; i < lines_.size(); ++i) {
        if (lines_[i].kind == Line::Section)
            break;
        if (lines_[i].kind == Line::Entry && equalsIgnoreCase(lines_[i].name, wanted))
            return static_cast<long>(i);
    }
    return -1;
}

std::optional<std::string> IniDocument::find(std::string_view section, std::string_view key) const {
    const long header = sectionLine(section);
    if (header < 0)
        return std::nullopt;
    const long at = entryLine(header, key);
    if (at < 0)
        return std::nullopt;
    const std::string& raw = lines_[static_cast<std::size_t>(at)].raw;
    std::string_view value = trim(std::string_view(raw).substr(raw.find('=') + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

namespace {

bool holdsLineBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

// The text stored for `value`: as it is, or inside quotes when reading would otherwise strip
// blanks or a pair of quotes from it.
std::string storedValue(std::string_view value) {
    if (value.empty())
        return {};
    const bool blankEnds = trim(value).size() != value.size();
    const bool quoted =
        value.size() >= 2 && isQuote(value.front()) && value.front() == value.back();
    if (blankEnds || quoted)
        return "\"" + std::string(value) + "\"";
    return std::string(value);
}

} // namespace

bool IniDocument::canHoldSection(std::string_view section) {
    return !holdsLineBreak(section) && section.find(']') == std::string_view::npos;
}

bool IniDocument::canHoldKey(std::string_view key) {
    const std::string_view name = trim(key);
    return !name.empty() && !holdsLineBreak(key) && name.find('=') == std::string_view::npos &&
           name.front() != '[' && name.front() != ';';
}

bool IniDocument::canHoldValue(std::string_view value) {
    return !holdsLineBreak(value);
}

bool IniDocument::set(std::string_view section, std::string_view key, std::string_view value) {
    if (!canHoldSection(section) || !canHoldKey(key) || !canHoldValue(value))
        return false;
    Line entry;
    entry.kind = Line::Entry;
    entry.name = std::string(trim(key));
    entry.raw = entry.name + "=" + storedValue(value);

    long header = sectionLine(section);
    if (header < 0) {
        Line head;
        head.kind = Line::Section;
        head.name = std::string(trim(section));
        head.raw = "[" + head.name + "]";
        lines_.push_back(std::move(head));
        lines_.push_back(std::move(entry));
        endsWithNewline_ = true;
        return true;
    }
    if (const long at = entryLine(header, key); at >= 0) {
        lines_[static_cast<std::size_t>(at)] = std::move(entry);
        return true;
    }
    // After the section's last entry, so that blank lines and comments before the next
    // section keep their place.
    std::size_t insertAt = static_cast<std::size_t>(header) + 1;
    for (std::size_t i = insertAt; i < lines_.size() && lines_[i].kind != Line::Section; ++i) {
        if (lines_[i].kind == Line::Entry)
            insertAt = i + 1;
    }
    if (insertAt == lines_.size())
        endsWithNewline_ = true;
    lines_.insert(lines_.begin() + static_cast<long>(insertAt), std::move(entry));
    return true;
}

bool IniDocument::remove(std::string_view section, std::string_view key) {
    const long header = sectionLine(section);
    const long at = header < 0 ? -1 : entryLine(header, key);
    if (at < 0)
        return false;
    lines_.erase(lines_.begin() + at);
    return true;
}

std::vector<std::string> IniDocument::sections() const {
    std::vector<std::string> names;
    for (const Line& line : lines_) {
        if (line.kind == Line::Section)
            names.push_back(line.name);
    }
    return names;
}

std::vector<std::string> IniDocument::keys(std::string_view section) const {
    std::vector<std::string> names;
    const long header = sectionLine(section);
    if (header < 0)
        return names;
    for (std::size_t i = static_cast<std::size_t>(header) + 1;
         i < lines_.size() && lines_[i].kind != Line::Section; ++i) {
        if (lines_[i].kind == Line::Entry)
            names.push_back(lines_[i].name);
    }
    return names;
}

std::string IniDocument::text() const {
    std::string out;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        out += lines_[i].raw;
        if (i + 1 < lines_.size() || endsWithNewline_)
            out += '\n';
    }
    return out;
}

} // namespace kv::settings
