#include "shell/editions.h"

#include "base/text.h"

namespace kv::shell {

namespace {

constexpr std::array<Edition, 4> kEditions{{
    {0, 134, 128, 123, 61530, 57664, true},
    {1, 135, 132, 211, 61514, 61517, true},
    {3, 140, 139, 211, 61514, 0, true},
    {2, 136, 133, 232, 61515, 61526, false},
}};

} // namespace

const std::array<Edition, 4>& editionTable() {
    return kEditions;
}

const Edition& editionByNumber(int number) {
    for (const Edition& e : kEditions)
        if (e.number == number)
            return e;
    return kEditions[0];
}

std::string_view baseEditionString(int id) {
    switch (id) {
    case 128:
        return "Korvane Mini";
    case 132:
        return "Zelvio Z3";
    case 133:
        return "Parnel PX-80";
    case 134:
        return "kvmini";
    case 135:
        return "zelvz3";
    case 136:
        return "px-80";
    case 139:
        return "Zelvio Z3";
    case 140:
        return "zelvz3";
    case 61530:
        return "JPEG Files(*.jpg)|*.jpg|Korvane Files(*.kvi)|*.kvi||";
    case 61514:
        return "JPEG Files(*.jpg)|*.jpg|Zelvio Z3 Files(*.kvi)|*.kvi||";
    case 61515:
        return "JPEG Files(*.jpg)|*.jpg|Parnel PX-80 Files(*.kvi)|*.kvi||";
    default:
        return {};
    }
}

StringLookup baseStrings() {
    return [](int id) { return std::string(baseEditionString(id)); };
}

std::string moduleName(std::string_view programPath) {
    const auto slash = programPath.find_last_of('/');
    std::string_view name =
        slash == std::string_view::npos ? programPath : programPath.substr(slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string_view::npos && dot > 0)
        name = name.substr(0, dot);
    return std::string(name);
}

const Edition& chooseEdition(std::string_view module, const StringLookup& strings) {
    for (const Edition& e : kEditions)
        if (equalsIgnoreCase(module, strings(e.nameStringId)))
            return e;
    return kEditions[0];
}

std::string productName(const Edition& edition, const StringLookup& strings) {
    return strings(edition.resourceId);
}

std::string openFilter(const Edition& edition, const StringLookup& strings) {
    return strings(edition.openFilterId);
}

std::string aboutTitle(std::string_view product) {
    return "About " + std::string(product);
}

} // namespace kv::shell
