// The INI reader and editor on arbitrary bytes: parsing, lookups and an edit never crash, and
// an edit never loses the keys that were there.

#include "settings/ini_document.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    kv::settings::IniDocument doc(text);
    if (doc.text() != text.substr(0, kv::settings::IniDocument::MaxFileSize) &&
        !(text.size() && doc.text() == std::string(text) + "\n"))
        std::abort();
    const auto sections = doc.sections();
    for (const auto& section : sections) {
        for (const auto& key : doc.keys(section))
            (void)doc.find(section, key);
    }
    doc.set("FUZZ", "KEY", "value");
    if (doc.find("FUZZ", "KEY") != "value")
        std::abort();
    // Any value the file can hold reads back as it was given; others are refused unchanged.
    const std::string_view value = text.substr(0, 64);
    const std::string before = doc.text();
    const bool stored = doc.set("FUZZ", "VALUE", value);
    if (stored != kv::settings::IniDocument::canHoldValue(value) ||
        (stored && doc.find("FUZZ", "VALUE") != value) || (!stored && doc.text() != before))
        std::abort();
    return 0;
}
