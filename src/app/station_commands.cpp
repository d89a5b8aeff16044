// The station procedures of the Diagnostics submenu (DAC, shutter, colour, picture commands,
// downloads, serial number, sound test). Each runs on the GUI thread with a clock that keeps
// the window alive while it waits; while one runs, the router starts no other command.
#include "app/application.h"
#include "app/command_handlers.h"
#include "app/qt_operator.h"
#include "base/clock.h"
#include "camsim/bench_station.h"
#include "diagnostics/color_commands.h"
#include "diagnostics/dac_test.h"
#include "diagnostics/downloads.h"
#include "diagnostics/gain_run.h"
#include "diagnostics/picture_commands.h"
#include "diagnostics/sound_test.h"
#include "diagnostics/station.h"
#include "diagnostics/station_menu.h"
#include "diagnostics/station_outputs.h"
#include "settings/app_settings.h"
#include "shell/command_table.h"
#include "shell/editions.h"

#include <QCoreApplication>
#include <QSoundEffect>
#include <QUrl>
#include <memory>

namespace kv::app {
namespace {

namespace diag = diagnostics;
namespace cmd = shell::cmd;

// The loudspeaker through Qt Multimedia; a missing audio device only makes play() silent.
class QtSoundOutput final : public SoundOutput {
public:
    bool setVolume(std::uint16_t left, std::uint16_t) override {
        volume_ = double(left) / 65535.0;
        return true;
    }
    bool playFile(std::string_view path) override {
        if (!effect_)
            effect_ = std::make_unique<QSoundEffect>();
        effect_->setSource(QUrl::fromLocalFile(QString::fromStdString(std::string(path))));
        effect_->setVolume(volume_);
        effect_->play();
        return true;
    }

private:
    std::unique_ptr<QSoundEffect> effect_;
    double volume_ = 38665.0 / 65535.0;
};

QtSoundOutput& loudspeaker() {
    static QtSoundOutput speaker;
    return speaker;
}

// With --simulate the procedures run on the bench station around the program's bench camera:
// its sensor, outputs and loudspeaker, in virtual time. It stays for the rest of the process.
camsim::BenchStation* simulatedStation(Application& app) {
    static std::unique_ptr<camsim::BenchStation> station;
    static camsim::BenchCamera* around = nullptr;
    camsim::BenchCamera* bench = app.camera().bench();
    if (!bench)
        return nullptr;
    if (around != bench) {
        station = std::make_unique<camsim::BenchStation>(*bench);
        around = bench;
    }
    return station.get();
}

// One procedure run: the station context over the program's camera, devices and dialogs.
void runStation(Application& app, const std::function<void(diag::Station&)>& procedure) {
    static bool running = false;
    if (running)
        return;
    running = true;
    CommandRouter::BusyScope busy(app.router());
    QtOperator op(app.frame(), app.productName());
    RealClock clock([] { QCoreApplication::processEvents(); });
    settings::Profile& profile = app.settings().profile();
    diag::SystemStationDevices systemDevices(profile);
    camsim::BenchStation* bench = simulatedStation(app);
    diag::Station station(op, bench ? static_cast<Clock&>(bench->clock()) : clock, profile,
                          bench ? bench->devices() : systemDevices,
                          bench ? bench->loudspeaker() : loudspeaker());
    station.camera = app.camera().camera();
    station.reconnect = [&app]() {
        app.connectCamera();
        return app.camera().camera();
    };
    station.disconnect = [&app]() { app.camera().drop(); };
    app.camera().setTransferRunning(true);
    procedure(station);
    app.camera().setTransferRunning(false);
    if (!station.errorText.empty())
        op.message(station.errorText);
    running = false;
}

void soundTest(diag::Station& s) {
    const auto file = s.op.chooseFile("Open Sound Recording", "All Files (*)|*||", false);
    if (!file)
        return;
    diag::SpectrumAnalyzer analyzer;
    const diag::SoundTestResult r =
        diag::runSoundTest(*file, diag::readSoundParams(s.profile), analyzer);
    if (!r.failure.empty())
        s.op.message(r.failure);
    s.op.message(r.pass ? "Sound Test Successful." : "Sound Test FAILED!");
}

} // namespace

void installStationCommands(Application& app) {
    CommandTarget& t = app.router().diagnostics();
    const auto add = [&app, &t](int id, std::function<void(diag::Station&)> procedure) {
        t.add(id, [&app, procedure] { runStation(app, procedure); });
    };
    add(diag::kIdDacTroubleshooting, [](diag::Station& s) {
        diag::dacTroubleshooting(s, settings::AppSettings(s.profile).gainBlemishFolder() /
                                        "dac_test.txt");
    });
    add(diag::kIdSetDac, [](diag::Station& s) { diag::setDac(s); });
    add(diag::kIdHomeShutter, [](diag::Station& s) { diag::homeShutter(s); });
    add(diag::kIdNeutralizeColor, [](diag::Station& s) { diag::neutralizeCameraColor(s); });
    add(diag::kIdColorMatrix, [](diag::Station& s) { diag::colorMatrix(s); });
    add(diag::kIdUncompressed, [](diag::Station& s) { diag::takeUncompressed(s); });
    add(diag::kIdUncompressedCompensated,
        [](diag::Station& s) { diag::takeUncompressedCompensated(s); });
    add(diag::kIdAcquireSaveMono, [](diag::Station& s) { diag::acquireAndSaveMono(s); });
    add(diag::kIdDownloadProgram, [](diag::Station& s) {
        diag::downloadFirmware(s);
        s.errorText.clear(); // its box was shown already
    });
    add(diag::kIdDownloadGammaTable, [](diag::Station& s) { diag::downloadGammaTable(s); });
    add(diag::kIdDownloadBlemishList, [](diag::Station& s) { diag::downloadBlemishList(s); });
    add(diag::kIdBatchProcess, [](diag::Station& s) { diag::batchProcess(s); });
    add(diag::kIdSetSerialNumber, [](diag::Station& s) { diag::setSerialNumber(s); });
    add(diag::kIdSoundTest, soundTest);
    diag::GainRunOptions gain;
    gain.programRevision = std::string(shell::kProgramVersion);
    add(cmd::FinalTest, [gain](diag::Station& s) { diag::runFinalTest(s, gain); });
    add(diag::kIdCreateGain, [gain](diag::Station& s) { diag::createGainCommand(s, gain); });
    add(diag::kIdLedStation, [gain](diag::Station& s) { diag::runLedStation(s, gain); });
    static_assert(diag::kIdDownloadProgram == cmd::DownloadProgram &&
                  diag::kIdDownloadGammaTable == cmd::DownloadGamma &&
                  diag::kIdDownloadBlemishList == cmd::DownloadBlemish &&
                  diag::kIdBatchProcess == cmd::BatchProcess &&
                  diag::kIdSetSerialNumber == cmd::SetSerialNumber &&
                  diag::kIdSoundTest == cmd::SoundTest && diag::kIdSetDac == cmd::SetDac &&
                  diag::kIdHomeShutter == cmd::HomeShutter &&
                  diag::kIdCreateGain == cmd::CreateGain && diag::kIdLedStation == cmd::LedStation);
}

} // namespace kv::app
