// The lens cradle's reply assembler (both endings) and the position reply on arbitrary bytes.

#include "diagnostics/cradle_protocol.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kv::diagnostics::CradleReplyAssembler;
    for (auto mode : {kv::diagnostics::CradleReplyMode::Star,
                      kv::diagnostics::CradleReplyMode::StarThenF}) {
        CradleReplyAssembler reply(mode);
        for (std::size_t i = 0; i < size; ++i) {
            const auto step = reply.feed(data[i]);
            if (reply.reply().size() > kv::diagnostics::kCradleReplyLimit)
                __builtin_trap();
            if (step != CradleReplyAssembler::Step::NeedMore) {
                (void)kv::diagnostics::parseCradlePosition(reply.reply());
                break;
            }
        }
    }
    (void)kv::diagnostics::parseCradlePosition(
        std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
