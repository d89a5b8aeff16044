// The firmware file reader on arbitrary bytes: every accepted record must hold what its count
// says, and a refused file must give a reason and no records.

#include "diagnostics/srecord.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kv::diagnostics::SRecordFile file =
        kv::diagnostics::parseSRecords(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!file.ok() && !file.records.empty())
        __builtin_trap();
    for (const kv::diagnostics::SRecord& r : file.records)
        if (r.text.size() > kv::diagnostics::kMaxRecordLine || r.line < 1 ||
            r.data.size() > r.text.size() / 2)
            __builtin_trap();
    (void)kv::diagnostics::headerText(file);
    return 0;
}
