// The lens-cradle controller's line protocol, without I/O: the command lines the focus station
// sends, the reply assembler with its two endings and its 255-byte cut, and the "RP" position
// reply. The controller is an outside stepper-motor device; its mnemonics are its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv::diagnostics {

// How a reply ends. Mode 0: at the first '*'. Mode 1 (motions, "MA" and "MH"): a '*' says the
// command was taken; the next 'F' after it says the motion finished and ends the reply.
enum class CradleReplyMode { Star = 0, StarThenF = 1 };

inline constexpr std::size_t kCradleReplyBuffer = 256;
// Bytes stored without an end before the reply is cut and the exchange fails.
inline constexpr std::size_t kCradleReplyLimit = 255;
inline constexpr long kCradleAcceleration = 100004;
inline constexpr long kCradleStartSpeedCap = 4000;

// The command lines, each with CR LF.
std::string cradleLine(std::string_view mnemonic);             // "MED", "MFE", "RP", "MH 1"
std::string cradleLine(std::string_view mnemonic, long value); // "VI 4000", "MA 63000"

class CradleReplyAssembler {
public:
    enum class Step { NeedMore, Complete, Overlong };

    explicit CradleReplyAssembler(CradleReplyMode mode) : mode_(mode) {}
    // Stores one received byte (the ending byte too).
    Step feed(std::uint8_t byte);
    // The stored bytes: on Complete up to and including the ending byte, on Overlong the
    // first 255.
    const std::string& reply() const { return reply_; }

private:
    CradleReplyMode mode_;
    std::string reply_;
    std::size_t counted_ = 0; // bytes other than '*'
    bool starSeen_ = false;
};

// The position in an "RP" reply: at least 6 characters, the decimal number from the third.
// Nothing when the reply is too short or holds no number there.
std::optional<long> parseCradlePosition(std::string_view reply);

} // namespace kv::diagnostics
