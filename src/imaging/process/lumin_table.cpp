#include "imaging/process/lumin_table.h"

#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <cmath>
#include <cstdio>

namespace kv::process {
namespace {

void appendEntry(std::string& out, std::int16_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%5hd", value);
    out += text;
}

// The version-control header line the firmware build expects at the top of the source.
constexpr const char* kAsmHeader =
    "; $Header: /dsp/src/lumin.asm 1.15 1997/12/09 16:42:10 dspbuild $\n";

} // namespace

ToneTable ComputeLuminTable(double exponent) {
    ToneTable table{};
    for (int i = 0; i < 1024; ++i) {
        const double curve = std::pow(i / 1024.0, exponent) * 1023.0 + 0.5;
        const double line = i * 3.99609375;
        int value = static_cast<int>(curve);
        if (value > line)
            value = static_cast<int>(line + 0.5);
        table[i] = static_cast<std::int16_t>(value);
    }
    return table;
}

std::string LuminMtxText(const ToneTable& table) {
    std::string out;
    for (int i = 0; i < 1024; ++i) {
        appendEntry(out, table[i]);
        out += i % 16 == 15 ? '\n' : '\t';
    }
    return out;
}

std::string LuminCText(const ToneTable& table) {
    std::string out = "short lumin[] = {\n";
    for (int i = 0; i < 1024; ++i) {
        appendEntry(out, table[i]);
        out += i == 1023 ? ' ' : ',';
        out += i % 16 == 15 ? '\n' : '\t';
    }
    out += "};\n";
    return out;
}

std::string LuminAsmText(const ToneTable& table) {
    std::string out = kAsmHeader;
    out += "\t.sect \".text\"\n\t.def _lumin\n_lumin:\n";
    for (int i = 0; i < 1024; ++i) {
        if (i % 16 == 0)
            out += "\t.word ";
        appendEntry(out, table[i]);
        out += i % 16 == 15 ? '\n' : ',';
    }
    out += "\t.end\n";
    return out;
}

std::filesystem::path ToneTableFolder(const settings::Profile& profile) {
    const std::string folder = profile.getString("FILES", kToneTableFolderKey);
    if (folder.empty())
        return platform::desktopDirectory();
    return folder;
}

LuminFilesResult MakeLuminTable(double exponent, const std::filesystem::path& folder) {
    LuminFilesResult result;
    result.table = ComputeLuminTable(exponent);
    const std::pair<const char*, std::string> files[] = {
        {"lumin.mtx", LuminMtxText(result.table)},
        {"lumin.c", LuminCText(result.table)},
        {"lumin.asm", LuminAsmText(result.table)},
    };
    for (const auto& [name, text] : files) {
        const std::filesystem::path path = folder / name;
        if (platform::writeFileAtomically(path, std::string_view(text)))
            result.written.push_back(path);
        else
            result.failed.push_back(path);
    }
    return result;
}

} // namespace kv::process
