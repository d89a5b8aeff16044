// kvtool's sensor-pipeline commands: one sub-command per "RAM To Disk" / "Dsp Simulation" menu
// command, the tone-table generator and the colour parameters, so a station can script them.

#include "base/operator.h"
#include "command.h"
#include "imaging/edits.h"
#include "imaging/process/color_params.h"
#include "imaging/process/lumin_table.h"
#include "imaging/process/process_commands.h"
#include "imaging/tiff_forms.h"
#include "platform/paths.h"
#include "settings/app_settings.h"
#include "settings/profile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvtool {
namespace {

using kv::process::Path;

// Messages on stdout, progress on stderr; nothing is asked (the commands ask nothing), Ctrl-C
// ends the process.
class ConsoleOperator : public kv::SilentOperator {
public:
    void message(std::string_view text) override {
        std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    }
    void beginProgress(std::string_view text, long total) override {
        total_ = total;
        std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    }
    void setProgressText(std::string_view text) override {
        std::fprintf(stderr, "  %.*s", static_cast<int>(text.size()), text.data());
    }
    void setProgress(long done) override { std::fprintf(stderr, " (%ld/%ld)\n", done, total_); }

private:
    long total_ = 0;
};

int result(kv::Status status) {
    return status == kv::status::Ok ? 0 : 1;
}

// Two positional paths: IN OUT.
using TwoPathCommand = kv::Status (*)(const Path&, const Path&, kv::Operator*);
int runTwoPaths(Args& args, const char* name, TwoPathCommand command) {
    if (args.size() != 2)
        return usage(name);
    ConsoleOperator op;
    return result(command(args[0], args[1], &op));
}

// The gain file: --gain=FILE, else the remembered "GAIN_FILE" of the settings.
std::optional<Path> gainFile(Args& args) {
    if (auto given = args.option("--gain"))
        return Path(*given);
    return kv::settings::AppSettings().gainFileName(std::nullopt, false, true);
}

int runGainCommand(Args& args, const char* name, bool rgb) {
    const std::optional<Path> gain = gainFile(args);
    if (args.size() != 2)
        return usage(name);
    if (!gain)
        return fail("no gain file: give --gain=FILE or set FILES/GAIN_FILE");
    ConsoleOperator op;
    return result(rgb ? kv::process::RamFileToGainCorrectedRgb(args[0], *gain, args[1], &op)
                      : kv::process::RamFileToGainCorrectedMono16(args[0], *gain, args[1], &op));
}

std::optional<Path> optionalPath(Args& args, std::string_view name) {
    if (auto v = args.option(name))
        return Path(*v);
    return std::nullopt;
}

int runMatrixConversion(Args& args) {
    const Path matrix =
        optionalPath(args, "--matrix").value_or(kv::platform::desktopDirectory() / "color.mtx");
    if (args.size() != 2)
        return usage("matrix-conversion");
    ConsoleOperator op;
    return result(kv::process::MatrixConversion(args[0], matrix, args[1], &op));
}

int runYccCompress(Args& args) {
    std::array<double, 3> scales = kv::process::kDefaultYccScales;
    if (auto text = args.option("--scales")) {
        std::string spaced = *text;
        for (char& c : spaced)
            if (c == ',')
                c = ' ';
        if (kv::process::ParseNumbers(spaced, scales.data(), 3) != 3 || scales[0] <= 0 ||
            scales[1] <= 0 || scales[2] <= 0)
            return fail("--scales wants three positive numbers Y,Cb,Cr");
    }
    if (args.size() != 3)
        return usage("ycc-compress");
    ConsoleOperator op;
    return result(kv::process::YccCompressDecompress(args[0], args[1], args[2], scales, &op));
}

int runDsp(Args& args) {
    kv::process::DspCommand command;
    command.params = optionalPath(args, "--params");
    command.gammaTable = optionalPath(args, "--gamma");
    command.developFolder = optionalPath(args, "--develop-dir");
    const std::optional<Path> debug = optionalPath(args, "--debug-dir");
    if (args.size() != 3 || args[0].size() != 1 || args[0][0] < 'A' || args[0][0] > 'D')
        return usage("dsp-sim");
    command.variant = static_cast<kv::process::DspVariant>(args[0][0] - 'A');
    command.input = args[1];
    command.out = args[2];
    command.debugFolder = debug.value_or(Path(args[2]).parent_path());
    if (command.debugFolder.empty())
        command.debugFolder = ".";
    ConsoleOperator op;
    return result(kv::process::DspSimulationCommand(command, &op));
}

int runTiffToKvi(Args& args) {
    const std::optional<Path> params = optionalPath(args, "--params");
    if (args.size() != 2)
        return usage("tiff-to-kvi");
    ConsoleOperator op;
    return result(kv::process::TiffToKviWavelet(args[0], params, args[1], &op));
}

int runLumin(Args& args) {
    if (args.size() < 1 || args.size() > 2)
        return usage("lumin");
    char* end = nullptr;
    const double exponent = std::strtod(args[0].c_str(), &end);
    if (*end != '\0' || !(exponent > 0) || exponent > 10)
        return fail("not an exponent: " + args[0]);
    const Path folder =
        args.size() == 2 ? Path(args[1]) : kv::process::ToneTableFolder(kv::settings::appProfile());
    const kv::process::LuminFilesResult r = kv::process::MakeLuminTable(exponent, folder);
    for (const Path& p : r.written)
        std::printf("wrote %s\n", p.c_str());
    for (const Path& p : r.failed)
        std::fprintf(stderr, "kvtool: cannot write %s\n", p.c_str());
    std::printf("entries 0 %d, 100 %d, 256 %d, 1023 %d\n", r.table[0], r.table[100], r.table[256],
                r.table[1023]);
    return r.failed.empty() ? 0 : 1;
}

template <std::size_t N>
void printRow(const char* label, const std::array<double, N>& row) {
    std::printf("  %-22s", label);
    for (double v : row)
        std::printf(" %9.4f", v);
    std::printf("\n");
}
template <std::size_t N>
void printFixed(const char* label, const std::array<std::int16_t, N>& row) {
    std::printf("  %-22s", label);
    for (int v : row)
        std::printf(" %9d", v);
    std::printf("\n");
}

int runColourParams(Args& args) {
    if (args.size() != 0)
        return usage("colour-params");
    const kv::process::ColorParams p = kv::process::LoadColorParams(kv::settings::appProfile());
    std::printf("Loaded (columns B R G T):\n");
    const char* rows[] = {"high R", "high G", "high B", "high luminance"};
    for (int r = 0; r < 4; ++r)
        printRow(rows[r], p.high[r]);
    const char* lowRows[] = {"low R", "low G", "low B", "low luminance"};
    for (int r = 0; r < 4; ++r)
        printRow(lowRows[r], p.low[r]);
    printRow("saturation R G B", p.saturation);
    printRow("luminance weights", p.luminanceWeights);
    printRow("balance day", p.balanceDay);
    printRow("balance flash", p.balanceFlash);
    printRow("balance saturation", p.balanceSaturation);

    const kv::process::CameraColorBlock b = kv::process::ConvertColorParams(p);
    std::printf("Converted (x 8192; matrices to Y Cb Cr):\n");
    const char* ycc[] = {"Y", "Cb", "Cr"};
    for (int r = 0; r < 3; ++r)
        printFixed((std::string("high ") + ycc[r]).c_str(), b.high[r]);
    for (int r = 0; r < 3; ++r)
        printFixed((std::string("low ") + ycc[r]).c_str(), b.low[r]);
    for (int r = 0; r < 3; ++r)
        printFixed((std::string("working ") + ycc[r]).c_str(), b.working[r]);
    printFixed("high luminance", b.highLuminance);
    printFixed("low luminance", b.lowLuminance);
    printFixed("saturation", b.saturation);
    printFixed("balance day", b.balanceDay);
    printFixed("balance flash", b.balanceFlash);
    printFixed("balance saturation", b.balanceSaturation);
    return 0;
}

// Applies a picture's edits to an RGB8 TIFF, as the views do before showing it.
int runEdit(Args& args) {
    kv::imaging::EditSettings edits;
    if (auto r = args.option("--rotate"))
        edits.rotation = static_cast<std::int16_t>(std::atoi(r->c_str()));
    if (args.flag("--white-balance"))
        edits.whiteBalance.enabled = 1;
    if (auto b = args.option("--brightness")) {
        double factor = 1.0;
        if (kv::process::ParseNumbers(*b, &factor, 1) != 1 || factor < 0 || factor > 10)
            return fail("--brightness wants a factor such as 1.5");
        edits.brightness = static_cast<float>(factor);
    }
    if (auto n = args.option("--noise")) {
        edits.noiseIterations = static_cast<std::uint16_t>(
            std::clamp(std::atoi(n->c_str()), 1, kv::imaging::kMaxNoiseIterations));
        edits.noiseEnabled = 1;
    }
    if (args.size() != 2)
        return usage("edit");
    kv::imaging::WorkingPicture picture;
    ConsoleOperator op;
    if (kv::imaging::ReadWorkingTiff(args[0], picture, 0, &op) != kv::status::Ok)
        return 1;
    const auto& d = picture.ifd;
    if (d.bitsPerSample != 8 || d.samplesPerPixel != 3 || d.planarSeparate ||
        picture.data.size() < std::size_t(d.width) * d.height * 3)
        return fail("not an 8-bit RGB TIFF: " + args[0]);
    const kv::imaging::EditedSize size =
        kv::imaging::ApplyEdits(&edits, picture.data.data(), int(d.width), int(d.height));
    if (kv::imaging::WriteRgb8Tiff(args[1], std::uint32_t(size.width), std::uint32_t(size.height),
                                   picture.data) != kv::status::Ok)
        return fail("cannot write " + args[1]);
    if (edits.whiteBalance.enabled)
        std::printf("white points %d %d %d\n", edits.whiteBalance.whitePoint[0],
                    edits.whiteBalance.whitePoint[1], edits.whiteBalance.whitePoint[2]);
    return 0;
}

Registrar edit{{"edit",
                "edit [--rotate=0..3] [--white-balance] [--brightness=F] [--noise=1..10] IN.tif "
                "OUT.tif",
                "apply picture edits to an RGB8 TIFF (white balance, noise, brightness, rotation)",
                runEdit}};
Registrar ramToRgb{{"ram-to-rgb", "ram-to-rgb RAMFILE OUT.tif",
                    "RAM File To 24 Bit TIFF: 480 x 400 RGB rendering of a RAM file", [](Args& a) {
                        return runTwoPaths(a, "ram-to-rgb", kv::process::RamFileToRgbTiff);
                    }}};
Registrar ramToMono16{
    {"ram-to-mono16", "ram-to-mono16 RAMFILE OUT.tif",
     "RAM File To 16 Bit BW TIFF (also Ram File to 16 Bit TIFF): the MONO16 mosaic",
     [](Args& a) { return runTwoPaths(a, "ram-to-mono16", kv::process::RamFileToMono16Tiff); }}};
Registrar ramToMono8{{"ram-to-mono8", "ram-to-mono8 RAMFILE OUT.tif",
                      "RAM File To 8 Least Signif. 8 Bit BW TIFF: the MONO8 mosaic", [](Args& a) {
                          return runTwoPaths(a, "ram-to-mono8", kv::process::RamFileToMono8Tiff);
                      }}};
Registrar ramToGainMono16{{"ram-to-gain-mono16", "ram-to-gain-mono16 [--gain=FILE] RAMFILE OUT.tif",
                           "RAM File to Gain Corrected 16 Bit BW TIFF",
                           [](Args& a) { return runGainCommand(a, "ram-to-gain-mono16", false); }}};
Registrar ramToGainRgb{{"ram-to-gain-rgb", "ram-to-gain-rgb [--gain=FILE] RAMFILE OUT.tif",
                        "RAM File to Gain Corrected 24 Bit TIFF (480 x 400)",
                        [](Args& a) { return runGainCommand(a, "ram-to-gain-rgb", true); }}};
Registrar mono16ToRam{
    {"mono16-to-ram", "mono16-to-ram IN.tif OUT.ram",
     "16 Bit TIFF to Ram File: pack a MONO16 mosaic into a RAM file",
     [](Args& a) { return runTwoPaths(a, "mono16-to-ram", kv::process::Mono16TiffToRamFile); }}};
Registrar matrixConversion{
    {"matrix-conversion", "matrix-conversion [--matrix=color.mtx] IN.tif OUT.tif",
     "Matrix Conversion: Mono16 to Mono16 using color.mtx (default on the desktop)",
     runMatrixConversion}};
Registrar yccToRgb{{"ycc-to-rgb", "ycc-to-rgb IN.tif OUT.tif",
                    "YCC To RGB: Mono16 to Mono16 using hardcoded YCC matrix", [](Args& a) {
                        return runTwoPaths(a, "ycc-to-rgb", kv::process::CellYccToRgb);
                    }}};
Registrar rgbToYcc{{"rgb-to-ycc", "rgb-to-ycc IN.tif OUT.tif",
                    "RGB To YCC: Mono16 to Mono16 using hard coded YCC matrix", [](Args& a) {
                        return runTwoPaths(a, "rgb-to-ycc", kv::process::CellRgbToYcc);
                    }}};
Registrar yccCompress{{"ycc-compress", "ycc-compress [--scales=Y,Cb,Cr] IN.tif DEBUGDIR OUT.tif",
                       "YCC Compress Decompress: YCC to Wavelet to Mono16, with its debug files",
                       runYccCompress}};
Registrar rgbLuminance{
    {"rgb-luminance", "rgb-luminance RAMFILE OUT.tif",
     "Transfer to RGB + Luminance: RGB planes plus a luminance plane",
     [](Args& a) { return runTwoPaths(a, "rgb-luminance", kv::process::TransferToRgbLuminance); }}};
Registrar dspSim{{"dsp-sim",
                  "dsp-sim A|B|C|D [--params=FILE] [--debug-dir=DIR] [--develop-dir=DIR] "
                  "[--gamma=FILE] IN OUT.tif",
                  "DSP Simulation A to D on a RAM file or MONO16 TIFF (C, D write debug pictures)",
                  runDsp}};
Registrar tiffToKvi{{"tiff-to-kvi", "tiff-to-kvi [--params=FILE] IN OUT.kvi",
                     "TIFF to KVI Wavelet: the simulation's picture as a wavelet .kvi file",
                     runTiffToKvi}};
Registrar tiff16ToBw{{"tiff16-to-bw", "tiff16-to-bw IN.tif OUT.tif",
                      "16 Bit TIFF to Black/White: MONO8 rendering of a 16-bit TIFF", [](Args& a) {
                          return runTwoPaths(a, "tiff16-to-bw", kv::process::Tiff16ToBlackWhite);
                      }}};
Registrar lumin{{"lumin", "lumin EXPONENT [DIR]",
                 "write the tone table lumin.mtx/.c/.asm (DIR defaults to FILES/TONE_TABLE_FOLDER)",
                 runLumin}};
Registrar colourParams{{"colour-params", "colour-params",
                        "print the colour parameters of COLOR_PARAMS, loaded and converted",
                        runColourParams}};

} // namespace
} // namespace kvtool
