#include "camera/transfer_lines.h"

#include <array>

namespace kv::camera {
namespace {

class FieldReader {
public:
    explicit FieldReader(ByteSpan text) : text_(text) {}

    // Blanks, an optional sign and at least one digit, like "%ld"; values past 32 bits keep
    // their low bits. Nothing when no digit follows.
    std::optional<std::int64_t> number() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t'))
            ++pos_;
        bool negative = false;
        if (pos_ < text_.size() && (text_[pos_] == '-' || text_[pos_] == '+'))
            negative = text_[pos_++] == '-';
        std::uint64_t value = 0;
        int digits = 0;
        for (; pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; ++pos_, ++digits)
            value = (value * 10 + (text_[pos_] - '0')) & 0xFFFFFFFFull;
        if (digits == 0)
            return std::nullopt;
        const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        return negative ? -static_cast<std::int64_t>(low) : low;
    }

    bool comma() {
        if (pos_ < text_.size() && text_[pos_] == ',') {
            ++pos_;
            return true;
        }
        return false;
    }

private:
    ByteSpan text_;
    std::size_t pos_ = 0;
};

std::int16_t low16(std::int64_t v) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(v & 0xFFFF));
}
std::int32_t low32(std::int64_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v & 0xFFFFFFFF));
}

} // namespace

std::optional<ItemLine> parseItemLine(ByteSpan line) {
    FieldReader reader(line.first(std::min(line.size(), kItemLineSize)));
    std::array<std::int64_t, 8> fields{};
    int parsed = 0;
    for (; parsed < 8; ++parsed) {
        if (parsed > 0 && !reader.comma())
            break;
        auto value = reader.number();
        if (!value)
            break;
        fields[static_cast<std::size_t>(parsed)] = *value;
    }
    if (parsed == 0)
        return std::nullopt;
    ItemLine item;
    item.status = low16(fields[0]);
    if (item.status != -1 && parsed < 8)
        return std::nullopt;
    item.number = low16(fields[1]);
    item.size = low32(fields[2]);
    item.kind = low16(fields[3]);
    item.exposure = low16(fields[4]);
    item.flash = low16(fields[5]);
    item.quality = low16(fields[6]);
    item.attribute = low32(fields[7]);
    return item;
}

std::optional<long> parseCountLine(ByteSpan line) {
    FieldReader reader(line.first(std::min<std::size_t>(line.size(), 8)));
    auto value = reader.number();
    if (!value)
        return std::nullopt;
    return static_cast<long>(*value);
}

} // namespace kv::camera
