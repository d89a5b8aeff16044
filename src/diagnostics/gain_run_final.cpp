// "Final Test": the gain run (or colour neutralisation), then a picture with a sound note
// taken while the PC plays the test sound; the note's recording must pass the sound test.
#include "camera/transfers.h"
#include "diagnostics/color_commands.h"
#include "diagnostics/gain_run.h"
#include "diagnostics/sound_test.h"
#include "diagnostics/station.h"
#include "library/store_retrieved.h"
#include "settings/app_settings.h"

#include <chrono>
#include <ctime>

namespace kv::diagnostics {

namespace {

using namespace std::chrono_literals;

// The camera records its note while it takes the picture; the wait covers the note.
constexpr auto kRecordingWait = 10000ms;

// The newest picture of the camera's list (the highest item number), or nullptr.
std::shared_ptr<camera::TransferItem> newestPicture(const camera::PictureList& list) {
    std::shared_ptr<camera::TransferItem> newest;
    for (const auto& record : list.records)
        if (record->pictureSize > 0 && (!newest || record->pictureNumber > newest->pictureNumber))
            newest = record;
    return newest;
}

} // namespace

FinalPictureResult finalPictureAndSound(Station& s, const std::filesystem::path& folder) {
    using namespace camera::cmd;
    FinalPictureResult out;
    camera::CameraLink* link = s.connectedCamera();
    if (!link)
        return out;
    stationCommand(s, Sound, {1});
    playTestSound(s);
    if (stationCommand(s, TakePicture) != status::Ok)
        return out;
    s.clock.sleep(kRecordingWait);

    camera::CameraTransfers transfers = s.transfers();
    const camera::PictureList list = transfers.listPictures();
    transfers.restoreFlash(list);
    const std::shared_ptr<camera::TransferItem> item = newestPicture(list);
    if (!item || transfers.fetchItem(*item) != status::Ok)
        return out;
    library::StoreContext context;
    context.base = folder / "final";
    context.jpegCamera = link->hasFileSystem() || link->variantB();
    context.hasNewFirmware = link->hasNewFirmware();
    context.cameraId = "KVMini";
    context.manufacturingWord = static_cast<std::uint32_t>(link->status().serialNumber);
    context.retrievalTime = static_cast<std::uint32_t>(std::time(nullptr));
    const library::StoredItem stored = library::storeRetrievedItem(*item, context);
    if (stored.result != status::Ok || stored.sound.empty())
        return out;
    out.picture = stored.picture;
    out.sound = stored.sound;
    out.retrieved = true;

    SpectrumAnalyzer analyzer;
    out.soundPassed = runSoundTest(stored.sound, readSoundParams(s.profile), analyzer).pass;
    return out;
}

int runFinalTest(Station& s, const GainRunOptions& options) {
    using namespace camera::cmd;
    const bool hadCamera = s.camera != nullptr;
    s.op.setStatusText("Final Test in progress");
    s.op.pumpMessages();
    stationCommand(s, PingMode, {0});
    s.errorText.clear();
    int result = kGainRunFailed;
    if (s.profile.getInt("DIAGNOSTICS", "FINAL_TEST_SELECTION", 0) == 1)
        result = neutralizeCameraColor(s) ? 0 : kGainRunFailed;
    else
        result = createGainRun(s, options);
    if (result == 0 && s.errorText.empty() && !s.stopped) {
        const FinalPictureResult final =
            finalPictureAndSound(s, settings::AppSettings(s.profile).gainBlemishFolder());
        if (!final.retrieved) {
            s.errorText += "\nFinal Picture Retrieve Failed!";
            result = kGainRunFailed;
        } else if (!final.soundPassed) {
            s.errorText += "\nSound Test FAILED!";
            result = kGainRunFailed;
        }
    }
    // The camera goes back to its ordinary settings however the test ended (an LED station's
    // run let go of it: it is connected again for that).
    if ((hadCamera || s.ledStation()) && s.connectedCamera()) {
        stationCommand(s, Flash, {1});
        stationCommand(s, Quality, {0});
        stationCommand(s, AutoExposure, {1});
        stationCommand(s, Sound, {0});
    }
    stationCommand(s, PingMode, {1});
    if (!s.errorText.empty())
        s.op.message(s.errorText.substr(1));
    s.errorText.clear();
    s.op.setStatusText("");
    return result;
}

} // namespace kv::diagnostics
