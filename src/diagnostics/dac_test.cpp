#include "diagnostics/dac_test.h"

#include "camera/transfers.h"
#include "diagnostics/downloads.h"
#include "diagnostics/station.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"

#include <array>
#include <chrono>
#include <cstdio>

namespace kv::diagnostics {
namespace {

using namespace std::chrono_literals;
namespace cmd = camera::cmd;

constexpr std::chrono::milliseconds kPictureWait{3000};
constexpr int kDacShortestExposure = 0;
constexpr int kRestoredAutoExposure = 1;
constexpr int kRestoredExposure = 11;

template <class... A>
std::string formatted(const char* fmt, A... args) {
    char text[200];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

bool checkExposure(Station& s, int autoExposure, int exposure) {
    if (s.camera->requestStatus() == status::Ok &&
        s.camera->status().autoExposure == autoExposure &&
        s.camera->status().exposureTime == exposure)
        return true;
    s.op.message("Invalid autoexposure/exposure for DAC");
    return false;
}

// One iteration at `dac`: the measured value, or nothing (box shown).
std::optional<int> dacIteration(Station& s, const DacTestOptions& o, int dac, int iteration,
                                int passes, Bytes& line) {
    if (downloadDacSetting(s, dac) != 0) {
        s.op.message("DAC download Failed!");
        return std::nullopt;
    }
    if (o.runDacSetting)
        *o.runDacSetting = dac;
    const int savedAuto = s.camera->status().autoExposure;
    const int savedExposure = s.camera->status().exposureTime;
    stationCommand(s, cmd::Flash, {0});
    stationCommand(s, cmd::AutoExposure, {0});
    stationCommand(s, cmd::Exposure, {kDacShortestExposure});
    if (!checkExposure(s, 0, kDacShortestExposure))
        return std::nullopt;
    for (int p = 0; p < passes; ++p) {
        if (stationCommand(s, cmd::TakePicture) != status::Ok) {
            s.op.message("Invalid autoexposure/exposure for DAC");
            return std::nullopt;
        }
        s.clock.sleep(kPictureWait);
    }
    stationCommand(s, cmd::AutoExposure, {savedAuto});
    stationCommand(s, cmd::Exposure, {savedExposure});
    const std::string ending =
        o.testCount ? formatted(", DAC:%d, Test Cnt:%d, Iteration:%d", dac, *o.testCount, iteration)
                    : formatted(", DAC:%d, Iteration:%d", dac, iteration);
    camera::CameraTransfers transfers = s.transfers();
    const Status st = transfers.uploadMemoryPlain(
        cmd::ReadDram, kDacLineAddress, static_cast<long>(kDacLineBytes), line,
        [&](long done) { return formatted("DAC Image --Uploading %ld", done) + ending; }, s.op);
    if (st != status::Ok || line.size() != kDacLineBytes) {
        s.op.message("Error uploading image data!");
        return std::nullopt;
    }
    return measureDac(line);
}

} // namespace

int measureDac(ByteSpan line) {
    if (line.size() != kDacLineBytes)
        return -1;
    // The line pair as line 0 of a frame memory, read with the frame layout.
    Bytes ram(process::kRamFileSize);
    std::copy(line.begin(), line.end(), ram.begin() + process::kRamPictureOffset);
    std::array<int, 1024> histogram{};
    for (int y = 0; y < process::kCellRows; ++y) {
        const process::CellSamples c = process::ReadCell(ram, 0, y);
        for (std::uint16_t v : {c.b, c.g, c.t, c.r})
            ++histogram[v & 1023];
    }
    int count = 0;
    int level = 1023;
    for (int v = 0; v < 1024; ++v) {
        count += histogram[static_cast<std::size_t>(v)];
        if (count >= 16) {
            level = v;
            break;
        }
    }
    const int measured = (level - 8) / 16 + 8;
    return measured < 8 ? 8 : measured > 30 ? 30 : measured;
}

std::filesystem::path dacFileName(const std::filesystem::path& gainFolder) {
    return gainFolder / "d.tif";
}

std::optional<int> runDacTest(Station& s, const DacTestOptions& o) {
    if (!s.connectedCamera()) {
        s.op.message("Camera Not Connected!");
        return std::nullopt;
    }
    const std::optional<long> passesAnswer = o.askPasses
                                                 ? askNumber(s.op, "Number of passes:", o.passes)
                                                 : std::optional<long>(o.passes);
    if (!passesAnswer)
        return std::nullopt;
    const int passes = static_cast<int>(std::clamp<long>(*passesAnswer, 1, 100));
    s.op.beginProgress("Retrieving DAC Data", 0);
    if (o.report)
        o.report("Start DAC Test.\n");
    stationCommand(s, cmd::Quality, {3});
    stationCommand(s, cmd::Sound, {0});
    std::optional<int> result;
    int dac = o.initialDac;
    Bytes line;
    for (int iteration = 1; iteration <= 2; ++iteration) {
        const std::optional<int> measured = dacIteration(s, o, dac, iteration, passes, line);
        if (!measured)
            break;
        if (iteration == 1) {
            if (!o.gainFolder.empty() &&
                !platform::writeFileAtomically(dacFileName(o.gainFolder), line))
                s.op.message("FileError!");
            dac = *measured - 1;
            continue;
        }
        if (*measured > 12) {
            s.op.message(formatted("Invalid DAC Setting. Low Value of %d, Should be %d", dac,
                                   dac + *measured - 8));
        } else if (*measured < 8) {
            s.op.message(formatted("Invalid DAC Setting. High Value of %d", dac));
        } else {
            result = dac;
        }
    }
    stationCommand(s, cmd::AutoExposure, {kRestoredAutoExposure});
    stationCommand(s, cmd::Exposure, {kRestoredExposure});
    if (!checkExposure(s, kRestoredAutoExposure, kRestoredExposure))
        result.reset();
    s.op.endProgress();
    return result;
}

bool dacTroubleshooting(Station& s, const std::filesystem::path& reportFile) {
    const int runs = s.profile.getInt("BLEMISH_PARAMS", "BLEM_TEST_ITERATE", 20);
    std::string report;
    DacTestOptions options;
    options.report = [&](std::string_view text) { report += text; };
    options.gainFolder = reportFile.parent_path();
    const std::optional<long> passes = askNumber(s.op, "Number of passes:", options.passes);
    if (!passes)
        return false;
    options.passes = static_cast<int>(*passes);
    options.askPasses = false;
    std::optional<int> previous;
    bool finished = true;
    for (int run = 1; run <= runs; ++run) {
        options.testCount = run;
        const std::optional<int> value = runDacTest(s, options);
        if (!value) {
            if (!s.op.confirm("DAC processing failure. \nProceed?\n")) {
                finished = false;
                break;
            }
            continue;
        }
        if (previous && *previous != *value)
            report += formatted("Variation in DAC! Prev: %d Curr: %d\n", *previous, *value);
        previous = value;
    }
    // The report grows run by run; it is replaced whole so a failed write keeps the old one.
    Bytes old;
    if (std::filesystem::exists(reportFile))
        platform::readWholeFile(reportFile, old, 64u << 20);
    std::string all(old.begin(), old.end());
    all += report;
    if (!platform::writeFileAtomically(reportFile, all))
        s.op.message("FileError!");
    return finished;
}

std::optional<int> setDac(Station& s, std::optional<long> value) {
    if (!value)
        value = askNumber(s.op, "DAC value:", kDefaultDac);
    if (!value)
        return std::nullopt;
    const int dac = clampDac(*value);
    if (downloadDacSetting(s, dac) != 0) {
        s.op.message("Error: DAV value retrieved not equal to set value!");
        return std::nullopt;
    }
    return dac;
}

} // namespace kv::diagnostics
