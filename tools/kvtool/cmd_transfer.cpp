// kvtool's transfer commands: the camera's picture list and Retrieve Images, memory uploads,
// block downloads, the parameter record, erase and format, and sound notes to wave files. With
// --simulate they talk to an in-process bench camera shaped by the bench camera's options
// (camsim/bench_options.h); its faults start once the camera is connected.

#include "base/operator.h"
#include "camera/camera_link.h"
#include "camera/connect_procedure.h"
#include "camera/transfers.h"
#include "camera/wave.h"
#include "camsim/bench_camera.h"
#include "camsim/bench_options.h"
#include "command.h"
#include "imaging/picture_attributes.h"
#include "library/retrieve_pictures.h"
#include "platform/atomic_file.h"
#include "settings/app_settings.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace kvtool {
namespace {

namespace fs = std::filesystem;
using namespace kv;

// Progress on the terminal (stderr), questions answered with their defaults.
class TerminalOperator : public SilentOperator {
public:
    void message(std::string_view text) override {
        std::fprintf(stderr, "\n%.*s\n", static_cast<int>(text.size()), text.data());
    }
    void beginProgress(std::string_view text, long total) override {
        title_ = std::string(text);
        total_ = total;
        std::fprintf(stderr, "%s\n", title_.c_str());
    }
    void setProgressText(std::string_view text) override {
        std::fprintf(stderr, "\r%-60.*s", static_cast<int>(text.size()), text.data());
    }
    void setProgress(long done) override {
        if (total_ > 0)
            std::fprintf(stderr, "\r%s: %ld / %ld", title_.c_str(), done, total_);
    }
    void endProgress() override { std::fprintf(stderr, "\n"); }

private:
    std::string title_;
    long total_ = 0;
};

// A connected camera: the bench camera in-process with --simulate, else the configured port.
struct Session {
    std::unique_ptr<camsim::BenchCamera> bench;
    std::unique_ptr<camera::CameraLink> link;
};

std::optional<Session> connect(Args& args, std::string& error) {
    Session session;
    const bool simulate = args.flag("--simulate");
    camera::ConnectOptions options;
    options.maxTries = 8;
    // Faults go on once connected, so that they hit the transfers (listings included).
    camsim::FaultOptions faults;
    if (simulate) {
        camsim::BenchCameraOptions bench;
        if (!camsim::readBenchOptions([&](std::string_view n) { return args.option(n); },
                                      [&](std::string_view n) { return args.flag(n); }, bench,
                                      error))
            return std::nullopt;
        faults = bench.faults;
        bench.faults = {};
        bench.faults.seed = faults.seed;
        session.bench = std::make_unique<camsim::BenchCamera>(bench);
        if (!session.bench->ok()) {
            error = "cannot start the bench camera";
            return std::nullopt;
        }
        const std::string device = session.bench->devicePath();
        options.portDevice = [device](std::string_view port) {
            return port == "COM1" ? device : std::string("/nonexistent/") + std::string(port);
        };
    }
    settings::AppSettings appSettings;
    camera::ConnectSettings connectSettings = camera::ConnectSettings::read(appSettings);
    if (simulate)
        connectSettings.fixedPort = 1;
    SilentOperator quiet;
    camera::ConnectResult result =
        camera::connectToCamera(connectSettings, options, quiet, camera::noCameraEvents());
    if (!result.camera) {
        error = "no camera answered";
        return std::nullopt;
    }
    session.link = std::move(result.camera);
    if (session.bench)
        session.bench->setFaults(faults);
    return session;
}

int runList(Args& args) {
    std::string error;
    auto session = connect(args, error);
    if (!session)
        return fail(error);
    camera::CameraTransfers transfers(*session->link);
    const camera::PictureList list = transfers.listPictures();
    transfers.restoreFlash(list);
    if (list.result != status::Ok && list.records.empty())
        return fail("cannot read the camera's picture list: " +
                    std::string(statusText(list.result)));
    std::printf("%-6s %-30s %-12s %9s %9s\n", "item", "file", "quality", "bytes", "sound");
    for (const auto& r : list.records) {
        const std::string file = r->pictureFile.empty() ? "-" : r->pictureFile;
        std::printf("%-6d %-30s %-12s %9u %9u\n",
                    r->pictureSize > 0 ? r->pictureNumber : r->soundNumber, file.c_str(),
                    r->pictureSize > 0 ? kv::imaging::qualityName(r->quality) : "(note)",
                    r->pictureSize, r->soundSize);
    }
    std::printf("%zu records, %llu bytes to fetch\n", list.records.size(),
                static_cast<unsigned long long>(list.totalBytes));
    for (const std::string& text : list.refused)
        std::fprintf(stderr, "refused: %s\n", text.c_str());
    return list.refused.empty() ? 0 : 1;
}

int runRetrieve(Args& args) {
    const auto base = args.option("--base");
    const auto gain = args.option("--gain");
    std::string error;
    auto session = connect(args, error);
    if (!session)
        return fail(error);
    if (args.size() != 1)
        return usage("retrieve");
    const fs::path dir = args[0];
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir))
        return fail("not a directory: " + dir.string());

    library::RetrieveOptions options;
    options.base = dir / (base ? *base : std::string("Image"));
    if (gain)
        options.gainFile = fs::path(*gain);
    const auto start = std::chrono::steady_clock::now();
    auto lastShown = start;
    int lastDone = -1;
    options.progress = [&](const library::RetrieveProgress& p) {
        const auto now = std::chrono::steady_clock::now();
        // At most ten updates a second, and one whenever a picture is done.
        if (p.picturesDone == lastDone && now - lastShown < std::chrono::milliseconds(100))
            return;
        lastShown = now;
        lastDone = p.picturesDone;
        const double seconds = std::chrono::duration<double>(now - start).count();
        const double total = std::max<double>(1.0, static_cast<double>(p.totalBytes));
        const int width = 30;
        const int filled =
            static_cast<int>(std::min(1.0, static_cast<double>(p.bytesReceived) / total) * width);
        std::fprintf(stderr, "\r[%-*s] %9llu / %llu bytes  %7.1f KB/s  %d/%d pictures", width,
                     std::string(static_cast<std::size_t>(filled), '#').c_str(),
                     static_cast<unsigned long long>(p.bytesReceived),
                     static_cast<unsigned long long>(p.totalBytes),
                     seconds > 0 ? static_cast<double>(p.bytesReceived) / 1024.0 / seconds : 0.0,
                     p.picturesDone, p.pictureCount);
    };
    const library::RetrieveReport report = library::retrievePictures(*session->link, options);
    std::fprintf(stderr, "\n");
    for (const library::StoredItem& stored : report.stored) {
        if (stored.result != status::Ok)
            continue;
        std::printf("stored %s", stored.picture.string().c_str());
        if (!stored.sound.empty())
            std::printf(" with %s", stored.sound.filename().string().c_str());
        std::printf("\n");
    }
    for (const std::string& text : report.refused)
        std::fprintf(stderr, "refused: %s\n", text.c_str());
    for (const std::string& text : report.failures)
        std::fprintf(stderr, "failed: %s\n", text.c_str());
    std::printf(
        "%d of %d pictures stored in %s\n",
        static_cast<int>(std::count_if(report.stored.begin(), report.stored.end(),
                                       [](const auto& s) { return s.result == status::Ok; })),
        report.progress.pictureCount, dir.string().c_str());
    if (report.complete())
        return 0;
    if (report.transferError || report.cameraLost || !report.failures.empty())
        std::fprintf(stderr, "%.*s\n", static_cast<int>(library::kRetrievalProblem61523.size()),
                     library::kRetrievalProblem61523.data());
    return 1;
}

bool parseLong(const std::string& text, long& out) {
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 0);
    return end && *end == '\0' && !text.empty();
}

int runUpload(Args& args) {
    std::string error;
    auto session = connect(args, error);
    if (!session)
        return fail(error);
    long start = 0;
    long size = 0;
    if (args.size() != 4 || !parseLong(args[1], start) || !parseLong(args[2], size) || start < 0 ||
        size <= 0)
        return usage("upload");
    const std::string memory = args[0];
    int command = camera::kUploadDram;
    std::string title = "Uploading DRAM";
    if (memory == "dram" || memory == "fram") {
        size = std::min(size, 1L << 20); // DRAM and FRAM sizes are capped at 1 MiB
        if (memory == "fram") {
            command = camera::kUploadFram;
            title = "Uploading FRAM";
        }
    } else if (memory == "pccard") {
        // Start and size in MiB; the card's addresses begin at 1 MiB.
        command = camera::kUploadFram;
        title = "Uploading PCCard";
        if (size > 64)
            return fail("PC card uploads are at most 64 MiB");
        start = (start + 1) << 20;
        size <<= 20;
    } else {
        return usage("upload");
    }
    TerminalOperator op;
    camera::CameraTransfers transfers(*session->link);
    session->link->setPingMode(0);
    Bytes buffer;
    const Status st = transfers.uploadMemory(command, start, size, buffer, title, op);
    session->link->setPingMode(1);
    if (st != status::Ok)
        return fail(title + " FAILED!");
    if (!platform::writeFileAtomically(args[3], buffer))
        return fail("cannot write " + args[3]);
    std::printf("%s Successful: %ld bytes to %s\n", title.c_str(), size, args[3].c_str());
    return 0;
}

int runDownload(Args& args) {
    std::string error;
    auto session = connect(args, error);
    if (!session)
        return fail(error);
    if (args.size() != 2)
        return usage("download");
    const std::string kind = args[0];
    const int command = kind == "gain"      ? camera::cmd::WriteGain
                        : kind == "blemish" ? camera::cmd::WriteBlemish
                        : kind == "gamma"   ? camera::cmd::WriteGamma
                        : kind == "dram"    ? camera::cmd::WriteDram
                                            : -1;
    if (command < 0)
        return usage("download");
    Bytes data;
    if (!platform::readWholeFile(args[1], data, 16u << 20))
        return fail("cannot read " + args[1] + " (or it is larger than 16 MiB)");
    if (command == camera::cmd::WriteGamma && data.size() != 2048)
        return fail("a gamma table is 2048 bytes");
    if (command == camera::cmd::WriteDram && data.size() > (1u << 20))
        return fail("a DRAM image is at most 1 MiB");
    TerminalOperator op;
    camera::CameraTransfers transfers(*session->link);
    const Status st =
        transfers.downloadBlocks(data, static_cast<long>(data.size()), 0, command, op);
    std::fprintf(stderr, "\n");
    if (st != status::Ok)
        return fail("download FAILED! (" + std::string(statusText(st)) + ")");
    std::printf("download Successful: %zu bytes, %ld retransmitted\n", data.size(),
                transfers.retransmitCount());
    return 0;
}

int runParams(Args& args) {
    std::string error;
    auto session = connect(args, error);
    if (!session)
        return fail(error);
    if (args.size() != 2)
        return usage("params");
    camera::CameraTransfers transfers(*session->link);
    if (args[0] == "get") {
        Bytes record;
        const Status st = transfers.readParameterRecord(record);
        if (st != status::Ok)
            return fail("reading the parameter record FAILED! (" + std::string(statusText(st)) +
                        ")");
        if (!platform::writeFileAtomically(args[1], record))
            return fail("cannot write " + args[1]);
        std::printf("parameter record (version %u) written to %s\n", loadLe32(record, 0),
                    args[1].c_str());
        return 0;
    }
    if (args[0] == "set") {
        Bytes record;
        if (!platform::readWholeFile(args[1], record, 4096) ||
            record.size() != camera::kParameterRecordSize)
            return fail(args[1] + " is not a 1024-byte parameter record");
        const Status st = transfers.writeParameterRecord(record);
        if (st != status::Ok)
            return fail("writing the parameter record FAILED! (" + std::string(statusText(st)) +
                        ")");
        std::printf("parameter record written to the camera\n");
        return 0;
    }
    return usage("params");
}

int runErase(Args& args) {
    std::string error;
    auto session = connect(args, error);
    if (!session)
        return fail(error);
    camera::CameraTransfers transfers(*session->link);
    if (transfers.eraseAll() != status::Ok)
        return fail("Erase FAILED!");
    std::printf("Erase Successful.\n");
    return 0;
}

int runFormat(Args& args) {
    std::string error;
    auto session = connect(args, error);
    if (!session)
        return fail(error);
    if (!session->link->hasFileSystem())
        return fail("this camera has no memory card");
    camera::CameraTransfers transfers(*session->link);
    if (transfers.formatCard() != status::Ok)
        return fail("Memory Card Format FAILED!");
    std::printf("Memory Card Format Successful.\n");
    return 0;
}

int runWave(Args& args) {
    if (args.size() != 2)
        return usage("wave");
    Bytes note;
    if (!platform::readWholeFile(args[0], note, camera::kMaxNoteLength))
        return fail("cannot read " + args[0] + " (or it is too long for a note)");
    if (camera::makeWave(note, fs::path(args[1])) != status::Ok)
        return fail("cannot write " + args[1]);
    std::printf("%s: %zu note bytes -> %zu samples\n", args[1].c_str(), note.size(),
                note.size() * 2);
    return 0;
}

Registrar listCommand{{"list", "list [--simulate [--camera=plain|card|variantb]]",
                       "the camera's stored pictures and sound notes", runList}};
Registrar retrieveCommand{
    {"retrieve",
     "retrieve DIR [--base NAME] [--gain FILE] [--simulate [--camera=KIND] [--corrupt=RATE] "
     "[--drop=RATE] [--pace=BITS] [--seed=N]]",
     "fetch every picture from the camera and store it in DIR", runRetrieve}};
Registrar uploadCommand{{"upload", "upload dram|fram|pccard START SIZE OUT (pccard: MiB)",
                         "read camera memory into a file", runUpload}};
Registrar downloadCommand{{"download", "download gain|blemish|gamma|dram IN",
                           "write a file to the camera in checked blocks", runDownload}};
Registrar paramsCommand{{"params", "params get OUT | params set IN",
                         "read or write the camera's 1024-byte parameter record", runParams}};
Registrar eraseCommand{{"erase", "erase", "erase every picture in the camera", runErase}};
Registrar formatCommand{{"format", "format", "format the camera's memory card", runFormat}};
Registrar waveCommand{
    {"wave", "wave NOTE OUT.wav", "turn a camera sound note into a wave file", runWave}};

} // namespace
} // namespace kvtool
