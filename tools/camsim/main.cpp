// kvcamsim: runs a bench camera on a pseudo-terminal and prints the device path to put in
// section "PORTS" (e.g. COM1=/dev/pts/5). With --ports=COMn it writes that key itself.

#include "camsim/bench_camera.h"
#include "camsim/bench_options.h"
#include "camsim/bench_station.h"
#include "camsim/focus_bench.h"
#include "platform/atomic_file.h"
#include "settings/profile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stopRequested{false};
void onSignal(int) {
    stopRequested = true;
}

struct Words {
    std::vector<std::string> list;
    std::optional<std::string> option(std::string_view name) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->size() > name.size() && it->compare(0, name.size(), name) == 0 &&
                (*it)[name.size()] == '=') {
                std::string value = it->substr(name.size() + 1);
                list.erase(it);
                return value;
            }
        }
        return std::nullopt;
    }
    bool flag(std::string_view name) {
        auto it = std::find(list.begin(), list.end(), name);
        if (it == list.end())
            return false;
        list.erase(it);
        return true;
    }
};

} // namespace

int main(int argc, char** argv) {
    Words words{std::vector<std::string>(argv + 1, argv + argc)};
    if (words.flag("--help") || words.flag("-h")) {
        std::printf("usage: kvcamsim [--ports=COMn] [--ini=FILE] [--seconds=N] [OPTIONS]\n"
                    "Runs a bench camera and prints its device path.\n"
                    "  --ports=COMn           write the path under [PORTS] COMn of the settings\n"
                    "  --ini=FILE             the settings file (default: kvmini.INI)\n"
                    "  --seconds=N            stop after N seconds (default: until a signal)\n"
                    "  --cradle               also run the focus station's bench: a lens cradle\n"
                    "                         and a light controller on pseudo-terminals, the\n"
                    "                         camera seeing the focus target through the lens\n"
                    "  --cradle-port=COMn     write the cradle's path under [PORTS] COMn and\n"
                    "                         CRADLE_PORT_RS232, the lights' under LPT1, and\n"
                    "                         the bench's sweep (62800..63300 by 4) if none\n"
                    "  --best-focus=N         the bench lens's best-focus position (63050)\n"
                    "  --sensor-defects=FILE  with --station: plant the sensor defects of FILE\n"
                    "  --sensor-seed=N        with --station: plant a seeded set of every kind\n"
                    "  --write-sensor-defects=FILE  write the planted defects as a list\n"
                    "  --station              also run the bench station: relay board and light\n"
                    "                         controller on pseudo-terminals (written under\n"
                    "                         [PORTS] RELAY_BOARD and LPT1 with --ports)\n"
                    "%s",
                    kv::camsim::kBenchOptionsHelp);
        return 0;
    }
    kv::camsim::BenchCameraOptions options;
    std::string error;
    kv::settings::setModuleName("kvmini");
    if (auto ini = words.option("--ini"))
        kv::settings::setAppProfilePath(*ini);
    const auto ports = words.option("--ports");
    const auto seconds = words.option("--seconds");
    const bool withCradle = words.flag("--cradle");
    const auto cradlePort = words.option("--cradle-port");
    const auto bestFocus = words.option("--best-focus");
    const bool withStation = words.flag("--station");
    const auto defectsFile = words.option("--sensor-defects");
    kv::camsim::BenchStationOptions stationOptions;
    if (defectsFile &&
        !kv::camsim::readSensorDefects(*defectsFile, stationOptions.sensorDefects, error)) {
        std::fprintf(stderr, "kvcamsim: %s\n", error.c_str());
        return 2;
    }
    if (const auto seed = words.option("--sensor-seed")) {
        const auto seeded = kv::camsim::seededSensorDefects(
            static_cast<std::uint32_t>(std::strtoul(seed->c_str(), nullptr, 10)), 3);
        stationOptions.sensorDefects.insert(stationOptions.sensorDefects.end(), seeded.begin(),
                                            seeded.end());
    }
    if (const auto list = words.option("--write-sensor-defects")) {
        const std::string text = kv::camsim::formatSensorDefects(stationOptions.sensorDefects);
        if (!kv::platform::writeFileAtomically(*list, std::string_view(text))) {
            std::fprintf(stderr, "kvcamsim: cannot write %s\n", list->c_str());
            return 1;
        }
    }
    if (!kv::camsim::readBenchOptions([&](std::string_view n) { return words.option(n); },
                                      [&](std::string_view n) { return words.flag(n); }, options,
                                      error)) {
        std::fprintf(stderr, "kvcamsim: %s\n", error.c_str());
        return 2;
    }
    if (!words.list.empty()) {
        std::fprintf(stderr, "kvcamsim: unknown argument '%s' (try --help)\n",
                     words.list.front().c_str());
        return 2;
    }
    std::unique_ptr<kv::camsim::FocusBench> focus;
    std::unique_ptr<kv::camsim::BenchCamera> plain;
    if (withCradle) {
        kv::camsim::FocusBenchOptions focusOptions;
        focusOptions.camera = options;
        if (bestFocus)
            focusOptions.scene.bestFocus = std::strtol(bestFocus->c_str(), nullptr, 10);
        focus = std::make_unique<kv::camsim::FocusBench>(focusOptions);
    } else {
        plain = std::make_unique<kv::camsim::BenchCamera>(options);
    }
    kv::camsim::BenchCamera& camera = focus ? focus->camera() : *plain;
    if (!camera.ok() || (focus && !focus->ok())) {
        std::fprintf(stderr, "kvcamsim: cannot open a pseudo-terminal\n");
        return 1;
    }
    if (ports) {
        auto& profile = kv::settings::appProfile();
        if (!profile.writeString("PORTS", *ports, camera.devicePath())) {
            std::fprintf(stderr, "kvcamsim: cannot write %s\n", profile.path().c_str());
            return 1;
        }
        std::fprintf(stderr, "kvcamsim: [PORTS] %s=%s written to %s\n", ports->c_str(),
                     camera.devicePath().c_str(), profile.path().c_str());
    }
    std::printf("%s\n", camera.devicePath().c_str());
    if (focus) {
        const std::string lights = focus->startLightLine();
        std::printf("cradle %s\nlights %s\n", focus->cradle().devicePath().c_str(), lights.c_str());
        if (cradlePort) {
            auto& profile = kv::settings::appProfile();
            const bool written =
                profile.writeString("PORTS", *cradlePort, focus->cradle().devicePath()) &&
                profile.writeString("PORTS", "LPT1", lights) &&
                profile.writeString("FOCUS_PARAMS", "CRADLE_PORT_RS232", cradlePort->substr(3));
            kv::camsim::FocusBench::writeBenchSweep(profile);
            if (!written) {
                std::fprintf(stderr, "kvcamsim: cannot write %s\n", profile.path().c_str());
                return 1;
            }
        }
    }
    std::unique_ptr<kv::camsim::BenchStation> station;
    if (withStation && !focus) {
        station = std::make_unique<kv::camsim::BenchStation>(camera, stationOptions);
        const auto [relay, lights] = station->startOutputLines();
        if (relay.empty()) {
            std::fprintf(stderr, "kvcamsim: cannot open the station's pseudo-terminals\n");
            return 1;
        }
        std::printf("relay %s\nlights %s\n", relay.c_str(), lights.c_str());
        auto& profile = kv::settings::appProfile();
        if (ports && !(profile.writeString("PORTS", "RELAY_BOARD", relay) &&
                       profile.writeString("PORTS", "LPT1", lights))) {
            std::fprintf(stderr, "kvcamsim: cannot write %s\n", profile.path().c_str());
            return 1;
        }
    }
    std::fflush(stdout);

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    const auto end = seconds ? std::chrono::steady_clock::now() +
                                   std::chrono::seconds(std::strtol(seconds->c_str(), nullptr, 10))
                             : std::chrono::steady_clock::time_point::max();
    while (!stopRequested.load() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return 0;
}
