// The "RAM To Disk" and "Dsp Simulation" menu commands as functions over files, for the GUI's
// diagnostics menus and kvtool alike. Each takes its input and output paths, reports through
// the operator (when given) as the menus do — "FileError!" when an input cannot be opened,
// "Finished writing file: <path>" after a RAM conversion — and returns 0 or 0xFFFF.
//
// Cell pictures: the "Mono16 to Mono16" commands keep the 960 x 800 16-bit mosaic form and put
// three components into each 2 x 2 cell's sites: R, G, B at the R, G and B sites; Y at the G
// site, Cb at the B site and Cr at the R site (Cb and Cr offset by 32768). The T site is
// carried through unchanged.
#pragma once

#include "base/bytes.h"
#include "base/operator.h"
#include "base/result.h"
#include "imaging/process/cell_render.h"
#include "imaging/process/dsp_simulation.h"
#include "imaging/process/ycc_simulation.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kv::process {

using Path = std::filesystem::path;

// Reads a RAM file ("FileError!" when it cannot be opened or is too short).
bool ReadRamInput(const Path& path, Bytes& ram, Operator* op);
// Reads a MONO16 mosaic (960 x 800, 16 bits, one sample per pixel).
bool ReadMono16Input(const Path& path, std::vector<std::uint16_t>& mosaic, Operator* op);
// A mosaic of 10-bit samples from a RAM file or, for a name ending in ".tif"/".tiff", a MONO16
// file (samples shifted right by 6).
bool ReadMosaic10Input(const Path& path, std::vector<std::uint16_t>& mosaic10, Operator* op);

// 32858 "RAM File To 24 Bit TIFF": RGB8 480 x 400 by RenderCells.
Status RamFileToRgbTiff(const Path& ram, const Path& out, Operator* op = nullptr);
// 32862 / 32928: MONO16 960 x 800.
Status RamFileToMono16Tiff(const Path& ram, const Path& out, Operator* op = nullptr);
// 32863: MONO8 960 x 800 of each sample's 8 most significant bits.
Status RamFileToMono8Tiff(const Path& ram, const Path& out, Operator* op = nullptr);
// 32859: MONO16 with the gain file applied.
Status RamFileToGainCorrectedMono16(const Path& ram, const Path& gainFile, const Path& out,
                                    Operator* op = nullptr);
// 32866: the gain-corrected mosaic rendered cell by cell to RGB8. Written at 480 x 400, the
// size of the plain rendering (32858), so the two can be compared pixel for pixel.
Status RamFileToGainCorrectedRgb(const Path& ram, const Path& gainFile, const Path& out,
                                 Operator* op = nullptr);
// 32929: the reverse packing of a MONO16 file into a RAM file (written atomically).
Status Mono16TiffToRamFile(const Path& tiff, const Path& ram, Operator* op = nullptr);

// A 3 x 4 cell matrix as text: 12 numbers, rows R, G, B, columns B, R, G, T. Nothing when fewer
// than 12 finite numbers are found.
std::optional<CellMatrix> ParseCellMatrix(std::string_view text);
// 32930 "Matrix Conversion": a MONO16 mosaic to a cell picture R, G, B through the matrix in
// `matrixFile` ("color.mtx"), on 16-bit samples, clamped to 0..65535.
Status MatrixConversion(const Path& in, const Path& matrixFile, const Path& out,
                        Operator* op = nullptr);
// 32931 "YCC To RGB" and 32932 "RGB To YCC" on cell pictures, with the fixed YCC matrix.
Status CellYccToRgb(const Path& in, const Path& out, Operator* op = nullptr);
Status CellRgbToYcc(const Path& in, const Path& out, Operator* op = nullptr);

// 32933 "YCC Compress Decompress": the input is an RGB8 TIFF (480 x 400) or a cell picture
// (R, G, B); the debug files go into `folder` and the result, as a cell picture, to `out`.
Status YccCompressDecompress(const Path& in, const Path& folder, const Path& out,
                             const std::array<double, 3>& scales = kDefaultYccScales,
                             Operator* op = nullptr);

// 32938 "Transfer to RGB + Luminance": RGBT8 480 x 400 from a RAM file: the rendered R, G, B
// and as fourth channel their luminance 0.299 R + 0.587 G + 0.114 B.
Status TransferToRgbLuminance(const Path& ram, const Path& out, Operator* op = nullptr);

// 32968 "16 Bit TIFF to Black/White": MONO8 of the same size from a 16-bit TIFF: one sample
// per pixel gives its high byte, three samples (planes or interleaved) their luminance's.
Status Tiff16ToBlackWhite(const Path& in, const Path& out, Operator* op = nullptr);

// 32934-32937 "DSP Simulation A" to "D": the mosaic (RAM file or MONO16) through the camera
// processing with the parameters of `params` (defaults when not given), the result written as
// RGB8 to `out`, the debug pictures (C, D) into `debugFolder`, and "develop.mtx" into
// `developFolder` (the desktop by default).
struct DspCommand {
    DspVariant variant = DspVariant::A;
    Path input;
    std::optional<Path> params;
    Path out;
    Path debugFolder;
    std::optional<Path> developFolder;
    std::optional<Path> gammaTable; // a 2048-byte table instead of the default
};
Status DspSimulationCommand(const DspCommand& command, Operator* op = nullptr);

// 32864 "TIFF to KVI Wavelet": the mosaic through the simulation (variant A, no debug) and the
// result coded as a wavelet picture stored in a .kvi file at `out` (quality Best).
Status TiffToKviWavelet(const Path& input, const std::optional<Path>& params, const Path& out,
                        Operator* op = nullptr);

} // namespace kv::process
