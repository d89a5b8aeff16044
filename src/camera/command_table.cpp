// The command table and the byte-level rules of the camera's protocol.

#include "camera/command_table.h"

#include <algorithm>
#include <cstdio>

namespace kv::camera {

namespace {

constexpr int kOk = 4;

constexpr CommandRow kRows[cmd::Count] = {
    {0, "B0;%ld,%ld,%ld,%ld", kOk},
    {1, "B1;%ld", kOk},
    {2, "B2;%ld", kOk},
    {3, "B3", kOk},
    {4, "B4", kOk},
    {5, "B5", kOk},
    {6, "D0", kOk},
    {7, "D1;%ld,%ld,%d", kOk},
    {8, "D2;%ld,%ld,%d", kOk},
    {9, "D3;%ld,%d", kOk},
    {10, "D4;%ld,%d", kOk},
    {11, "D5;%ld", kOk},
    {12, "E0;%d", kOk},
    {13, "E1;%d", kOk},
    {14, "E2;%d", kOk},
    {15, "F0;%d", kOk},
    {16, "I0", 128},
    {17, "K0;%ld", kOk},
    {18, "L0", kOk},
    {19, "L1", kOk},
    {20, "N0", kOk},
    {21, "P0", kOk},
    {22, "P1;%d", kOk},
    {23, "P2", kOk},
    {24, "P3", kOk},
    {25, "P4", kOk},
    {26, "P5", kOk},
    {27, "P6", kOk},
    {28, "P7", kOk},
    {29, "Q0;%d", kOk},
    {30, "Q1;%d", kOk},
    {31, "R0;%ld", kOk},
    {32, "S0;%d", kOk},
    {33, "U0;%ld,%ld", kOk},
    {34, "U1;%ld,%ld,%d", kOk},
    {35, "U2;%ld,%ld", kOk},
    {36, "Z0;%d", kOk},
    {37, "Z1;%d", kOk},
    {38, "Z2", kOk},
    {39, "Z3;%d", kOk},
    {40, "Z5;%d", kOk},
    {41, "Z6;%ld,%ld,%ld", kOk},
    {42, "Z7;%d,%d,%d,%d,%d", kOk},
    {43, "\r\n", 0},
    {44, "B0;%s,%d,%d", kOk},
    {45, "B3", kOk},
    {46, "B1;%d", kOk},
    {47, "B2;%d", kOk},
    {48, "B5;%s,%d", kOk},
    {49, "S1", kOk},
    {50, "B6", kOk},
};

} // namespace

const CommandRow* commandRow(int number) {
    if (number < 0 || number >= cmd::Count)
        return nullptr;
    return &kRows[number];
}

bool isLongWaitRow(int number, bool hasFileSystem) {
    return number == cmd::SelectItem || number == cmd::EndItemRead || number == cmd::OpenFile ||
           number == cmd::CloseFile || (number == cmd::Status && hasFileSystem);
}

kv::Status formatCommand(int number, std::initializer_list<CommandArg> args, CommandText& out) {
    out = CommandText{};
    const CommandRow* row = commandRow(number);
    if (row == nullptr)
        return status::Failed;
    // Room for the text: the buffer less CR LF (only where the row does not end in it
    // already) and the NUL.
    const std::string_view format = row->format;
    const bool isEmptyLine = format == "\r\n";
    const std::size_t limit = kCommandBufferSize - 1 - (isEmptyLine ? 0 : 2);
    std::size_t n = 0;
    auto put = [&](std::string_view piece) {
        if (n + piece.size() > limit)
            return false;
        for (char c : piece)
            out.bytes[n++] = c;
        return true;
    };
    const CommandArg* next = args.begin();
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            if (!put(format.substr(i, 1)))
                return status::Failed;
            continue;
        }
        // %d, %ld or %s: the only conversions the table uses.
        std::size_t j = i + 1;
        const bool isLong = j < format.size() && format[j] == 'l';
        if (isLong)
            ++j;
        if (j >= format.size() || next == args.end())
            return status::Failed;
        const char conversion = format[j];
        char number[24];
        if (conversion == 's') {
            if (!next->isText)
                return status::Failed;
            if (!put(next->text))
                return status::Failed;
        } else if (conversion == 'd') {
            if (next->isText)
                return status::Failed;
            // %d takes an int: the low 32 bits, as the camera's firmware expects.
            const long value = isLong ? next->number : static_cast<int>(next->number);
            const int len = std::snprintf(number, sizeof number, "%ld", value);
            if (!put(std::string_view(number, static_cast<std::size_t>(len))))
                return status::Failed;
        } else {
            return status::Failed;
        }
        ++next;
        i = j;
    }
    if (next != args.end())
        return status::Failed;
    if (!isEmptyLine) {
        // The limit above kept room for CR LF and the NUL.
        out.bytes[n++] = '\r';
        out.bytes[n++] = '\n';
    }
    out.length = n; // the NUL after it is already there
    return status::Ok;
}

ReplyAssembler::ReplyAssembler(std::size_t length)
    : length_(length < 1 ? 1 : (length > kMaxReplyLength ? kMaxReplyLength : length)) {}

ReplyAssembler::Step ReplyAssembler::feed(std::uint8_t byte) {
    if (kept_ >= kMaxReplyLength)
        return Step::Full;
    if ((byte == 'b' && kept_ == 0) || byte == 'r' || byte == 'd')
        return Step::NeedMore;
    work_[kept_] = byte;
    const std::size_t i = kept_++;
    if (i + 1 >= length_ && i >= 1 && work_[i - 1] == '\r' && work_[i] == '\n')
        return Step::Complete;
    return kept_ >= kMaxReplyLength ? Step::Full : Step::NeedMore;
}

ByteSpan ReplyAssembler::reply() const {
    const std::size_t start = kept_ >= length_ ? kept_ - length_ : 0;
    return ByteSpan(work_.data() + start, kept_ - start);
}

ByteSpan ReplyAssembler::head() const {
    return ByteSpan(work_.data(), kept_ < length_ ? kept_ : length_);
}

bool isOkReply(ByteSpan reply) {
    return reply.size() >= kReplyOk.size() &&
           std::equal(kReplyOk.begin(), kReplyOk.end(), reply.begin(),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

std::uint16_t blockChecksum(ByteSpan block) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : block)
        sum += b;
    return static_cast<std::uint16_t>(sum);
}

std::uint32_t byteSum(ByteSpan bytes) {
    std::uint32_t sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    return sum;
}

std::uint16_t wordSum(ByteSpan data) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        sum = static_cast<std::uint16_t>(sum + loadLe16(data, i));
    return sum;
}

} // namespace kv::camera
