#include "imaging/process/cell_render.h"

#include <cmath>

namespace kv::process {

const CellMatrix& DefaultCellMatrix() {
    static const CellMatrix matrix{{
        {0.6377, 3.8078, -0.6421, -0.9182},
        {-0.3416, -0.4335, 3.7923, -1.2236},
        {2.5777, -0.0353, -0.6296, -1.4786},
    }};
    return matrix;
}

const LightnessTable& ForwardLightnessTable() {
    static const LightnessTable table = [] {
        LightnessTable t{};
        for (int i = 0; i < 1024; ++i) {
            const double v = i / 1023.0;
            const double l = v <= 0.008856 ? 9.0329 * v : 1.16 * std::cbrt(v) - 0.16;
            t[i] = static_cast<std::uint16_t>(l * 32767.0 + 0.5);
        }
        return t;
    }();
    return table;
}

const LightnessTable& InverseLightnessTable() {
    static const LightnessTable table = [] {
        LightnessTable t{};
        for (int i = 0; i < 1024; ++i) {
            const double v = i / 1023.0;
            double y = 0;
            if (v <= 0.08) {
                y = v * 0.11070641765103123;
            } else {
                const double c = (v + 0.16) * 0.8620689655172414;
                y = c * c * c;
            }
            t[i] = static_cast<std::uint16_t>(y * 32767.0 + 0.5);
        }
        return t;
    }();
    return table;
}

void RenderCell(const CellSamples& cell, const CellMatrix& matrix, std::uint8_t* rgb) {
    const LightnessTable& lightness = ForwardLightnessTable();
    const double in[4] = {double(cell.b), double(cell.r), double(cell.g), double(cell.t)};
    for (int o = 0; o < 3; ++o) {
        const auto& m = matrix[o];
        const double v = m[0] * in[0] + m[1] * in[1] + m[2] * in[2] + m[3] * in[3];
        // Clamp before the table: a negative or too large result must not index past it.
        int index = 0;
        if (v >= 1023.0)
            index = 1023;
        else if (v > 0.0)
            index = static_cast<int>(v);
        rgb[o] = static_cast<std::uint8_t>(lightness[index] >> 7);
    }
}

void RenderCells(ByteSpan ram, std::uint8_t* out, const CellMatrix& matrix) {
    if (ram.size() < kRamFileSize)
        return;
    // Output row r shows the cells of RAM position y = 399 - r.
    for (int r = 0; r < kCellRows; ++r)
        for (int k = 0; k < kCellColumns; ++k)
            RenderCell(ReadCell(ram, k, kCellRows - 1 - r), matrix,
                       out + 3 * (std::size_t(r) * kCellColumns + k));
}

void RenderMosaicCells(const std::uint16_t* mosaic10, std::uint8_t* out, const CellMatrix& matrix) {
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k)
            RenderCell(MosaicCell(mosaic10, k, j), matrix,
                       out + 3 * (std::size_t(j) * kCellColumns + k));
}

} // namespace kv::process
