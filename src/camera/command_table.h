// The camera's command vocabulary and the pure parts of its protocol: the 51-row command
// table, formatting a command into the 64-byte command buffer, the reply reader's byte rules
// and the block checksums. No I/O here; CameraLink does the talking.
#pragma once

#include "base/bytes.h"
#include "base/result.h"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kv::camera {

// Command numbers (rows of the table). Callers always name commands by number.
namespace cmd {
inline constexpr int SelectItem = 0;  // "B0;%ld,%ld,%ld,%ld" item, 0, kind, 0; long wait
inline constexpr int ReadBlock = 1;   // "B1;%ld" n, then an 8-byte line and n raw bytes
inline constexpr int EndItemRead = 3; // "B3"; long wait, then an 8-byte line
inline constexpr int EraseAll = 4;    // "B4"
inline constexpr int ProgramDownload = 6;
inline constexpr int WriteGain = 7;        // "D1;%ld,%ld,%d" start, length, checksum
inline constexpr int WriteBlemish = 8;     // "D2;%ld,%ld,%d"
inline constexpr int WriteGamma = 9;       // "D3;%ld,%d" 2048, checksum
inline constexpr int WriteParameters = 10; // "D4;%ld,%d" 1024, plain sum
inline constexpr int SetSerialNumber = 11; // "D5;%ld"
inline constexpr int Exposure = 12;        // "E0;%d" index 0-11
inline constexpr int AutoExposure = 13;    // "E1;%d"
inline constexpr int Flash = 15;           // "F0;%d"
inline constexpr int Status = 16;          // "I0", the 128-byte status line
inline constexpr int SetRate = 17;         // "K0;%ld"
inline constexpr int AnnounceWrite = 18;   // "L0"
inline constexpr int Nop = 20;             // "N0"
inline constexpr int TakePicture = 21;     // "P0"
inline constexpr int CalibrationPicture = 22;
inline constexpr int DarkPicture = 23;
inline constexpr int ResetError = 24;
inline constexpr int Continuous = 25;
inline constexpr int RawEsPicture = 26;
inline constexpr int DarkEsCompensation = 27;
inline constexpr int CompensatedPicture = 28;
inline constexpr int Quality = 29;        // "Q0;%d"
inline constexpr int Compression = 30;    // "Q1;%d"
inline constexpr int ReadParameters = 31; // "R0;%ld" 1024, then 1024 raw bytes
inline constexpr int Sound = 32;          // "S0;%d"
inline constexpr int ReadDram = 33;       // "U0;%ld,%ld"
inline constexpr int WriteDram = 34;      // "U1;%ld,%ld,%d"
inline constexpr int ReadFram = 35;       // "U2;%ld,%ld"
inline constexpr int DiagnosticBit = 36;
inline constexpr int AcquisitionMode = 37;
inline constexpr int ShutterHome = 38;
inline constexpr int Shutter = 39;
inline constexpr int PingMode = 40; // "Z5;%d"
inline constexpr int FocusZ6 = 41;
inline constexpr int FocusZ7 = 42;
inline constexpr int Wake = 43;       // "\r\n", no reply read
inline constexpr int OpenFile = 44;   // "B0;%s,%d,%d" name, 0, 128; long wait
inline constexpr int CloseFile = 45;  // "B3"; long wait
inline constexpr int ReadFile = 46;   // "B1;%d" total length
inline constexpr int ListFiles = 48;  // "B5;%s,%d" pattern, mode
inline constexpr int FormatCard = 50; // "B6"
inline constexpr int Count = 51;
} // namespace cmd

struct CommandRow {
    int number;
    const char* format; // printf-style: %ld, %d and %s only
    int replyLength;    // 4 = "OK\r\n"; 128 for the status line; 0 = no reply is read
};

// The row of `number`, or nullptr outside 0..50.
const CommandRow* commandRow(int number);
// True for the rows whose reply is awaited with the long wait (0, 3, 44, 45; 16 too when the
// camera has a file system).
bool isLongWaitRow(int number, bool hasFileSystem);

// The command buffer: the command text, CR LF and a NUL must fit in 64 bytes.
inline constexpr std::size_t kCommandBufferSize = 64;
inline constexpr std::size_t kMaxReplyLength = 128;
inline constexpr std::string_view kReplyOk = "OK\r\n";

// One argument of a command: a number for %d/%ld, a text for %s.
struct CommandArg {
    template <std::integral T>
    CommandArg(T value) : number(static_cast<long>(value)) {}
    CommandArg(std::string_view value) : text(value), isText(true) {}
    CommandArg(const char* value) : text(value), isText(true) {}
    CommandArg(const std::string& value) : text(value), isText(true) {}

    long number = 0;
    std::string_view text;
    bool isText = false;
};

// A command's text with CR LF, ready for the wire.
struct CommandText {
    std::array<char, kCommandBufferSize> bytes{};
    std::size_t length = 0; // bytes before the NUL, CR LF included
    std::string_view view() const { return {bytes.data(), length}; }
};

// Formats row `number` with `args` (in order; %d takes the low 32 bits as a C int would).
// Fails with 0xFFFF, never truncating, when the row does not exist, the arguments do not
// match the format, or the text with CR LF and NUL would not fit the 64-byte buffer.
kv::Status formatCommand(int number, std::initializer_list<CommandArg> args, CommandText& out);

// The reply reader's rules over single bytes: 'b' at position 0 and 'r'/'d' anywhere are
// state notices and are dropped; a reply is complete when at least `length` bytes are held
// and the last two are CR LF. After 128 kept bytes without that, the reader gives up.
class ReplyAssembler {
public:
    enum class Step { NeedMore, Complete, Full };

    explicit ReplyAssembler(std::size_t length);
    // Feeds one received byte.
    Step feed(std::uint8_t byte);
    // On Complete: the last `length` bytes (those ending in CR LF).
    ByteSpan reply() const;
    // On Full: the first `length` bytes of the work area.
    ByteSpan head() const;
    std::size_t kept() const { return kept_; }

private:
    std::array<std::uint8_t, kMaxReplyLength> work_{};
    std::size_t length_;
    std::size_t kept_ = 0;
};

// True when `reply` begins with "OK\r\n".
bool isOkReply(ByteSpan reply);

// Checksum of rows 7, 8, 9 and 34: the sum of the bytes, unsigned, modulo 65536.
std::uint16_t blockChecksum(ByteSpan block);
// Checksum of row 10: the plain sum of the record's bytes.
std::uint32_t byteSum(ByteSpan bytes);
// The 16-bit sum of the little-endian 16-bit words of `data` (size / 2 words, wrapping), as
// the picture blocks are checked (0xFFFF = good).
std::uint16_t wordSum(ByteSpan data);

} // namespace kv::camera
