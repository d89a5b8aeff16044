#include "diagnostics/srecord.h"

#include "platform/atomic_file.h"

#include <cstdio>

namespace kv::diagnostics {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Address bytes per record type; 0 for the types no file may hold (S4).
int addressBytes(char type) {
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return 0;
    }
}

std::string lineError(int line, const char* reason) {
    char text[128];
    std::snprintf(text, sizeof text, "Line %d: %s", line, reason);
    return text;
}

// Checks one record line; empty when good.
std::string checkRecord(std::string_view text, int line, SRecord& out) {
    if (text.size() > kMaxRecordLine)
        return lineError(line, "longer than 80 characters");
    if (text.size() < 4 || text[0] != 'S')
        return lineError(line, "not an S-record");
    const char type = text[1];
    const int addressLength = addressBytes(type);
    if (addressLength == 0)
        return lineError(line, "unknown record type");
    const std::string_view hex = text.substr(2);
    if (hex.size() % 2 != 0)
        return lineError(line, "odd number of hex digits");
    Bytes bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hexValue(hex[i]);
        const int lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return lineError(line, "not a hex digit");
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    // bytes[0] counts the address, data and checksum bytes that follow it.
    if (bytes[0] != bytes.size() - 1)
        return lineError(line, "byte count does not match the record");
    if (bytes[0] < static_cast<std::size_t>(addressLength) + 1)
        return lineError(line, "record too short for its address");
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    if (static_cast<std::uint8_t>(~sum & 0xFF) != bytes.back())
        return lineError(line, "bad checksum");
    out.line = line;
    out.text = std::string(text);
    out.type = type;
    out.address = 0;
    for (int i = 0; i < addressLength; ++i)
        out.address = out.address << 8 | bytes[1 + static_cast<std::size_t>(i)];
    out.data.assign(bytes.begin() + 1 + addressLength, bytes.end() - 1);
    return {};
}

} // namespace

SRecordFile parseSRecords(std::string_view text) {
    SRecordFile file;
    for (unsigned char c : text) {
        if (c != '\r' && c != '\n' && c != '\t' && (c < 0x20 || c > 0x7E)) {
            file.error = "not a text file";
            return file;
        }
    }
    int line = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = text.size();
        ++line;
        std::string_view record = text.substr(at, end - at);
        // CR LF is one line ending.
        at = end;
        if (at < text.size())
            at += (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ? 2 : 1;
        while (!record.empty() && (record.back() == ' ' || record.back() == '\t'))
            record.remove_suffix(1);
        if (record.empty())
            continue;
        SRecord parsed;
        if (std::string error = checkRecord(record, line, parsed); !error.empty()) {
            file.records.clear();
            file.error = std::move(error);
            return file;
        }
        file.records.push_back(std::move(parsed));
    }
    if (file.records.empty())
        file.error = "no S-records in the file";
    return file;
}

SRecordFile readSRecordFile(const std::filesystem::path& path) {
    Bytes bytes;
    if (!platform::readWholeFile(path, bytes, kMaxFirmwareFile)) {
        SRecordFile file;
        file.error = "cannot read the file, or it is larger than 16 MiB";
        return file;
    }
    return parseSRecords(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::string headerText(const SRecordFile& file) {
    for (const SRecord& r : file.records) {
        if (r.type != '0')
            continue;
        std::string text;
        for (std::uint8_t b : r.data)
            if (b >= 0x20 && b < 0x7F)
                text.push_back(static_cast<char>(b));
        return text;
    }
    return {};
}

} // namespace kv::diagnostics
