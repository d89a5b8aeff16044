// kvtool's station commands: the factory procedures of the Diagnostics menu from the command
// line, with the scripted operator (--answer QUESTION=ANSWER, --answers FILE). With
// --simulate they run against the bench station in virtual time; otherwise against the camera
// and the station devices named in section "PORTS".

#include "base/clock.h"
#include "base/sound_output.h"
#include "camera/camera_events.h"
#include "camsim/bench_options.h"
#include "camsim/bench_station.h"
#include "camsim/tool_session.h"
#include "command.h"
#include "diagnostics/color_commands.h"
#include "diagnostics/dac_test.h"
#include "diagnostics/downloads.h"
#include "diagnostics/gain_replay.h"
#include "diagnostics/gain_run.h"
#include "diagnostics/picture_commands.h"
#include "diagnostics/sound_test.h"
#include "diagnostics/station.h"
#include "diagnostics/station_menu.h"
#include "diagnostics/station_outputs.h"
#include "platform/atomic_file.h"
#include "scripted_operator.h"
#include "settings/app_settings.h"
#include "shell/editions.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace kvtool {
namespace {

using namespace kv;
namespace diag = kv::diagnostics;

std::optional<long> number(const std::string& text, int base = 10) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, base);
    if (text.empty() || *end != '\0')
        return std::nullopt;
    return v;
}

// Everything one station command works with.
struct StationRun {
    ScriptedOperator op;
    camsim::ToolSession session;
    std::unique_ptr<camsim::BenchStation> bench;
    std::unique_ptr<camera::CameraLink> link;
    RealClock realClock;
    std::unique_ptr<diag::SystemStationDevices> systemDevices;
    SilentSound silent;
    std::unique_ptr<diag::Station> station;
};

bool readStationOptions(Args& args, camsim::BenchStationOptions& o, std::string& error) {
    const auto integer = [&](const char* name, auto& field) {
        if (auto v = args.option(name)) {
            const auto n = number(*v);
            if (!n) {
                error = std::string("bad value for ") + name + ": " + *v;
                return false;
            }
            field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
        }
        return true;
    };
    if (!integer("--dac-zero", o.dacZero) || !integer("--refuse-record", o.refuseRecord) ||
        !integer("--refuse-times", o.refuseRecordTimes) ||
        !integer("--high-tone", o.highToneLevel) || !integer("--low-tone", o.lowToneLevel) ||
        !integer("--mic-noise", o.micNoise))
        return false;
    if (o.refuseRecord > 0 && o.refuseRecordTimes == 0)
        o.refuseRecordTimes = 1000;
    if (const auto defects = args.option("--sensor-defects");
        defects && !camsim::readSensorDefects(*defects, o.sensorDefects, error))
        return false;
    // A seeded set of every kind of defect, added to those of the list (as kvcamsim plants it).
    if (const auto seed = args.option("--sensor-seed")) {
        const auto n = number(*seed);
        if (!n || *n < 0 || *n > 0xFFFFFFFFL) {
            error = "bad value for --sensor-seed: " + *seed;
            return false;
        }
        const auto seeded = camsim::seededSensorDefects(static_cast<std::uint32_t>(*n), 3);
        o.sensorDefects.insert(o.sensorDefects.end(), seeded.begin(), seeded.end());
    }
    o.relayMissing = args.flag("--no-relay");
    o.lightMissing = args.flag("--no-light");
    return true;
}

// Prepares the run: answers, the bench station or the real devices, the station context.
std::unique_ptr<StationRun> prepare(Args& args, std::string& error) {
    auto run = std::make_unique<StationRun>();
    if (!run->op.takeAnswers(args, error))
        return nullptr;
    const bool simulate = args.flag("--simulate");
    camsim::BenchStationOptions stationOptions;
    if (simulate && !readStationOptions(args, stationOptions, error))
        return nullptr;
    if (!camsim::prepareToolSession(
            [&](std::string_view n) { return args.option(n); },
            [&](std::string_view n) { return n == "--simulate" ? simulate : args.flag(n); },
            run->session, error))
        return nullptr;
    settings::Profile& profile = settings::appProfile();
    Clock* clock = &run->realClock;
    diag::StationDevices* devices = nullptr;
    SoundOutput* sound = &run->silent;
    if (run->session.bench) {
        run->bench = std::make_unique<camsim::BenchStation>(*run->session.bench, stationOptions);
        clock = &run->bench->clock();
        devices = &run->bench->devices();
        sound = &run->bench->loudspeaker();
    } else {
        run->systemDevices = std::make_unique<diag::SystemStationDevices>(profile);
        devices = run->systemDevices.get();
    }
    run->station.reset(new diag::Station(run->op, *clock, profile, *devices, *sound));
    run->station->automaticMode = args.flag("--automatic");
    StationRun* self = run.get();
    run->station->reconnect = [self]() -> camera::CameraLink* {
        self->link.reset();
        camera::ConnectResult result =
            camsim::connectToolSession(self->session, self->op, camera::noCameraEvents());
        self->link = std::move(result.camera);
        return self->link.get();
    };
    run->station->disconnect = [self]() { self->link.reset(); };
    return run;
}

void printOutputs(const StationRun& run) {
    if (!run.bench)
        return;
    for (const camsim::OutputWrite& w : run.bench->outputLog()) {
        if (w.device == camsim::OutputWrite::Device::Relay)
            std::printf("relay %x <- %u\n", w.address, unsigned(w.bytes.at(0)));
        else
            std::printf("light controller <- %02x %02x\n", unsigned(w.bytes.at(0)),
                        unsigned(w.bytes.at(1)));
    }
}

std::optional<std::string> argument(Args& args, std::size_t index) {
    if (args.size() > index)
        return args[index];
    return std::nullopt;
}

int result(StationRun& run, bool ok) {
    printOutputs(run);
    const std::string& error = run.station->errorText;
    const auto& shown = run.op.messages();
    if (!ok && !error.empty() && std::find(shown.begin(), shown.end(), error) == shown.end())
        std::printf("%s\n", error.c_str());
    return ok ? 0 : 1;
}

int runStation(Args& args) {
    if (args.size() == 0)
        return usage("station");
    const std::string sub = args[0];
    std::string error;
    const auto reportOption = args.option("--report");
    const auto initial = args.option("--initial");
    const auto rect = args.option("--rect");
    const auto white = args.option("--white");
    const bool flash = args.flag("--flash");
    const bool noFlash = args.flag("--no-flash");
    const auto seconds = args.option("--seconds");
    std::unique_ptr<StationRun> run = prepare(args, error);
    if (!run)
        return fail(error);
    diag::Station& s = *run->station;
    const auto arg1 = argument(args, 1);

    if (sub == "relay" || sub == "light") {
        const auto v = arg1 ? number(*arg1, 0) : std::nullopt;
        if (!v || *v < 0 || *v > 0xFFFF)
            return fail(sub + " wants a value (decimal or 0x..)");
        const bool ok = sub == "relay"
                            ? diag::relayWrite(s, static_cast<std::uint8_t>(*v))
                            : diag::lightControllerWrite(s, static_cast<std::uint16_t>(*v));
        return result(*run, ok);
    }
    if (sub == "continuous") {
        std::printf("Continuous Take Picture: %s\n",
                    diag::toggleContinuousTakePicture(s) ? "on" : "off");
        return 0;
    }
    if (sub == "sound-test") {
        if (!arg1)
            return fail("sound-test wants the recording FILE");
        diag::SpectrumAnalyzer analyzer;
        const diag::SoundParams params = diag::readSoundParams(s.profile);
        const diag::SoundTestResult r = diag::runSoundTest(*arg1, params, analyzer);
        if (r.high && r.low)
            std::printf("%s", diag::soundSummary(*r.high, *r.low, params, r.pass).c_str());
        if (!r.failure.empty())
            std::printf("%s\n", r.failure.c_str());
        std::printf("Sound test: %s\n", r.pass ? "PASS" : "FAIL");
        return r.pass ? 0 : 1;
    }
    if (sub == "play-sound" || sub == "record-sound") {
        const bool played = diag::playTestSound(s);
        if (sub == "play-sound")
            return result(*run, played);
        if (!run->bench || !arg1)
            return fail("record-sound OUT works with --simulate only");
        const double length = seconds ? std::atof(seconds->c_str()) : 9.0;
        if (!platform::writeFileAtomically(*arg1, run->bench->record(length)))
            return fail("cannot write " + *arg1);
        std::printf("recorded %.1f s%s\n", length, played ? " of the test sound" : " of silence");
        return 0;
    }

    if (!s.connectedCamera())
        return fail("no camera answered");
    bool ok = false;
    if (sub == "dac") {
        const std::filesystem::path report =
            reportOption ? std::filesystem::path(*reportOption)
                         : settings::AppSettings(s.profile).gainBlemishFolder() / "dac_test.txt";
        ok = diag::dacTroubleshooting(s, report);
    } else if (sub == "dac-test") {
        diag::DacTestOptions o;
        if (initial)
            o.initialDac = static_cast<int>(number(*initial).value_or(diag::kDefaultDac));
        std::string report;
        o.report = [&](std::string_view t) { report += t; };
        o.gainFolder = settings::AppSettings(s.profile).gainBlemishFolder();
        int setting = 0;
        o.runDacSetting = &setting;
        const auto dac = diag::runDacTest(s, o);
        if (reportOption && !platform::writeFileAtomically(*reportOption, report))
            return fail("cannot write " + *reportOption);
        if (dac)
            std::printf("DAC: %d\n", *dac);
        else
            std::printf("DAC Setting Failure. Dac is %d\n", setting);
        ok = dac.has_value();
    } else if (sub == "set-dac") {
        std::optional<long> value;
        if (arg1 && !(value = number(*arg1)))
            return fail("set-dac wants a number");
        const auto dac = diag::setDac(s, value);
        if (dac)
            std::printf("DAC set to %d\n", *dac);
        ok = dac.has_value();
    } else if (sub == "home-shutter") {
        ok = diag::homeShutter(s);
    } else if (sub == "neutralize") {
        std::optional<bool> isFlash;
        if (flash || noFlash)
            isFlash = flash;
        ok = diag::neutralizeCameraColor(s, rect, white, isFlash);
    } else if (sub == "color-matrix") {
        ok = diag::colorMatrix(s, arg1 ? arg1 : white);
    } else if (sub == "uncompressed") {
        ok = diag::takeUncompressed(s);
    } else if (sub == "compensated") {
        ok = diag::takeUncompressedCompensated(s);
    } else if (sub == "save-mono") {
        ok = diag::acquireAndSaveMono(s, arg1);
    } else if (sub == "download-firmware") {
        ok = diag::downloadFirmware(s, arg1);
        if (ok && s.camera)
            std::printf("Firmware: %s\n", std::string(s.camera->status().firmwareText()).c_str());
    } else if (sub == "download-gamma") {
        if (arg1)
            run->op.addAnswer("Download default Gamma Table?=cancel");
        ok = diag::downloadGammaTable(s, arg1);
    } else if (sub == "download-blemish") {
        ok = diag::downloadBlemishList(s, arg1);
    } else if (sub == "batch") {
        ok = diag::batchProcess(s, arg1);
    } else if (sub == "serial") {
        ok = diag::setSerialNumber(s);
        if (s.camera)
            std::printf("Serial number: %lu\n",
                        static_cast<unsigned long>(
                            static_cast<std::uint32_t>(s.camera->status().serialNumber)));
    } else {
        return usage("station");
    }
    return result(*run, ok);
}

// The final test's gain run: against the camera (or the bench with --simulate), or replayed
// from the working files of a folder without a camera (--replay DIR). Writes r.txt and r.json
// into the gain folder; --report-json prints r.json.
int runGainCommand(Args& args, const std::string& which) {
    const auto replay = args.option("--replay");
    const auto passes = args.option("--passes");
    const bool json = args.flag("--report-json");
    diag::GainRunOptions options;
    options.programRevision = std::string(shell::kProgramVersion);
    if (passes) {
        const auto n = number(*passes);
        if (!n || *n < 0 || *n > 100)
            return fail("--passes wants 0..100");
        options.passes = static_cast<int>(*n);
    }
    std::string error;
    std::filesystem::path folder;
    int status = 0;
    bool passed = false;
    if (replay && which == "final-test") {
        ScriptedOperator op;
        if (!op.takeAnswers(args, error))
            return fail(error);
        diag::GainReplayOptions o;
        o.folder = folder = *replay;
        o.programRevision = options.programRevision;
        o.automaticMode = args.flag("--automatic");
        const diag::GainReplayResult r = diag::replayGainRun(op, settings::appProfile(), o);
        if (!r.errorText.empty())
            std::fprintf(stderr, "%s\n", r.errorText.c_str() + 1);
        status = r.status;
        passed = r.passed == 1;
    } else {
        std::unique_ptr<StationRun> run = prepare(args, error);
        if (!run)
            return fail(error);
        diag::Station& s = *run->station;
        folder = settings::AppSettings(s.profile).gainBlemishFolder();
        const auto before = std::filesystem::exists(folder / "r.json")
                                ? std::filesystem::last_write_time(folder / "r.json")
                                : std::filesystem::file_time_type::min();
        if (which == "led-station") {
            std::printf("Boards: %d\n", diag::runLedStation(s, options));
            return 0;
        }
        // "final-test" is the whole final test: the gain run, then the picture and its sound
        // test, the camera's settings put back.
        status = which == "create-gain" ? diag::createGainCommand(s, options)
                                        : diag::runFinalTest(s, options);
        if (!s.errorText.empty())
            std::fprintf(stderr, "%s\n", s.errorText.c_str() + 1);
        // The verdict of this run's report (a run that ended before it wrote none failed).
        Bytes report;
        passed =
            std::filesystem::exists(folder / "r.json") &&
            std::filesystem::last_write_time(folder / "r.json") != before &&
            platform::readWholeFile(folder / "r.json", report, 1u << 20) &&
            std::string(report.begin(), report.end()).find("\"passed\": true") != std::string::npos;
    }
    if (json) {
        Bytes text;
        if (platform::readWholeFile(folder / "r.json", text, 1u << 20))
            std::fwrite(text.data(), 1, text.size(), stdout);
    }
    std::printf("Sensor: %s\nRun: %s\n", passed ? "PASSED" : "FAILED",
                status == 0 ? "completed" : "failed");
    return status == 0 && passed ? 0 : 1;
}

Registrar finalTestCommand{
    {"final-test",
     "final-test [--passes N] [--replay DIR] [--report-json] [--automatic]\n"
     "      [--answer QUESTION=ANSWER] [--answers FILE]\n"
     "      [--simulate [--sensor-defects FILE] [--sensor-seed N]]",
     "the final test's gain run (exposures, calibration, report r.txt and r.json, downloads); "
     "--replay DIR runs it from the working files a.tif, z.tif, r.tif, c.tif without a camera",
     [](Args& a) { return runGainCommand(a, "final-test"); }}};
Registrar createGainCommand{{"create-gain",
                             "create-gain [--passes N] [--answer QUESTION=ANSWER] [--answers FILE] "
                             "[--simulate]",
                             "Create Gain: the gain run between Z5;0 and Z5;1",
                             [](Args& a) { return runGainCommand(a, "create-gain"); }}};
Registrar ledStationCommand{{"led-station",
                             "led-station [--passes N] [--answer QUESTION=ANSWER] [--answers FILE] "
                             "[--simulate]",
                             "LED Station: gain runs board after board until Cancel",
                             [](Args& a) { return runGainCommand(a, "led-station"); }}};

Registrar stationCommand{
    {"station",
     "station dac|dac-test|set-dac [N]|home-shutter|neutralize|color-matrix [WHITE.tif]|"
     "uncompressed|compensated|save-mono OUT.tif|continuous|download-firmware [FILE.s19]|"
     "download-gamma [FILE.txt]|download-blemish FILE|batch FILE|serial|sound-test FILE|"
     "play-sound|record-sound OUT|relay VALUE|light CODE\n"
     "      [--answer QUESTION=ANSWER] [--answers FILE] [--automatic] [--report FILE]\n"
     "      [--initial DAC] [--rect \"l t r b\"] [--white FILE] [--flash|--no-flash]\n"
     "      [--simulate [--dac-zero=N] [--refuse-record=N [--refuse-times=K]] [--high-tone=A]\n"
     "       [--low-tone=A] [--mic-noise=S] [--no-relay] [--no-light] [--seconds=S]]",
     "the factory station procedures (DAC, colour, pictures, downloads, sound test, outputs)",
     runStation}};

} // namespace
} // namespace kvtool
