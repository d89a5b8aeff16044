#include "imaging/process/process_commands.h"

#include "imaging/codec/wavelet_codec.h"
#include "imaging/picture_file.h"
#include "imaging/process/color_params.h"
#include "imaging/process/gain_file.h"
#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace kv::process {
namespace {

void fileError(Operator* op) {
    if (op)
        op->message(imaging::kFileErrorMessage);
}

bool hasTiffName(const Path& path) {
    std::string ext = path.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext == ".tif" || ext == ".tiff";
}

Bytes leBytes(const std::vector<std::uint16_t>& samples) {
    Bytes b;
    b.reserve(samples.size() * 2);
    for (std::uint16_t v : samples)
        appendLe16(b, v);
    return b;
}

Status writeMono16Conversion(const Path& out, const std::vector<std::uint16_t>& mosaic,
                             Operator* op) {
    return imaging::WriteRamConversionTiff(out, kMosaicWidth, kMosaicHeight, leBytes(mosaic), 16, 1,
                                           op);
}

std::uint16_t clamp16(double v) {
    if (v >= 65535.0)
        return 65535;
    if (v > 0.0)
        return static_cast<std::uint16_t>(v);
    return 0; // negative and NaN
}

// The YCC matrix of the colour conversions on cell pictures.
void cellsRgbToYcc(std::vector<std::uint16_t>& mosaic) {
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k) {
            CellSamples c = MosaicCell(mosaic.data(), k, j);
            const double r = c.r, g = c.g, b = c.b;
            c.g = clamp16(0.299 * r + 0.587 * g + 0.114 * b);
            c.b = clamp16(-0.1687 * r - 0.3313 * g + 0.5 * b + 32768.0);
            c.r = clamp16(0.5 * r - 0.4187 * g - 0.0813 * b + 32768.0);
            SetMosaicCell(mosaic.data(), k, j, c);
        }
}

void cellsYccToRgb(std::vector<std::uint16_t>& mosaic) {
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k) {
            CellSamples c = MosaicCell(mosaic.data(), k, j);
            const double y = c.g, cb = c.b - 32768.0, cr = c.r - 32768.0;
            c.r = clamp16(y + 1.402 * cr);
            c.g = clamp16(y - 0.3441 * cb - 0.7141 * cr);
            c.b = clamp16(y + 1.772 * cb);
            SetMosaicCell(mosaic.data(), k, j, c);
        }
}

bool readGains(const Path& gainFile, std::vector<std::uint16_t>& gains, Operator* op) {
    std::string error;
    if (!LoadGainFile(gainFile, gains, &error, nullptr)) {
        if (op)
            op->message(imaging::kFileErrorMessage);
        return false;
    }
    return true;
}

} // namespace

bool ReadRamInput(const Path& path, Bytes& ram, Operator* op) {
    std::string error;
    if (LoadRamFile(path, ram, &error))
        return true;
    fileError(op);
    return false;
}

bool ReadMono16Input(const Path& path, std::vector<std::uint16_t>& mosaic, Operator* op) {
    imaging::WorkingPicture picture;
    if (imaging::ReadWorkingTiff(path, picture, 0, op) != status::Ok)
        return false;
    if (picture.ifd.width != kMosaicWidth || picture.ifd.height != kMosaicHeight ||
        picture.ifd.bitsPerSample != 16 || picture.ifd.samplesPerPixel != 1 ||
        picture.data.size() < kMosaicSamples * 2) {
        if (op)
            op->message("Not a 960 x 800 MONO16 file: " + path.string());
        return false;
    }
    mosaic = imaging::samples16(picture);
    mosaic.resize(kMosaicSamples);
    return true;
}

namespace {

// Reads a MONO16 mosaic from `in`, changes it in place with `convert` and writes the result
// to `out` as a MONO16 conversion.
template <typename Convert>
Status convertMono16(const Path& in, const Path& out, Operator* op, Convert&& convert) {
    std::vector<std::uint16_t> mosaic;
    if (!ReadMono16Input(in, mosaic, op))
        return status::Failed;
    convert(mosaic);
    return writeMono16Conversion(out, mosaic, op);
}

} // namespace

bool ReadMosaic10Input(const Path& path, std::vector<std::uint16_t>& mosaic10, Operator* op) {
    if (hasTiffName(path)) {
        if (!ReadMono16Input(path, mosaic10, op))
            return false;
        for (std::uint16_t& v : mosaic10)
            v = static_cast<std::uint16_t>(v >> 6);
        return true;
    }
    Bytes ram;
    if (!ReadRamInput(path, ram, op))
        return false;
    mosaic10 = UnpackMosaic(ram, 0);
    return true;
}

Status RamFileToRgbTiff(const Path& ramPath, const Path& out, Operator* op) {
    Bytes ram;
    if (!ReadRamInput(ramPath, ram, op))
        return status::Failed;
    Bytes rgb(kCellCount * 3);
    RenderCells(ram, rgb.data());
    return imaging::WriteRamConversionTiff(out, kCellColumns, kCellRows, rgb, 8, 2, op);
}

Status RamFileToMono16Tiff(const Path& ramPath, const Path& out, Operator* op) {
    Bytes ram;
    if (!ReadRamInput(ramPath, ram, op))
        return status::Failed;
    return writeMono16Conversion(out, UnpackMosaic(ram, 6), op);
}

Status RamFileToMono8Tiff(const Path& ramPath, const Path& out, Operator* op) {
    Bytes ram;
    if (!ReadRamInput(ramPath, ram, op))
        return status::Failed;
    Bytes mono(kMosaicSamples);
    UnpackMosaic8(ram, mono.data());
    return imaging::WriteRamConversionTiff(out, kMosaicWidth, kMosaicHeight, mono, 8, 1, op);
}

namespace {

// The RAM file's mosaic (samples shifted left by 6) with the gain file applied.
bool gainCorrectedMosaic(const Path& ramPath, const Path& gainFile,
                         std::vector<std::uint16_t>& mosaic, Operator* op) {
    Bytes ram;
    std::vector<std::uint16_t> gains;
    if (!ReadRamInput(ramPath, ram, op) || !readGains(gainFile, gains, op))
        return false;
    mosaic = UnpackMosaic(ram, 6);
    ApplyGains(mosaic.data(), gains.data(), kMosaicSamples);
    return true;
}

} // namespace

Status RamFileToGainCorrectedMono16(const Path& ramPath, const Path& gainFile, const Path& out,
                                    Operator* op) {
    std::vector<std::uint16_t> mosaic;
    if (!gainCorrectedMosaic(ramPath, gainFile, mosaic, op))
        return status::Failed;
    return writeMono16Conversion(out, mosaic, op);
}

Status RamFileToGainCorrectedRgb(const Path& ramPath, const Path& gainFile, const Path& out,
                                 Operator* op) {
    std::vector<std::uint16_t> mosaic;
    if (!gainCorrectedMosaic(ramPath, gainFile, mosaic, op))
        return status::Failed;
    for (std::uint16_t& v : mosaic)
        v = static_cast<std::uint16_t>(v >> 6);
    Bytes rgb(kCellCount * 3);
    RenderMosaicCells(mosaic.data(), rgb.data());
    return imaging::WriteRamConversionTiff(out, kCellColumns, kCellRows, rgb, 8, 2, op);
}

Status Mono16TiffToRamFile(const Path& tiff, const Path& ramPath, Operator* op) {
    std::vector<std::uint16_t> mosaic;
    if (!ReadMono16Input(tiff, mosaic, op))
        return status::Failed;
    const Bytes ram = PackMosaic(mosaic.data(), 6);
    if (!platform::writeFileAtomically(ramPath, ram)) {
        fileError(op);
        return status::Failed;
    }
    if (op)
        op->message("Finished writing file: " + ramPath.string());
    return status::Ok;
}

std::optional<CellMatrix> ParseCellMatrix(std::string_view text) {
    double flat[12];
    if (ParseNumbers(text, flat, 12) != 12)
        return std::nullopt;
    CellMatrix m{};
    for (int i = 0; i < 12; ++i)
        m[i / 4][i % 4] = flat[i];
    return m;
}

Status MatrixConversion(const Path& in, const Path& matrixFile, const Path& out, Operator* op) {
    std::ifstream file(matrixFile, std::ios::binary);
    if (!file) {
        fileError(op);
        return status::Failed;
    }
    std::string text(4096, '\0');
    file.read(text.data(), std::streamsize(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    const std::optional<CellMatrix> matrix = ParseCellMatrix(text);
    if (!matrix) {
        if (op)
            op->message("The matrix file needs 12 numbers: " + matrixFile.string());
        return status::Failed;
    }
    return convertMono16(in, out, op, [&](std::vector<std::uint16_t>& mosaic) {
        for (int j = 0; j < kCellRows; ++j)
            for (int k = 0; k < kCellColumns; ++k) {
                CellSamples c = MosaicCell(mosaic.data(), k, j);
                const double x[4] = {double(c.b), double(c.r), double(c.g), double(c.t)};
                std::uint16_t o[3];
                for (int row = 0; row < 3; ++row) {
                    const auto& m = (*matrix)[row];
                    o[row] = clamp16(m[0] * x[0] + m[1] * x[1] + m[2] * x[2] + m[3] * x[3]);
                }
                c.r = o[0];
                c.g = o[1];
                c.b = o[2];
                SetMosaicCell(mosaic.data(), k, j, c);
            }
    });
}

Status CellYccToRgb(const Path& in, const Path& out, Operator* op) {
    return convertMono16(in, out, op, cellsYccToRgb);
}

Status CellRgbToYcc(const Path& in, const Path& out, Operator* op) {
    return convertMono16(in, out, op, cellsRgbToYcc);
}

Status YccCompressDecompress(const Path& in, const Path& folder, const Path& out,
                             const std::array<double, 3>& scales, Operator* op) {
    imaging::WorkingPicture picture;
    if (imaging::ReadWorkingTiff(in, picture, 0, op) != status::Ok)
        return status::Failed;
    Planes planes;
    std::vector<std::uint16_t> mosaic;
    const auto& d = picture.ifd;
    if (d.width == kCellColumns && d.height == kCellRows && d.bitsPerSample == 8 &&
        d.samplesPerPixel == 3 && !d.planarSeparate && picture.data.size() >= kCellCount * 3) {
        planes = PlanesFromRgb8(picture.data);
    } else if (d.width == kMosaicWidth && d.height == kMosaicHeight && d.bitsPerSample == 16 &&
               d.samplesPerPixel == 1 && picture.data.size() >= kMosaicSamples * 2) {
        mosaic = imaging::samples16(picture);
        // 16-bit components to plane units (about 15 bits).
        for (int j = 0; j < kCellRows; ++j)
            for (int k = 0; k < kCellColumns; ++k) {
                const CellSamples c = MosaicCell(mosaic.data(), k, j);
                const int y = kPlaneHeight - 1 - j;
                planes.at(0, k, y) = c.r / 2.0f;
                planes.at(1, k, y) = c.g / 2.0f;
                planes.at(2, k, y) = c.b / 2.0f;
            }
    } else {
        if (op)
            op->message("Not an RGB8 480 x 400 or MONO16 960 x 800 file: " + in.string());
        return status::Failed;
    }
    const YccSimulationResult result = RunYccSimulation(std::move(planes), folder, scales, op);
    if (!result.completed) {
        if (op && result.error != "cancelled")
            op->message(result.error);
        return status::Failed;
    }
    // The result as a cell picture: R, G, B at their sites scaled to 16 bits.
    if (mosaic.empty())
        mosaic.assign(kMosaicSamples, 0);
    for (int j = 0; j < kCellRows; ++j)
        for (int k = 0; k < kCellColumns; ++k) {
            CellSamples c = MosaicCell(mosaic.data(), k, j);
            const std::uint8_t* rgb = &result.rgb8[3 * (std::size_t(j) * kCellColumns + k)];
            c.r = static_cast<std::uint16_t>(rgb[0] * 257);
            c.g = static_cast<std::uint16_t>(rgb[1] * 257);
            c.b = static_cast<std::uint16_t>(rgb[2] * 257);
            SetMosaicCell(mosaic.data(), k, j, c);
        }
    return writeMono16Conversion(out, mosaic, op);
}

Status TransferToRgbLuminance(const Path& ramPath, const Path& out, Operator* op) {
    Bytes ram;
    if (!ReadRamInput(ramPath, ram, op))
        return status::Failed;
    Bytes rgb(kCellCount * 3);
    RenderCells(ram, rgb.data());
    Bytes rgbt(kCellCount * 4);
    for (std::size_t i = 0; i < kCellCount; ++i) {
        const unsigned r = rgb[3 * i], g = rgb[3 * i + 1], b = rgb[3 * i + 2];
        rgbt[4 * i] = static_cast<std::uint8_t>(r);
        rgbt[4 * i + 1] = static_cast<std::uint8_t>(g);
        rgbt[4 * i + 2] = static_cast<std::uint8_t>(b);
        // 0.299, 0.587, 0.114 in 1/8192 (they add up to 8192, so 255 stays 255).
        rgbt[4 * i + 3] = static_cast<std::uint8_t>((2449 * r + 4809 * g + 934 * b + 4096) >> 13);
    }
    return imaging::WriteRamConversionTiff(out, kCellColumns, kCellRows, rgbt, 8, 5, op);
}

Status Tiff16ToBlackWhite(const Path& in, const Path& out, Operator* op) {
    imaging::WorkingPicture first;
    if (imaging::ReadWorkingTiff(in, first, 0, op) != status::Ok)
        return status::Failed;
    const auto& d = first.ifd;
    const std::size_t pixels = std::size_t(d.width) * d.height;
    if (d.bitsPerSample != 16 || (d.samplesPerPixel != 1 && d.samplesPerPixel != 3) ||
        pixels == 0) {
        if (op)
            op->message("Not a 16-bit TIFF file: " + in.string());
        return status::Failed;
    }
    Bytes mono(pixels);
    if (d.samplesPerPixel == 1) {
        const std::vector<std::uint16_t> s = imaging::samples16(first);
        if (s.size() < pixels)
            return status::Failed;
        for (std::size_t i = 0; i < pixels; ++i)
            mono[i] = static_cast<std::uint8_t>(s[i] >> 8);
    } else {
        std::array<std::vector<std::uint16_t>, 3> c;
        if (d.planarSeparate) {
            c[0] = imaging::samples16(first);
            for (int p = 1; p < 3; ++p) {
                imaging::WorkingPicture plane;
                if (imaging::ReadWorkingTiff(in, plane, p, op) != status::Ok)
                    return status::Failed;
                c[p] = imaging::samples16(plane);
            }
        } else {
            const std::vector<std::uint16_t> s = imaging::samples16(first);
            if (s.size() < pixels * 3)
                return status::Failed;
            for (int p = 0; p < 3; ++p) {
                c[p].resize(pixels);
                for (std::size_t i = 0; i < pixels; ++i)
                    c[p][i] = s[3 * i + p];
            }
        }
        for (const auto& plane : c)
            if (plane.size() < pixels)
                return status::Failed;
        for (std::size_t i = 0; i < pixels; ++i) {
            const std::uint64_t y =
                (2449ull * c[0][i] + 4809ull * c[1][i] + 934ull * c[2][i] + 4096) >> 13;
            mono[i] = static_cast<std::uint8_t>(std::min<std::uint64_t>(y, 65535) >> 8);
        }
    }
    return imaging::WriteRamConversionTiff(out, d.width, d.height, mono, 8, 1, op);
}

Status DspSimulationCommand(const DspCommand& command, Operator* op) {
    DspParams params = DefaultDspParams();
    if (command.params) {
        std::string error;
        if (!LoadDspParams(*command.params, params, &error)) {
            fileError(op);
            return status::Failed;
        }
    }
    DspOptions options;
    options.flashMatrix = VariantUsesFlashMatrix(command.variant);
    if (VariantWritesDebug(command.variant))
        options.debugFolder = command.debugFolder;
    if (command.gammaTable) {
        Bytes table;
        if (!platform::readWholeFile(*command.gammaTable, table, kGammaGainBytes + 1) ||
            !ParseGammaGainTable(table.data(), table.size(), options.gamma)) {
            fileError(op);
            return status::Failed;
        }
    }
    std::vector<std::uint16_t> mosaic10;
    if (!ReadMosaic10Input(command.input, mosaic10, op))
        return status::Failed;
    const DspResult result = RunDspSimulation(mosaic10.data(), params, options, op);
    if (!result.completed) {
        if (op && result.error != "cancelled")
            op->message(result.error);
        return status::Failed;
    }
    if (imaging::WriteRgb8Tiff(command.out, kCellColumns, kCellRows, result.rgb8) != status::Ok) {
        fileError(op);
        return status::Failed;
    }
    const Path developFolder =
        command.developFolder ? *command.developFolder : platform::desktopDirectory();
    if (!platform::writeFileAtomically(
            developFolder / "develop.mtx",
            std::string_view(DevelopMtxText(params, options.flashMatrix)))) {
        fileError(op);
        return status::Failed;
    }
    return status::Ok;
}

Status TiffToKviWavelet(const Path& input, const std::optional<Path>& paramsPath, const Path& out,
                        Operator* op) {
    DspParams params = DefaultDspParams();
    if (paramsPath) {
        std::string error;
        if (!LoadDspParams(*paramsPath, params, &error)) {
            fileError(op);
            return status::Failed;
        }
    }
    std::vector<std::uint16_t> mosaic10;
    if (!ReadMosaic10Input(input, mosaic10, op))
        return status::Failed;
    const DspResult result = RunDspSimulation(mosaic10.data(), params, DspOptions{}, op);
    if (!result.completed) {
        if (op && result.error != "cancelled")
            op->message(result.error);
        return status::Failed;
    }
    codec::WaveletCodec codec;
    imaging::PictureAttributes info;
    info.quality = imaging::kQualityBest;
    info.pictureData = codec.encodeCameraPicture(result.rgb8, {.quality = codec::kQualityBest});
    return imaging::StorePictureFile(info, out, op, &codec);
}

} // namespace kv::process
