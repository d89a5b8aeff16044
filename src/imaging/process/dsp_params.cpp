#include "imaging/process/dsp_params.h"

#include "base/text.h"
#include "imaging/process/color_params.h"

#include <cctype>
#include <charconv>
#include <fstream>

namespace kv::process {
namespace {

// The text after the first occurrence of `label`, or nothing.
bool after(std::string_view text, std::string_view label, std::string_view& rest) {
    const auto at = text.find(label);
    if (at == std::string_view::npos)
        return false;
    rest = text.substr(at + label.size());
    return true;
}

void readMatrix(std::string_view text, std::string_view label, DspMatrix& m, int& found) {
    std::string_view rest;
    if (!after(text, label, rest))
        return;
    ++found;
    int flat[16];
    for (int i = 0; i < 16; ++i)
        flat[i] = m[i / 4][i % 4];
    const int read = ParseInts(rest, flat, 16);
    for (int i = 0; i < read; ++i)
        m[i / 4][i % 4] = flat[i];
}

} // namespace

int ParseInts(std::string_view text, int* values, int count) {
    return parseNumberList(text, values, count);
}

DspParams DefaultDspParams() {
    DspParams p;
    // The colour parameters' columns are B, R, G, T; the simulation's cells B, G, T, R.
    const CameraColorBlock block = ConvertColorParams(DefaultColorParams());
    for (int r = 0; r < 3; ++r) {
        const auto row = ToChannelOrder(block.high[r]);
        for (int c = 0; c < 4; ++c)
            p.matrixHigh[r][c] = row[c];
    }
    const auto luminance = ToChannelOrder(block.highLuminance);
    for (int c = 0; c < 4; ++c)
        p.matrixHigh[3][c] = luminance[c];
    p.matrixFlash = p.matrixHigh;
    for (int c = 0; c < 3; ++c)
        p.saturation[c] = block.saturation[c];
    return p;
}

DspParams ParseDspParams(std::string_view fullText) {
    const std::string_view text = fullText.substr(0, kDspParamsReadBytes);
    DspParams p = DefaultDspParams();
    std::string_view rest;
    if (after(text, "BTGR black:", rest)) {
        ++p.labelsFound;
        int v[4] = {p.black[kB], p.black[kT], p.black[kG], p.black[kR]};
        ParseInts(rest, v, 4);
        p.black = {v[0], v[2], v[1], v[3]};
    }
    if (after(text, "pass3_scale:", rest)) {
        ++p.labelsFound;
        int v[4] = {p.scale[kB], p.scale[kT], p.scale[kG], p.scale[kR]};
        const int read = ParseInts(rest, v, 4);
        if (read == 1)
            v[1] = v[2] = v[3] = v[0];
        p.scale = {v[0], v[2], v[1], v[3]};
    }
    readMatrix(text, "color_matrix_hi[BGTR]:", p.matrixHigh, p.labelsFound);
    readMatrix(text, "color_matrix_flash[BGTR]:", p.matrixFlash, p.labelsFound);
    if (after(text, "saturation_coeffs[RGB]:", rest)) {
        ++p.labelsFound;
        ParseInts(rest, p.saturation.data(), 3);
    }
    if (after(text, "alpha high =", rest)) {
        ++p.labelsFound;
        ParseInts(rest, &p.alphaHigh, 1);
    }
    if (after(text, ", low =", rest)) {
        ++p.labelsFound;
        ParseInts(rest, &p.alphaLow, 1);
    }
    return p;
}

bool LoadDspParams(const std::filesystem::path& path, DspParams& params, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path.string();
        return false;
    }
    std::string text(kDspParamsReadBytes, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    params = ParseDspParams(text);
    return true;
}

} // namespace kv::process
