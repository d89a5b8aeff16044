// The quick RGB rendering of the sensor mosaic: one RGB pixel per 2 x 2 cell through a 3 x 4
// matrix and the CIE lightness table.
#pragma once

#include "base/bytes.h"
#include "imaging/process/ram_file.h"

#include <array>
#include <cstdint>

namespace kv::process {

// Output rows R, G, B; columns in the order B, R, G, T of the cell's samples.
using CellMatrix = std::array<std::array<double, 4>, 3>;

// The default cell-to-RGB matrix.
const CellMatrix& DefaultCellMatrix();

using LightnessTable = std::array<std::uint16_t, 1024>;

// CIE 1976 lightness L*/100 of a linear 10-bit value, scaled to 0..32767.
const LightnessTable& ForwardLightnessTable();
// The inverse: the linear value of a lightness, scaled to 0..32767.
const LightnessTable& InverseLightnessTable();

// One cell rendered: each output of the matrix clamped to 0..1023 and truncated, passed
// through the forward lightness table and shifted right by 7. `rgb` receives R, G, B.
void RenderCell(const CellSamples& cell, const CellMatrix& matrix, std::uint8_t* rgb);

// 480 x 400 x 3 bytes (R, G, B, rows from the top) from a RAM file image of kRamFileSize
// bytes.
void RenderCells(ByteSpan ram, std::uint8_t* out, const CellMatrix& matrix = DefaultCellMatrix());

// The same from a mosaic of 10-bit samples (row 0 at the top), as the gain-corrected form uses.
void RenderMosaicCells(const std::uint16_t* mosaic10, std::uint8_t* out,
                       const CellMatrix& matrix = DefaultCellMatrix());

} // namespace kv::process
