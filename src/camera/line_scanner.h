// A bounded scanf-alike for the camera's text lines: literal text, whitespace runs, decimal
// integers and whitespace-free tokens, never reading past the line or a NUL.
#pragma once

#include "base/bytes.h"

#include <cstdint>
#include <string_view>

namespace kv::camera {

class LineScanner {
public:
    explicit LineScanner(ByteSpan line);

    // Matches `text` as scanf matches a format's literal part: a whitespace character there
    // skips any run of whitespace (also none), any other character must match exactly.
    bool literal(std::string_view text);
    // A decimal integer after optional whitespace and sign; values beyond 64 bits saturate.
    bool integer(std::int64_t& value);
    // A run of non-whitespace after optional whitespace; `token` views the line.
    bool token(std::string_view& token);

private:
    void skipSpace();
    bool atEnd() const { return pos_ >= end_; }

    ByteSpan line_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

} // namespace kv::camera
