// The assembly of a part from reads of a noisy line: every byte of the reads, the ranges they
// claim and the blocks that came short come from the camera.
#include "camera/command_table.h"
#include "camera/part_assembly.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    std::size_t number(std::size_t bound) {
        const std::size_t v = byte() | (std::size_t(byte()) << 8);
        return bound ? v % bound : 0;
    }
    bool done() const { return at >= size; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kv::camera;
    Input in{data, size};
    const auto check = static_cast<PartCheck>(in.byte() % 3);
    const std::size_t partSize = 1 + in.number(2048);
    PartAssembly assembly(partSize, check, in.byte() / 1024.0);
    for (int read = 0; read < 6 && !in.done(); ++read) {
        kv::Bytes bytes(partSize);
        for (auto& b : bytes)
            b = in.byte();
        std::vector<PartAssembly::Range> ranges(in.byte() % 4);
        for (auto& [from, to] : ranges) {
            from = in.number(partSize + 8);
            to = from + in.number(partSize + 8);
        }
        std::vector<PartAssembly::LostBlock> lost(in.byte() % 3);
        for (auto& block : lost) {
            block.from = in.number(partSize + 8);
            block.length = in.number(partSize + 8);
            block.received.resize(in.number(block.length + 1));
            for (auto& b : block.received)
                b = in.byte();
        }
        std::optional<std::uint16_t> word;
        if (in.byte() & 1)
            word = static_cast<std::uint16_t>(in.number(0x10000));
        assembly.addRead(bytes, ranges, word, lost);
        (void)assembly.nextUnheld(in.number(partSize + 1));
        (void)assembly.unheldRunEnd(in.number(partSize + 1));
        if (auto copy = assembly.result()) {
            if (copy->size() != partSize ||
                (check == PartCheck::WordSum && wordSum(*copy) != 0xFFFF))
                std::abort(); // a copy the check does not vouch for
        }
    }
    return 0;
}
