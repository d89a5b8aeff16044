#include "camera/item_line.h"

#include "camera/line_scanner.h"

#include <type_traits>

namespace kv::camera {

ItemLine parseItemLine(ByteSpan line) {
    ItemLine item;
    LineScanner scan(line);
    std::int64_t value = 0;
    auto field = [&](bool comma, auto& target) {
        if ((comma && !scan.literal(",")) || !scan.integer(value))
            return false;
        target = static_cast<std::remove_reference_t<decltype(target)>>(value);
        ++item.fieldsRead;
        return true;
    };
    (void)(field(false, item.status) && field(true, item.number) && field(true, item.size) &&
           field(true, item.kind) && field(true, item.exposure) && field(true, item.flash) &&
           field(true, item.quality) && field(true, item.attribute));
    return item;
}

} // namespace kv::camera
