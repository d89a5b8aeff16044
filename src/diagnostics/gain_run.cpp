#include "diagnostics/gain_run.h"

#include "camera/parameter_block.h"
#include "camera/transfers.h"
#include "diagnostics/color_commands.h"
#include "diagnostics/dac_test.h"
#include "diagnostics/downloads.h"
#include "diagnostics/gain_replay.h"
#include "diagnostics/sensor_calibration.h"
#include "diagnostics/station.h"
#include "diagnostics/station_outputs.h"
#include "imaging/process/color_params.h"
#include "imaging/process/gamma_table.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "settings/app_settings.h"

#include <chrono>
#include <cstdio>

namespace kv::diagnostics {

namespace {

using namespace std::chrono_literals;

constexpr long kFrameAddress = 0x10000;
constexpr long kFrameBytes = 983040;
constexpr int kWhiteRelay = kRelayWhitePanel;
constexpr int kBlueRelay = kRelayBluePanel;

template <typename... A>
std::string formatted(const char* fmt, A... args) {
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, args...);
    return buffer;
}

int exposureIndex(const settings::Profile& p, const char* key) {
    const int v = p.getInt("GAIN_PARAMETERS", key, 7);
    return v < 0 || v > 11 ? 0 : v;
}

class GainRun {
public:
    GainRun(Station& s, const GainRunOptions& o) : s_(s), o_(o) {}

    int run();

private:
    // The message goes into the error text, which the command that ran the gain run shows
    // at its end (once: an LED station's operator is not made to close it twice).
    bool fail(const std::string& text) {
        s_.errorText += "\n" + text;
        return false;
    }
    bool pollStatus() {
        for (int i = 0; i < 51; ++i) {
            if (stationCommand(s_, camera::cmd::Status) == status::Ok)
                return true;
            s_.clock.sleep(100ms);
        }
        return false;
    }
    bool expose(int i, int n);
    bool afterExposure();
    bool upload(int i, int n, std::vector<std::uint16_t>& frame);
    bool checkCameraStatus();
    bool saveWorkingFiles(SensorCalibration& cal);
    bool colourSteps(SensorCalibration& cal);
    bool downloads(SensorCalibration& cal);
    int replay(const std::filesystem::path& folder);
    void end();

    Station& s_;
    const GainRunOptions& o_;
    bool led_ = false;
    int passes_ = 0;
    int savedFlash_ = 1;
    int whiteExposure_ = 7;
    int blueExposure_ = 7;
    Bytes parameters_; // the camera's process parameters with this sensor's colour levels
};

bool GainRun::expose(int i, int n) {
    using namespace camera::cmd;
    if (i == 0) {
        stationCommand(s_, Flash, {0});
        return stationCommand(s_, DarkPicture) == status::Ok;
    }
    if (i == n - 1) { // reset
        stationCommand(s_, AcquisitionMode, {led_ ? 2560 : 16896});
        if (led_) {
            stationCommand(s_, Flash, {0});
            stationCommand(s_, Exposure, {0});
        } else {
            stationCommand(s_, Flash, {1});
            s_.clock.sleep(10000ms);
        }
        return stationCommand(s_, TakePicture) == status::Ok;
    }
    const bool blue = i == n - 2;
    if (led_) {
        relayWrite(s_, static_cast<std::uint8_t>(blue ? kBlueRelay : kWhiteRelay));
        s_.clock.sleep(500ms);
        stationCommand(s_, Exposure, {blue ? blueExposure_ : whiteExposure_});
        if (stationCommand(s_, RawEsPicture) != status::Ok)
            return false;
        s_.clock.sleep(blue ? 1250ms : 2000ms);
        pollStatus();
        relayWrite(s_, kRelayIdle);
        s_.clock.sleep(500ms);
        return stationCommand(s_, DarkEsCompensation) == status::Ok;
    }
    if (blue) {
        stationCommand(s_, Flash, {1});
        lightControllerWrite(s_, kLightBlueFilter);
        s_.clock.sleep(6000ms);
    } else if (savedFlash_ != 0 || s_.automaticMode) {
        stationCommand(s_, Flash, {1});
        s_.clock.sleep(6000ms);
    }
    // The calibration picture's parameter: 0, the plain picture of the station's light.
    return stationCommand(s_, CalibrationPicture, {0}) == status::Ok;
}

bool GainRun::afterExposure() {
    s_.clock.sleep(500ms);
    bool off = false;
    for (int tries = 0; tries < 8 && !off; ++tries) {
        off = stationCommand(s_, camera::cmd::Flash, {0}) == status::Ok;
        if (!off) {
            s_.clock.sleep(1000ms);
            if (s_.camera)
                s_.camera->port().purge();
        }
    }
    stationCommand(s_, camera::cmd::AcquisitionMode, {0});
    return off;
}

bool GainRun::upload(int i, int n, std::vector<std::uint16_t>& frame) {
    Bytes picture;
    camera::CameraTransfers transfers = s_.transfers();
    const Status st = transfers.uploadMemoryPlain(
        camera::cmd::ReadDram, kFrameAddress, kFrameBytes, picture,
        [&](long done) { return formatted("Pass %d of %d -- Uploading %ld", i + 1, n, done); },
        s_.op);
    if (st != status::Ok || picture.size() != static_cast<std::size_t>(kFrameBytes))
        return false;
    Bytes ram(process::kRamFileSize);
    std::copy(picture.begin(), picture.end(), ram.begin() + process::kRamPictureOffset);
    frame = process::UnpackMosaic(ram, 6);
    return frame.size() == static_cast<std::size_t>(kRawPixels);
}

// Step 7: the camera must report no error after the exposures.
bool GainRun::checkCameraStatus() {
    const Status st = stationCommand(s_, camera::cmd::Status);
    s_.clock.sleep(500ms);
    if (st != status::Ok || !s_.camera || s_.camera->status().errorStatus != 0)
        return fail("Error status in Camera!");
    return true;
}

// Step 9: the colour levels of this sensor go into the camera's process parameters (with the
// colour block of the settings), which "DOWNLOAD_COLOR" sends back after the verdict.
bool GainRun::colourSteps(SensorCalibration& cal) {
    s_.op.setProgressText("Calculating color conversion corrections");
    const std::array<long, 4> levels = cal.colourCorrections();
    s_.op.setProgressText("Fetching Process Parameters");
    if (!s_.camera || s_.transfers().readParameterRecord(parameters_) != status::Ok ||
        parameters_.size() < camera::kParamColorEnd) {
        parameters_.clear();
        return fail("Comm error fetching parameters!");
    }
    placeColorBlock(parameters_, process::ConvertColorParams(process::LoadColorParams(s_.profile)),
                    levels);
    std::array<long, 4> written{};
    for (std::size_t i = 0; i < 4; ++i)
        written[i] = camera::paramWord(parameters_, camera::kParamLevelsOffset + 2 * i);
    cal.colourReport(written);
    return true;
}

// The working files after the evaluation; the raw gain image and blemish list go where the
// station's readers look for this camera's files ("GAIN_FILE", "BLEMISH_FILE").
bool GainRun::saveWorkingFiles(SensorCalibration& cal) {
    std::filesystem::path gain, blemish;
    if (s_.camera && s_.profile.getInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", 0) >= 2) {
        settings::AppSettings files(s_.profile);
        const auto number = static_cast<std::uint32_t>(s_.camera->status().serialNumber);
        gain = files.gainFileName(number, false, false).value_or(gain);
        blemish = files.blemishFileName(number, false).value_or(blemish);
    }
    return cal.saveWorkingFiles(gain, blemish);
}

// Step 11, in this order: gamma table, blemish list, gain image (read back from the camera's
// flash and compared), process parameters; then the camera must answer again.
bool GainRun::downloads(SensorCalibration& cal) {
    const auto& p = s_.profile;
    const auto wanted = [&](const char* key) { return p.getInt("DIAGNOSTICS", key, 1) == 1; };
    if (wanted("DOWNLOAD_GAMMA")) {
        s_.op.setProgressText("Downloading Gamma Table");
        const Bytes table = process::GammaTableBytes(process::BuiltInGammaTable());
        if (downloadBlock(s_, table, 0, kDownloadGamma) != status::Ok)
            return fail("Error during GAMMA download!");
    }
    if (wanted("DOWNLOAD_BLEMISH")) {
        s_.op.setProgressText("Downloading Blemish List");
        if (downloadBlock(s_, cal.encodedBlemishList(), 0, kDownloadBlemish) != status::Ok)
            return fail("Error during BLEMISH download!");
    }
    if (wanted("DOWNLOAD_GAIN")) {
        s_.op.setProgressText("Downloading Gain Data");
        const Bytes sent(cal.encodedGains().begin(), cal.encodedGains().end());
        if (downloadBlock(s_, sent, 0, kDownloadGain) != status::Ok)
            return fail("Error during GAIN download!");
        Bytes back;
        const Status st = s_.transfers().uploadMemoryPlain(
            camera::cmd::ReadFram, kGainFlashAddress, static_cast<long>(sent.size()), back,
            [](long done) { return formatted("Gain Read Back -- Uploading %ld", done); }, s_.op);
        if (st != status::Ok || back.size() != sent.size())
            return fail("Error during Gain File upload!");
        if (back != sent)
            return fail("Error during GAIN download! Host Gain Corruption.");
    }
    if (wanted("DOWNLOAD_COLOR")) {
        s_.op.setProgressText("Downloading Process Parameters");
        if (parameters_.empty() || s_.transfers().writeParameterRecord(parameters_) != status::Ok)
            return fail("Error during PARAMETERS download!");
    }
    pollStatus();
    if (stationCommand(s_, camera::cmd::Status) != status::Ok)
        return fail("Error during GAIN download!");
    return true;
}

// The working files instead of exposures. With a camera the DAC setting measured in the DAC
// file goes down first and the results after the verdict.
int GainRun::replay(const std::filesystem::path& folder) {
    GainReplayOptions r;
    r.folder = folder;
    r.programRevision = o_.programRevision;
    r.automaticMode = s_.automaticMode;
    r.showFailures = false; // the command that ran the gain run shows its error text
    camera::CameraLink* link = s_.connectedCamera();
    if (link) {
        stationCommand(s_, camera::cmd::PingMode, {0});
        savedFlash_ = link->status().flash;
        r.cameraName = "KVMini";
        r.firmwareRevision = std::string(link->status().firmwareText());
        r.askContinue = true;
        r.afterEvaluation = [this](SensorCalibration& cal) {
            if (!saveWorkingFiles(cal))
                s_.op.message("FileError!");
            return colourSteps(cal);
        };
        r.afterVerdict = [this](SensorCalibration& cal) { return downloads(cal); };
        if (s_.profile.getInt("DIAGNOSTICS", "DOWNLOAD_DAC", 1) == 1) {
            Bytes line;
            if (!platform::readWholeFile(dacFileName(folder), line, 1u << 20)) {
                fail("Can't Read Gain Files! d file not found.");
                end();
                return kGainRunFailed;
            }
            const int dac = measureDac(line);
            s_.op.setProgressText("Downloading DAC Setting");
            if (dac < 0) {
                fail("DAC Setting Error!");
                end();
                return kGainRunFailed;
            }
            if (downloadDacSetting(s_, dac) != 0) {
                fail("Error during DAC setting download!");
                end();
                return kGainRunFailed;
            }
        }
    }
    if (link && !checkCameraStatus()) {
        end();
        return kGainRunFailed;
    }
    const GainReplayResult result = replayGainRun(s_.op, s_.profile, r);
    s_.errorText += result.errorText;
    s_.stopped = s_.stopped || result.cancelled;
    if (link)
        end();
    return result.status;
}

void GainRun::end() {
    using namespace camera::cmd;
    if (s_.camera) {
        stationCommand(s_, Flash, {savedFlash_});
        stationCommand(s_, Quality, {0});
        stationCommand(s_, AutoExposure, {1});
    }
    if (led_) {
        relayWrite(s_, kRelayOff);
        s_.disconnectCamera(); // the board comes out
    } else {
        lightControllerWrite(s_, kLightEndOfTest);
        relayWrite(s_, kRelayOff);
    }
    s_.op.endProgress();
}

int GainRun::run() {
    s_.stopped = false;
    if (o_.passes) {
        passes_ = *o_.passes;
    } else if (s_.automaticMode) {
        passes_ = 4;
    } else {
        const auto answer =
            askNumber(s_.op, "Number of passes:\n(enter 0 to get data from files)", 4);
        if (!answer)
            return kGainRunFailed;
        passes_ = static_cast<int>(std::clamp<long>(*answer, 0, 100));
    }
    led_ = s_.ledStation();
    if (led_ && s_.flashStation())
        return kGainRunFailed; // both kinds set: nothing is touched
    const std::filesystem::path folder = settings::AppSettings(s_.profile).gainBlemishFolder();
    if (passes_ == 0)
        return replay(folder);
    if (led_) {
        relayWrite(s_, kRelayIdle);
        s_.clock.sleep(500ms);
    }
    if (!s_.connectedCamera()) {
        fail("Camera Not Connected!");
        end();
        return kGainRunFailed;
    }
    s_.camera->setPingMode(0);
    savedFlash_ = s_.camera->status().flash;
    whiteExposure_ = exposureIndex(s_.profile, "GAIN_WHITE_EXPOSURE");
    blueExposure_ = exposureIndex(s_.profile, "GAIN_BLUE_EXPOSURE");
    const int result = [&] {
        if (static_cast<std::uint32_t>(s_.camera->status().serialNumber) == 0xFFFFFFFFu ||
            s_.automaticMode)
            setSerialNumber(s_);
        if (!s_.camera ||
            static_cast<std::uint32_t>(s_.camera->status().serialNumber) == 0xFFFFFFFFu)
            return kGainRunFailed;
        if (led_)
            stationCommand(s_, camera::cmd::Flash, {0});
        SensorCalibration cal(readBlemishParams(s_.profile),
                              s_.profile.getInt("DIAGNOSTICS", "GAIN_DIAGNOSTIC_FILES", 0));
        const std::string header =
            sensorReportHeader("KVMini", o_.programRevision,
                               std::string(s_.camera->status().firmwareText()), std::time(nullptr));
        const std::filesystem::path reportPath = folder / "r.txt";
        if (!platform::writeFileAtomically(reportPath, header))
            return fail("Invalid File Name: " + reportPath.string() + "\n"), kGainRunFailed;
        if (s_.profile.getInt("DIAGNOSTICS", "DOWNLOAD_DAC", 1) == 1) {
            DacTestOptions dac;
            dac.askPasses = false;
            dac.gainFolder = folder;
            int setting = 0;
            dac.runDacSetting = &setting;
            const auto value = runDacTest(s_, dac);
            if (!value)
                return fail(formatted("DAC Setting Failure. Dac is %d", setting)), kGainRunFailed;
            cal.setDacSetting(*value);
        }
        if (stationCommand(s_, camera::cmd::ResetError) != status::Ok)
            return fail("Error resetting status in Camera!"), kGainRunFailed;
        // The LED exposures are timed by "E0": the DAC test leaves automatic exposure on.
        if (led_)
            stationCommand(s_, camera::cmd::AutoExposure, {0});

        const int n = passes_ + 3;
        if (!led_)
            lightControllerWrite(s_, kLightDark);
        else {
            relayWrite(s_, kRelayIdle);
            s_.clock.sleep(500ms);
        }
        s_.op.beginProgress("Creating Gain Data", kFrameBytes);
        std::vector<std::uint16_t> frame;
        for (int i = 0; i < n; ++i) {
            expose(i, n);
            afterExposure();
            if (!upload(i, n, frame)) {
                if (!s_.stopped)
                    fail("Error during Gain File upload!");
                return kGainRunFailed;
            }
            if (i == 0) {
                cal.storeDark(frame);
            } else if (i == n - 1) {
                cal.storeReset(frame);
            } else if (i == n - 2) {
                cal.checkBlue(frame);
            } else {
                const ExposureLevel level = cal.accumulateWhite(frame);
                if (level != ExposureLevel::Accepted &&
                    !s_.op.confirm(level == ExposureLevel::TooDark
                                       ? "Incorrect White Level Exposure - Not enough light!"
                                       : "Incorrect White Level Exposure - Too much light!"))
                    return s_.stopped = true, kGainRunFailed;
            }
        }
        if (!checkCameraStatus())
            return kGainRunFailed;

        cal.setWorkingFolder(folder);
        runCalibrationSteps(cal, s_.op);
        if (!saveWorkingFiles(cal))
            s_.op.message("FileError!");
        const bool coloured = colourSteps(cal);
        if (!platform::writeFileAtomically(reportPath, header + cal.report()) ||
            !platform::writeFileAtomically(folder / "r.json", sensorReportJson(cal)))
            return fail("Invalid File Name: " + reportPath.string() + "\n"), kGainRunFailed;
        if (!coloured)
            return kGainRunFailed;

        if (cal.passed() == 0) {
            const std::string text = "SENSOR/BOARD FAILURE!\n" + cal.operatorMessage();
            if (s_.automaticMode)
                return fail(text), kGainRunFailed;
            if (!s_.op.confirm(text + "\nContinue?"))
                return s_.stopped = true, kGainRunFailed;
        } else if (!s_.automaticMode && !s_.op.confirm("Sensor Passed\nContinue?")) {
            return s_.stopped = true, kGainRunFailed;
        }
        return downloads(cal) ? 0 : kGainRunFailed;
    }();
    end();
    return result;
}

} // namespace

int createGainRun(Station& s, const GainRunOptions& options) {
    return GainRun(s, options).run();
}

int createGainCommand(Station& s, const GainRunOptions& options) {
    const bool hadCamera = s.camera != nullptr;
    stationCommand(s, camera::cmd::PingMode, {0});
    s.errorText.clear();
    const int result = createGainRun(s, options);
    if (!s.errorText.empty())
        s.op.message(s.errorText.substr(1));
    s.errorText.clear();
    // An LED station let go of the camera at the end of the run.
    if ((hadCamera || s.ledStation()) && s.connectedCamera())
        stationCommand(s, camera::cmd::PingMode, {1});
    return result;
}

int runLedStation(Station& s, const GainRunOptions& options) {
    if (s.profile.getInt("DIAGNOSTICS", "LED_STATION", 0) != 1) {
        s.op.message("Missing LED_STATION=1 in *.INI file.");
        return 0;
    }
    const bool wasAutomatic = s.automaticMode;
    int boards = 0;
    for (;;) {
        s.errorText.clear();
        s.automaticMode = true;
        int result = 0;
        // Every board gets the station's program first; one that does not take it fails
        // without a gain run (the download showed its own box).
        if (!s.profile.getString("DIAGNOSTICS", "DOWNLOAD_PROGRAM").empty() &&
            !downloadFirmware(s)) {
            s.errorText.clear();
            result = kGainRunFailed;
        } else {
            result = createGainRun(s, options);
        }
        ++boards;
        bool next = false;
        if (result != 0 || !s.errorText.empty() || s.stopped) {
            if (!s.errorText.empty())
                s.op.message(s.errorText.substr(1));
            s.op.message("Board Failed!");
            next = s.op.confirm("Load next board.");
        } else {
            next = s.op.confirm("Board PASSED\n\nLoad next board.");
        }
        // The board is taken out: its link goes (the gain run let go of it already).
        s.disconnectCamera();
        if (!next)
            break;
    }
    s.errorText.clear();
    s.automaticMode = wasAutomatic;
    return boards;
}

} // namespace kv::diagnostics
