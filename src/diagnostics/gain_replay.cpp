#include "diagnostics/gain_replay.h"

#include "base/operator.h"
#include "imaging/process/process_commands.h"
#include "platform/atomic_file.h"
#include "settings/profile.h"

#include <cstdio>

namespace kv::diagnostics {

namespace {

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                out += buffer;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

std::string number(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.3f", v);
    return buffer;
}

std::string classJson(const ClassCounts& c) {
    return "{\"detected\": " + std::to_string(c.detected) +
           ", \"included\": " + std::to_string(c.included) +
           ", \"dead\": " + std::to_string(c.dead) + ", \"hot\": " + std::to_string(c.hot) +
           ", \"excess\": " + std::to_string(c.excess) + "}";
}

} // namespace

std::string sensorReportJson(const SensorCalibration& cal) {
    std::string j = "{\n";
    j += "  \"passed\": " + std::string(cal.passed() == 1 ? "true" : "false") + ",\n";
    j += "  \"operatorMessage\": " + jsonString(cal.operatorMessage()) + ",\n";
    j += "  \"failedChecks\": [";
    for (std::size_t i = 0; i < cal.failedChecks().size(); ++i)
        j += (i ? ", " : "") + jsonString(cal.failedChecks()[i]);
    j += "],\n";
    j += "  \"classes\": {\n";
    j += "    \"rows\": " + classJson(cal.rowCounts()) + ",\n";
    j += "    \"columns\": " + classJson(cal.columnCounts()) + ",\n";
    j += "    \"isolated\": " + classJson(cal.isolatedCounts()) + ",\n";
    j += "    \"clusters\": " + classJson(cal.clusterCounts()) + ",\n";
    j += "    \"ceiling\": " + classJson(cal.ceilingCounts()) + ",\n";
    j += "    \"blobs\": " + classJson(cal.blobCounts()) + "\n  },\n";
    j += "  \"ceilingPairs\": " + std::to_string(cal.ceilingPairs()) + ",\n";
    j += "  \"gains\": {\"excessive\": " + std::to_string(cal.excessiveGainList().total) +
         ", \"encodeFailures\": " + std::to_string(cal.encodeFailureList().total) +
         ", \"outOfRange\": " + std::to_string(cal.outOfRangeList().total) +
         ", \"included\": " + std::to_string(cal.correctionsWritten()) +
         ", \"firstExcluded\": " + std::to_string(cal.firstExcludedGain()) + "},\n";
    j += "  \"statistics\": {\"whiteMean\": " + number(cal.whiteMean()) +
         ", \"whiteDeviation\": " + number(cal.whiteDeviation()) +
         ", \"blueMean\": " + number(cal.blueMean()) +
         ", \"darkAverage\": " + number(cal.darkAverage()) +
         ", \"darkDeviation\": " + number(cal.darkDeviation()) +
         ", \"scaleFactor\": " + number(cal.scaleFactor()) +
         ", \"maximumGain\": " + number(cal.maximumGain()) +
         ", \"darkBlemishes\": " + std::to_string(cal.darkBlemishCount()) +
         ", \"colourDye\": " + std::to_string(cal.colourDyePixels()) + "},\n";
    const auto& levels = cal.colourLevels();
    j += "  \"colourLevels\": [" + std::to_string(levels[0]) + ", " + std::to_string(levels[1]) +
         ", " + std::to_string(levels[2]) + ", " + std::to_string(levels[3]) + "],\n";
    const auto& r = cal.resetStats();
    j += "  \"reset\": {\"average\": " + std::to_string(r.average) +
         ", \"deviation\": " + std::to_string(r.deviation) +
         ", \"lowCount\": " + std::to_string(r.lowCount) +
         ", \"highCount\": " + std::to_string(r.highCount) +
         ", \"blemishes\": " + std::to_string(r.blemishes) +
         ", \"highValue\": " + std::to_string(r.highValue) +
         ", \"ceiling\": " + std::to_string(r.ceiling) + "}\n";
    return j + "}\n";
}

void runCalibrationSteps(SensorCalibration& cal, Operator& op) {
    op.beginProgress("Creating Gain Data", 0);
    struct Step {
        const char* text;
        void (*run)(SensorCalibration&);
    };
    static constexpr Step steps[] = {
        {"Creating Gain Data", [](SensorCalibration& c) { c.createGains(); }},
        {"Calculating Blemish Map", [](SensorCalibration& c) { c.buildBlemishMap(); }},
        {"Calculating Dark Blemish Map",
         [](SensorCalibration& c) {
             c.darkBlemishes();
             c.resetStatistics();
             c.colourImageBlemishes();
         }},
        {"Analyzing Blemish Map", [](SensorCalibration& c) { c.analyseBlemishMap(); }},
        {"Correcting Gains",
         [](SensorCalibration& c) {
             c.correctGains(0);
             c.checkRowAverages();
             c.correctGains(1);
         }},
        {"Encoding Gains", [](SensorCalibration& c) { c.encodeGains(); }},
        {"Encoding Blemish List", [](SensorCalibration& c) { c.encodeBlemishList(); }},
        {"Evaluating Blemishes", [](SensorCalibration& c) { c.evaluate(); }},
    };
    for (const Step& step : steps) {
        op.setProgressText(step.text);
        step.run(cal);
    }
    op.endProgress();
}

GainReplayResult replayGainRun(Operator& op, const settings::Profile& profile,
                               const GainReplayOptions& o) {
    GainReplayResult result;
    auto failure = [&](const std::string& text) {
        if (o.showFailures)
            op.message(text);
        result.errorText += "\n" + text;
        return result;
    };
    const std::filesystem::path reportPath = o.folder / "r.txt";
    const std::time_t now = o.now ? o.now : std::time(nullptr);
    const std::string header =
        sensorReportHeader(o.cameraName, o.programRevision, o.firmwareRevision, now);
    // The report is opened before anything is read: a folder it cannot go into ends the run.
    if (!platform::writeFileAtomically(reportPath, header))
        return failure("Invalid File Name: " + reportPath.string() + "\n");

    SensorCalibration cal(readBlemishParams(profile),
                          profile.getInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", 0));
    std::vector<std::uint16_t> frame;
    auto read = [&](const char* name) {
        return std::filesystem::exists(o.folder / name) &&
               process::ReadMono16Input(o.folder / name, frame, nullptr) &&
               frame.size() == static_cast<std::size_t>(kRawPixels);
    };
    if (!read("a.tif"))
        return failure("Can't Read Gain Files! a.tif file not found.");
    cal.accumulateWhite(frame);
    if (!read("z.tif"))
        return failure("Can't Read Gain Files! z.tif file not found.");
    cal.storeDark(frame);
    if (read("r.tif"))
        cal.storeReset(frame);
    else
        failure("Can't Read Gain Files! r.tif file not found.");
    if (!read("c.tif"))
        return failure("Can't Read Gain Files! c.tif file not found.");
    cal.checkBlue(frame);

    runCalibrationSteps(cal, op);
    result.passed = cal.passed();
    const bool continued = !o.afterEvaluation || o.afterEvaluation(cal);

    const bool written = platform::writeFileAtomically(reportPath, header + cal.report()) &&
                         platform::writeFileAtomically(o.folder / "r.json", sensorReportJson(cal));
    if (!written)
        return failure("Invalid File Name: " + reportPath.string() + "\n");
    if (!continued)
        return result;

    if (cal.passed() == 0) {
        const std::string text = "SENSOR/BOARD FAILURE!\n" + cal.operatorMessage();
        if (o.automaticMode) {
            failure(text);
            return result;
        }
        if (!op.confirm(text + "\nContinue?")) {
            result.errorText += "\n" + text;
            result.cancelled = true;
            return result;
        }
    } else if (!o.automaticMode) {
        if (!o.askContinue)
            op.message("Sensor Passed");
        else if (!op.confirm("Sensor Passed\nContinue?")) {
            result.cancelled = true;
            return result;
        }
    }
    if (o.afterVerdict && !o.afterVerdict(cal))
        return result;
    result.status = 0;
    return result;
}

} // namespace kv::diagnostics
