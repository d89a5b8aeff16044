// The bench station with a connected camera and a Station on it, for the procedure tests:
// virtual time, recording outputs, a scratch settings file and an operator that records every
// box and question and answers from a table.
#pragma once

#include "camsim/bench_station.h"
#include "diagnostics/station.h"
#include "support/scratch_dir.h"
#include "transfers/transfer_rig.h"

#include <cstdio>
#include <map>
#include <string>

namespace kv::testing {

class RecordingOperator : public SilentOperator {
public:
    std::vector<std::string> messages;
    std::vector<std::string> questions;
    std::vector<std::string> progress;
    std::map<std::string, std::string> answers; // question -> answer ("no" = Cancel)
    std::map<std::string, std::string> files;   // title -> path

    void message(std::string_view text) override { messages.emplace_back(text); }
    bool confirm(std::string_view text) override { return decide(text); }
    bool askYesNo(std::string_view text) override { return decide(text); }
    std::optional<std::string> askText(std::string_view prompt, std::string_view initial) override {
        questions.emplace_back(prompt);
        auto it = answers.find(std::string(prompt));
        return it == answers.end() ? std::string(initial) : it->second;
    }
    std::optional<std::string> chooseFile(std::string_view title, std::string_view, bool) override {
        questions.emplace_back(title);
        auto it = files.find(std::string(title));
        if (it == files.end())
            return std::nullopt;
        return it->second;
    }
    void setProgressText(std::string_view text) override { progress.emplace_back(text); }
    bool said(std::string_view text) const {
        return std::find(messages.begin(), messages.end(), text) != messages.end();
    }
    bool asked(std::string_view text) const {
        return std::find(questions.begin(), questions.end(), text) != questions.end();
    }

private:
    bool decide(std::string_view text) {
        questions.emplace_back(text);
        auto it = answers.find(std::string(text));
        return it == answers.end() || it->second != "no";
    }
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_UNDEFINED__)
inline constexpr auto kStationRigTimeout = 400ms;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
inline constexpr auto kStationRigTimeout = 400ms;
#else
inline constexpr auto kStationRigTimeout = 80ms;
#endif
#else
inline constexpr auto kStationRigTimeout = 80ms;
#endif

class StationRig {
public:
    explicit StationRig(camsim::BenchStationOptions options = {},
                        camsim::BenchCameraOptions cameraOptions = benchOptions())
        : camera(cameraOptions), bench(camera, options), profile(dir / "kvmini.INI"),
          station(op, bench.clock(), profile, bench.devices(), bench.loudspeaker()) {
        station.timing = fastTransferTiming();
        station.reconnect = [this]() -> camera::CameraLink* {
            link.reset();
            camera::LinkOptions linkOptions;
            linkOptions.devicePath = camera.devicePath();
            linkOptions.timing = fastLinkTiming();
            // Every connect and every refused command waits out a few time-outs, so the rig
            // keeps the transfer tests' short one; under the sanitizers the bench renders a
            // frame after each picture slower than that, so there it waits as a real port does.
            linkOptions.timing.serialTimeout = kStationRigTimeout;
            link = std::make_unique<camera::CameraLink>("COM1", camera::kLineRS232, linkOptions);
            if (link->connect(115200) != camera::LinkState::Connected)
                return nullptr;
            link->setLinkState(camera::LinkState::Ready);
            ++connects;
            return link.get();
        };
        station.disconnect = [this] {
            link.reset();
            ++disconnects;
        };
        EXPECT_TRUE(station.reconnectCamera());
        connects = 0;
    }
    ~StationRig() { link.reset(); }

    template <class F>
    auto store(F f) {
        return camsim::withTransferStore(camera, f);
    }
    std::vector<std::string> commands(std::string_view prefix) {
        std::vector<std::string> out;
        for (const std::string& line : camera.commandLog())
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line);
        return out;
    }
    // The command log without pings' noise, only the lines starting with one of `codes`.
    std::vector<std::string> sequence(std::initializer_list<std::string_view> codes) {
        std::vector<std::string> out;
        for (const std::string& line : camera.commandLog())
            for (std::string_view code : codes)
                if (line.rfind(code, 0) == 0) {
                    out.push_back(line);
                    break;
                }
        return out;
    }

    ScratchDir dir;
    camsim::BenchCamera camera;
    camsim::BenchStation bench;
    settings::Profile profile;
    RecordingOperator op;
    diagnostics::Station station;
    std::unique_ptr<camera::CameraLink> link;
    int connects = 0;
    int disconnects = 0;
};

// One S-record line (without its line end): type, big-endian address of `addressBytes` bytes,
// data and the one's-complement checksum, in hex.
inline std::string sRecordText(char type, std::uint32_t address, int addressBytes,
                               const Bytes& data) {
    Bytes body{static_cast<std::uint8_t>(addressBytes + data.size() + 1)};
    for (int i = addressBytes - 1; i >= 0; --i)
        body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (auto b : body)
        sum += b;
    body.push_back(static_cast<std::uint8_t>(~sum));
    std::string text = std::string("S") + type;
    char hex[3];
    for (auto b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text;
}

} // namespace kv::testing
