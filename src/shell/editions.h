// The editions: one program shipped under several product names. The executable's own name
// picks the edition (ignoring case) by the table below, after a translation may have renamed
// the names it is compared with.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

namespace kv::shell {

struct Edition {
    int number;       // 0..3
    int nameStringId; // the string the module name is compared with
    int resourceId;   // menu, toolbar, accelerators, icon; also the product name's string
    int splashId;     // the splash picture
    int openFilterId; // the open dialog's filter string
    int aboutCommand; // 0 = the edition has no About command
    bool twainCredit; // the About box shows the TWAIN credit line
};

// In the order of comparison; the first match decides.
const std::array<Edition, 4>& editionTable();
const Edition& editionByNumber(int number);

// The texts of the string table that belong to editions (ids 128, 132..140, 61514, 61515,
// 61530); empty for other ids.
std::string_view baseEditionString(int id);

// A string of the table, as the installed translation gives it (the base text when the
// translation has none).
using StringLookup = std::function<std::string(int id)>;
StringLookup baseStrings();

// The module name of a program path: the file name without directory and extension.
std::string moduleName(std::string_view programPath);

// The edition for a module name; no match gives edition 0.
const Edition& chooseEdition(std::string_view module, const StringLookup& strings);

std::string productName(const Edition& edition, const StringLookup& strings);
std::string openFilter(const Edition& edition, const StringLookup& strings);

// "About " + product name.
std::string aboutTitle(std::string_view product);
inline constexpr std::string_view kProgramVersion = "2.00.25";
inline constexpr std::string_view kAcPower = "AC Power";

} // namespace kv::shell
