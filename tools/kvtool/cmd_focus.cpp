// kvtool focus-station: the focus station's run from the command line, with the scripted
// operator (--answer QUESTION=ANSWER, --answers FILE). With --simulate it runs against the
// focus bench (camera, lens cradle and lights in-process) in virtual time, on a copy of the
// settings file so that the bench's ports and sweep stay out of the real one; otherwise
// against the camera, the cradle and the light controller named in section "PORTS".

#include "base/clock.h"
#include "base/sound_output.h"
#include "camera/camera_link.h"
#include "camsim/bench_options.h"
#include "camsim/focus_bench.h"
#include "camsim/tool_session.h"
#include "command.h"
#include "diagnostics/focus_station.h"
#include "diagnostics/station.h"
#include "diagnostics/station_outputs.h"
#include "scripted_operator.h"
#include "settings/profile.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace kvtool {
namespace {

using namespace kv;
namespace diag = kv::diagnostics;

std::optional<long> number(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    char* end = nullptr;
    const long v = std::strtol(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0')
        return std::nullopt;
    return v;
}

const char* verdict(diag::CheckStatus s) {
    return s == diag::CheckStatus::Passed   ? "passed"
           : s == diag::CheckStatus::Failed ? "FAILED"
                                            : "not run";
}

// Removes the run's copy of the settings file however the command ends.
struct ScratchFile {
    std::filesystem::path path;
    ~ScratchFile() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove(path, ec);
    }
};

int runFocus(Args& args) {
    ScriptedOperator op;
    std::string error;
    if (!op.takeAnswers(args, error))
        return fail(error);
    const auto repeatText = args.option("--repeat");
    const auto repeat = repeatText ? number(repeatText) : std::optional<long>(1);
    if (!repeat || *repeat < 1)
        return fail("--repeat wants a count of runs (1 or more)");
    const auto bestFocus = args.option("--best-focus");
    const auto slip = args.option("--slip");
    const auto sceneSeed = args.option("--scene-seed");
    const bool softCorner = args.flag("--soft-corner");
    const auto report = args.option("--report");
    const bool simulate = args.flag("--simulate");

    settings::Profile* profile = &settings::appProfile();
    std::unique_ptr<settings::Profile> benchProfile;
    ScratchFile scratch;
    std::unique_ptr<camsim::FocusBench> bench;
    std::unique_ptr<diag::StationDevices> devices;
    std::unique_ptr<camera::CameraLink> link;
    camsim::ToolSession session;
    VirtualClock virtualClock;
    RealClock realClock;
    Clock* clock = &realClock;
    SilentSound silent;

    if (simulate) {
        camsim::FocusBenchOptions o;
        if (!camsim::readBenchOptions([&](std::string_view n) { return args.option(n); },
                                      [&](std::string_view n) { return args.flag(n); }, o.camera,
                                      error))
            return fail(error);
        if (bestFocus) {
            const auto v = number(bestFocus);
            if (!v)
                return fail("bad value for --best-focus: " + *bestFocus);
            o.scene.bestFocus = *v;
        }
        if (sceneSeed)
            o.scene.seed = static_cast<std::uint32_t>(number(sceneSeed).value_or(1));
        if (slip)
            o.cradleFaults.slipSteps = number(slip).value_or(0);
        o.scene.softCorner = softCorner;
        o.clock = &virtualClock;
        bench = std::make_unique<camsim::FocusBench>(o);
        if (!bench->ok())
            return fail("cannot start the focus bench (no pseudo-terminal)");
        // The run's settings: a copy of the settings file with the bench's ports and sweep.
        scratch.path = std::filesystem::temp_directory_path() /
                       ("kvtool-focus-" + std::to_string(::getpid()) + ".INI");
        std::error_code ec;
        std::filesystem::copy_file(profile->path(), scratch.path,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        benchProfile = std::make_unique<settings::Profile>(scratch.path);
        bench->writeStationSettings(*benchProfile);
        profile = benchProfile.get();
        devices = std::make_unique<camsim::FocusBenchDevices>(*bench);
        camera::LinkOptions lo;
        lo.devicePath = bench->camera().devicePath();
        lo.timing = camsim::toolLinkTiming(true);
        link = std::make_unique<camera::CameraLink>("COM1", camera::kLineRS232, lo);
        if (link->connect(9600) != camera::LinkState::Connected)
            return fail("the bench camera did not answer");
        clock = &virtualClock;
    } else {
        if (!camsim::prepareToolSession([&](std::string_view n) { return args.option(n); },
                                        [&](std::string_view n) { return args.flag(n); }, session,
                                        error))
            return fail(error);
        link = camsim::connectToolSession(session, op, camera::noCameraEvents()).camera;
        if (!link)
            return fail("no camera answered");
        devices = std::make_unique<diag::SystemStationDevices>(*profile);
    }
    if (!args.positional().empty())
        return usage("focus-station");

    const std::unique_ptr<Operator> watched = bench ? bench->watch(op) : nullptr;
    Operator& person = watched ? *watched : op;
    diag::Station station(person, *clock, *profile, *devices, silent);
    station.camera = link.get();
    int exitCode = 0;
    for (long run = 1; run <= *repeat; ++run) {
        diag::FocusStationIo io = diag::focusStationIo(station);
        if (report)
            io.report = *report;
        io.repeat = run < *repeat;
        bool next = false;
        io.nextRun = [&next] { next = true; };
        diag::FocusStation focus(io);
        focus.run();
        std::printf("run %ld: focus %s at %ld (sharpness %d), lens check %s, final check %s\n", run,
                    verdict(focus.focusStatus()), focus.result().focusPosition,
                    focus.result().final.combined, verdict(focus.lensCheckStatus()),
                    verdict(focus.finalCheckStatus()));
        if (!focus.errorText().empty())
            std::printf("%s\n", focus.errorText().c_str());
        const bool failed = focus.focusStatus() == diag::CheckStatus::Failed ||
                            focus.lensCheckStatus() == diag::CheckStatus::Failed ||
                            focus.finalCheckStatus() == diag::CheckStatus::Failed ||
                            !focus.errorText().empty();
        if (failed)
            exitCode = 1;
        if (!next)
            break;
    }
    if (bench)
        std::printf("bench lens at %ld, best focus %ld, %.1f s of station time\n",
                    bench->cradle().lensPosition(), bench->scene().options().bestFocus,
                    static_cast<double>(virtualClock.now().count()) / 1000.0);
    return exitCode;
}

Registrar focusCommand{
    {"focus-station",
     "focus-station [--answer QUESTION=ANSWER] [--answers FILE] [--repeat N] [--report FILE]\n"
     "      [--simulate [--best-focus N] [--scene-seed N] [--slip STEPS] [--soft-corner]]",
     "the focus station: sweep, focus, lens checks, glue, final check (report f.txt)", runFocus}};

} // namespace
} // namespace kvtool
