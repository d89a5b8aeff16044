// The text of one INI file as a list of lines, with the lookups and edits of the private-profile
// service: sections and keys compare without regard to case, the first match wins, and an edit
// changes one line (or adds one) while every other line stays exactly as it was.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::settings {

class IniDocument {
public:
    // Files larger than this are read only up to here (a profile is a few kilobytes).
    static constexpr std::size_t MaxFileSize = 4 << 20;

    IniDocument() = default;
    explicit IniDocument(std::string_view text);

    // The value of `key` in `section`, blanks around it and one pair of enclosing quotes
    // removed; nothing when the section or key is absent.
    std::optional<std::string> find(std::string_view section, std::string_view key) const;

    // Sets `key` in `section`: replaces the key's line where present, else adds the key after
    // the last entry of the section, else appends the section at the end. A value with blanks
    // at either end or enclosing quotes is written inside one more pair of quotes, so that it
    // reads back as given. Refused (false, nothing changed) when a name or the value cannot
    // be held by a line of the file: see the checks below.
    bool set(std::string_view section, std::string_view key, std::string_view value);

    // A section name must not hold "]", a line break or a zero byte. A key must not be empty
    // (after trimming), hold "=", a line break or a zero byte, or start with "[" or ";". A
    // value must not hold a line break or a zero byte.
    static bool canHoldSection(std::string_view section);
    static bool canHoldKey(std::string_view key);
    static bool canHoldValue(std::string_view value);

    // Removes the key's line; false when there was none.
    bool remove(std::string_view section, std::string_view key);

    // The names of all sections, and the keys of one section, in file order.
    std::vector<std::string> sections() const;
    std::vector<std::string> keys(std::string_view section) const;

    std::string text() const;

private:
    struct Line {
        std::string raw;
        enum Kind { Other, Section, Entry } kind = Other;
        std::string name; // section name or key, trimmed
    };
    // Index of the section header line, or -1.
    long sectionLine(std::string_view section) const;
    // Index of the key's line inside the section starting after `header`, or -1.
    long entryLine(long header, std::string_view key) const;

    std::vector<Line> lines_;
    bool endsWithNewline_ = true;
};

} // namespace kv::settings
