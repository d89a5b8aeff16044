#include "diagnostics/picture_commands.h"

#include "camera/transfers.h"
#include "diagnostics/station.h"
#include "diagnostics/station_outputs.h"
#include "imaging/process/ram_file.h"
#include "imaging/tiff_forms.h"

#include <chrono>

namespace kv::diagnostics {
namespace {

using namespace std::chrono_literals;
namespace cmd = camera::cmd;

constexpr int kUncompressed = 3;
constexpr int kCompensatedMode = 1537;
constexpr int kRawMonoMode = 641;

bool needCamera(Station& s) {
    if (s.connectedCamera())
        return true;
    s.op.message("Camera Not Connected!");
    return false;
}

int cameraQuality(const Station& s) {
    const camera::CameraStatus& st = s.camera->status();
    return st.variantB() || st.hasNewFirmwareA() ? st.quality : st.legacyQuality;
}

bool all(std::initializer_list<Status> results) {
    for (Status st : results)
        if (st != status::Ok)
            return false;
    return true;
}

} // namespace

bool takeUncompressed(Station& s) {
    if (!needCamera(s))
        return false;
    const int saved = cameraQuality(s);
    const Status q = stationCommand(s, cmd::Quality, {kUncompressed});
    const Status p = q == status::Ok ? stationCommand(s, cmd::TakePicture) : q;
    s.clock.sleep(6000ms);
    if (stationCommand(s, cmd::Quality, {saved}) != status::Ok || p != status::Ok)
        s.reconnectCamera();
    return p == status::Ok;
}

std::optional<Bytes> uploadRamPicture(Station& s) {
    Bytes picture;
    camera::CameraTransfers transfers = s.transfers();
    if (transfers.uploadMemory(cmd::ReadDram, static_cast<long>(process::kRamPictureOffset),
                               static_cast<long>(process::kRamPictureBytes), picture,
                               "Uploading DRAM", s.op) != status::Ok ||
        picture.size() != process::kRamPictureBytes) {
        s.op.message("Error uploading image data!");
        return std::nullopt;
    }
    Bytes ram(process::kRamFileSize);
    std::copy(picture.begin(), picture.end(), ram.begin() + process::kRamPictureOffset);
    return ram;
}

bool takeUncompressedCompensated(Station& s) {
    if (!needCamera(s))
        return false;
    bool ok = false;
    // The compensated-picture query: a camera that can do it answers "P7" with OK.
    if (stationCommand(s, cmd::CompensatedPicture) == status::Ok) {
        s.clock.sleep(6000ms);
        ok = true;
    } else {
        const int saved = cameraQuality(s);
        const Status q1 = stationCommand(s, cmd::Quality, {kUncompressed});
        const Status p1 = stationCommand(s, cmd::TakePicture);
        s.clock.sleep(4000ms);
        const Status z1 = stationCommand(s, cmd::AcquisitionMode, {kCompensatedMode});
        const Status q2 = stationCommand(s, cmd::Quality, {0});
        const Status p2 = stationCommand(s, cmd::TakePicture);
        s.clock.sleep(5000ms);
        const Status z2 = stationCommand(s, cmd::AcquisitionMode, {0});
        const Status q3 = stationCommand(s, cmd::Quality, {saved});
        ok = all({q1, p1, z1, q2, p2, z2, q3});
    }
    if (!ok)
        s.errorText += "Unable to take an uncompressed compensated picture!";
    return ok;
}

bool acquireAndSaveMono(Station& s, std::optional<std::string> file) {
    if (!needCamera(s))
        return false;
    if (!file || file->empty())
        file = s.op.chooseFile("Save Mono Picture", "TIFF Files (*.tif)", true);
    if (!file)
        return false;
    const Status z = stationCommand(s, cmd::AcquisitionMode, {kRawMonoMode});
    const Status q = stationCommand(s, cmd::Quality, {kUncompressed});
    const Status p = stationCommand(s, cmd::TakePicture);
    s.clock.sleep(2000ms);
    stationCommand(s, cmd::AcquisitionMode, {0});
    if (!all({z, q, p})) {
        s.op.message("Unable to take a picture!");
        return false;
    }
    const std::optional<Bytes> ram = uploadRamPicture(s);
    if (!ram)
        return false;
    const std::vector<std::uint16_t> mosaic = process::UnpackMosaic(*ram, 6);
    if (imaging::WriteMono16Tiff(*file, process::kMosaicWidth, process::kMosaicHeight,
                                 mosaic.data()) != status::Ok) {
        s.op.message("FileError!");
        return false;
    }
    return true;
}

bool toggleContinuousTakePicture(Station& s) {
    const bool on = !continuousTakePictureChecked(s);
    s.profile.writeString("DIAGNOSTICS", "CONTINUOUS_TAKE_PICTURE", on ? "1" : "0");
    return on;
}

bool continuousTakePictureChecked(const Station& s) {
    return s.profile.getString("DIAGNOSTICS", "CONTINUOUS_TAKE_PICTURE").starts_with("1");
}

bool homeShutter(Station& s) {
    if (!needCamera(s))
        return false;
    relayWrite(s, kRelayIdle);
    const Status st = stationCommand(s, cmd::ShutterHome);
    s.clock.sleep(10000ms);
    relayWrite(s, kRelayOff);
    if (st != status::Ok)
        s.reconnectCamera();
    return st == status::Ok;
}

} // namespace kv::diagnostics
