// The factory commands of the Diagnostics submenu whose procedures exist in the libraries:
// the sensor pipeline's file conversions ("RAM To Disk", "Dsp Simulation"), the memory
// uploads, Communication Protocol and Continuous Take Picture. They belong to the diagnostics
// command target, which sees every command first.
#include "app/application.h"
#include "app/command_handlers.h"
#include "app/focus_station_dialog.h"
#include "app/qt_operator.h"
#include "camera/transfers.h"
#include "imaging/process/process_commands.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "shell/command_table.h"

#include <cstdio>

namespace kv::app {

namespace {

using process::Path;
namespace cmd = shell::cmd;

constexpr std::string_view kRamFilter = "RAM Files (*.ram)|*.ram|All Files (*)|*||";
constexpr std::string_view kTiffFilter = "TIFF Files (*.tif)|*.tif|All Files (*)|*||";
constexpr std::string_view kAnyFilter = "All Files (*)|*||";

// Asks for the input and the output file, then runs `convert` under the wait cursor.
void runConversion(Application& app, std::string_view inTitle, std::string_view inFilter,
                   std::string_view outFilter,
                   const std::function<Status(const Path&, const Path&, Operator&)>& convert) {
    QtOperator op(app.frame(), app.productName());
    const auto in = op.chooseFile(inTitle, inFilter, false);
    if (!in)
        return;
    const auto out = op.chooseFile("Save Result As", outFilter, true);
    if (!out)
        return;
    op.setWaitCursor(true);
    convert(*in, *out, op);
    op.setWaitCursor(false);
}

// A second input the command needs (gain file, matrix, parameters); nothing when cancelled.
std::optional<Path> askFile(Operator& op, std::string_view title, std::string_view filter) {
    if (auto f = op.chooseFile(title, filter, false))
        return Path(*f);
    return std::nullopt;
}

void addConversions(Application& app, CommandTarget& t) {
    auto simple = [&app, &t](int id, std::string_view inFilter, std::string_view outFilter,
                             Status (*fn)(const Path&, const Path&, Operator*)) {
        t.add(id, [&app, inFilter, outFilter, fn] {
            runConversion(
                app, "Open Input File", inFilter, outFilter,
                [fn](const Path& in, const Path& out, Operator& op) { return fn(in, out, &op); });
        });
    };
    simple(cmd::RamTo24BitTiff, kRamFilter, kTiffFilter, &process::RamFileToRgbTiff);
    simple(cmd::RamTo16BitBw, kRamFilter, kTiffFilter, &process::RamFileToMono16Tiff);
    simple(cmd::RamTo16BitTiff, kRamFilter, kTiffFilter, &process::RamFileToMono16Tiff);
    simple(cmd::RamTo8BitBw, kRamFilter, kTiffFilter, &process::RamFileToMono8Tiff);
    simple(cmd::Tiff16ToRam, kTiffFilter, kRamFilter, &process::Mono16TiffToRamFile);
    simple(cmd::Tiff16ToBw, kTiffFilter, kTiffFilter, &process::Tiff16ToBlackWhite);
    simple(cmd::YccToRgb, kTiffFilter, kTiffFilter, &process::CellYccToRgb);
    simple(cmd::RgbToYcc, kTiffFilter, kTiffFilter, &process::CellRgbToYcc);
    simple(cmd::RgbLuminance, kRamFilter, kTiffFilter, &process::TransferToRgbLuminance);

    auto withGain = [&app, &t](int id,
                               Status (*fn)(const Path&, const Path&, const Path&, Operator*)) {
        t.add(id, [&app, fn] {
            runConversion(app, "Open RAM File", kRamFilter, kTiffFilter,
                          [fn](const Path& in, const Path& out, Operator& op) -> Status {
                              const auto gain = askFile(op, "Open Gain File", kTiffFilter);
                              return gain ? fn(in, *gain, out, &op) : status::Failed;
                          });
        });
    };
    withGain(cmd::RamToGain16, &process::RamFileToGainCorrectedMono16);
    withGain(cmd::RamToGain24, &process::RamFileToGainCorrectedRgb);

    t.add(cmd::MatrixConversion, [&app] {
        runConversion(
            app, "Open Mono16 File", kTiffFilter, kTiffFilter,
            [](const Path& in, const Path& out, Operator& op) -> Status {
                const auto mtx = askFile(op, "Open color.mtx", "Matrix Files (*.mtx)|*.mtx||");
                return mtx ? process::MatrixConversion(in, *mtx, out, &op) : status::Failed;
            });
    });
    t.add(cmd::YccCompress, [&app] {
        runConversion(app, "Open Input File", kTiffFilter, kTiffFilter,
                      [](const Path& in, const Path& out, Operator& op) {
                          return process::YccCompressDecompress(in, out.parent_path(), out,
                                                                process::kDefaultYccScales, &op);
                      });
    });
    const std::pair<int, process::DspVariant> variants[] = {{cmd::DspSimA, process::DspVariant::A},
                                                            {cmd::DspSimB, process::DspVariant::B},
                                                            {cmd::DspSimC, process::DspVariant::C},
                                                            {cmd::DspSimD, process::DspVariant::D}};
    for (const auto& [id, variant] : variants)
        t.add(id, [&app, variant = variant] {
            runConversion(app, "Open RAM or Mono16 File", kAnyFilter, kTiffFilter,
                          [variant](const Path& in, const Path& out, Operator& op) {
                              process::DspCommand c;
                              c.variant = variant;
                              c.input = in;
                              // Cancelling the parameter file runs with the defaults.
                              c.params =
                                  askFile(op, "Open Parameter File (Cancel: defaults)", kAnyFilter);
                              c.out = out;
                              c.debugFolder = out.parent_path();
                              return process::DspSimulationCommand(c, &op);
                          });
        });
    t.add(cmd::TiffToKvi, [&app] {
        runConversion(app, "Open Mono16 File", kTiffFilter, "Picture Files (*.kvi)|*.kvi||",
                      [](const Path& in, const Path& out, Operator& op) {
                          const auto params =
                              askFile(op, "Open Parameter File (Cancel: defaults)", kAnyFilter);
                          return process::TiffToKviWavelet(in, params, out, &op);
                      });
    });
}

// "<start>,<size>:" with two numbers; false when the text does not hold them.
bool parseRange(const std::string& text, long& start, long& size) {
    char extra = 0;
    return std::sscanf(text.c_str(), "%ld , %ld %c", &start, &size, &extra) == 2 && start >= 0 &&
           size > 0;
}

void upload(Application& app, int id) {
    camera::CameraLink* cam = app.camera().camera();
    if (!cam)
        return;
    QtOperator op(app.frame(), app.productName());
    const bool card = id == cmd::UploadPcCard;
    const auto range =
        op.askText(card ? "<start>,<size> in MB:" : "<start>,<size>:", card ? "0,1" : "0,1048576");
    if (!range)
        return;
    long start = 0, size = 0;
    if (!parseRange(*range, start, size)) {
        op.message("Invalid range: " + *range);
        return;
    }
    int command = id == cmd::UploadDram ? camera::kUploadDram : camera::kUploadFram;
    std::string title = id == cmd::UploadDram ? "Uploading DRAM" : "Uploading FRAM";
    if (card) {
        // The card's addresses begin at 1 MiB; start and size count MiB.
        title = "Uploading PCCard";
        if (start > 1024 || size > (camera::kMaxUploadSize >> 20)) {
            op.message("PC card uploads are at most 64 MB.");
            return;
        }
        start = (start + 1) << 20;
        size <<= 20;
    } else {
        size = std::min(size, 1L << 20);
    }
    const auto out = op.chooseFile("Save Memory As", kRamFilter, true);
    if (!out)
        return;
    app.camera().setTransferRunning(true);
    camera::CameraTransfers transfers(*cam);
    cam->setPingMode(0);
    Bytes buffer;
    const Status st = transfers.uploadMemory(command, start, size, buffer, title, op);
    cam->setPingMode(1);
    app.camera().setTransferRunning(false);
    if (st != status::Ok)
        op.message(title + " FAILED!");
    else if (!platform::writeFileAtomically(*out, buffer))
        op.message("FileError!");
}

} // namespace

void installDiagnosticsCommands(Application& app) {
    CommandTarget& t = app.router().diagnostics();
    addConversions(app, t);
    for (int id : {cmd::UploadDram, cmd::UploadFram, cmd::UploadPcCard})
        t.add(id, [&app, id] { upload(app, id); });
    for (int id : {cmd::Rs232, cmd::Rs422})
        t.add(id, [&app, id] {
            const int protocol = id == cmd::Rs422 ? 1 : 0;
            app.settings().setProtocol(static_cast<settings::LineProtocol>(protocol));
            app.camera().setProtocol(protocol);
            app.connectCamera();
        });
    installFocusStation(app, t);
    t.add(cmd::ContinuousTake, [&app] {
        app.settings().setContinuousTakePicture(!app.settings().continuousTakePicture());
    });
}

} // namespace kv::app
