#include "diagnostics/downloads.h"

#include "camera/parameter_block.h"
#include "diagnostics/srecord.h"
#include "diagnostics/station.h"
#include "diagnostics/station_outputs.h"
#include "imaging/process/gamma_table.h"
#include "platform/atomic_file.h"
#include "settings/app_settings.h"

#include <array>
#include <chrono>
#include <cstdio>

namespace kv::diagnostics {
namespace {

using namespace std::chrono_literals;
namespace cmd = camera::cmd;

constexpr int kRecordTries = 8;
constexpr int kSerialPolls = 5;

std::string formatted(const char* fmt, long value) {
    char text[160];
    std::snprintf(text, sizeof text, fmt, value);
    return text;
}

// The file a menu command works on: the one given, else the operator's pick.
std::optional<std::string> pickFile(Station& s, const std::optional<std::string>& given,
                                    std::string_view title, std::string_view filter) {
    if (given && !given->empty())
        return given;
    return s.op.chooseFile(title, filter, false);
}

bool needCamera(Station& s) {
    if (s.connectedCamera())
        return true;
    s.op.message("Camera Not Connected!");
    return false;
}

// Sends one record line and reads its 4-byte answer; the pings are held by the caller.
enum class RecordResult { Accepted, Refused, SendFailed, ReceiveFailed };
RecordResult sendRecord(camera::CameraLink& link, const std::string& record, Status& code) {
    const std::string line = record + "\r\n";
    code = link.port().write(
        ByteSpan(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    if (code != status::Ok)
        return RecordResult::SendFailed;
    std::array<std::uint8_t, 4> reply{};
    code = link.readReply(reply.data(), reply.size());
    if (code != status::Ok)
        return RecordResult::ReceiveFailed;
    return camera::isOkReply(reply) ? RecordResult::Accepted : RecordResult::Refused;
}

// The record loop of the firmware download; appends to s.errorText and returns false on the
// first record that cannot be delivered.
bool sendRecords(Station& s, const SRecordFile& file) {
    camera::CameraLink& link = *s.camera;
    camera::CameraLink::PingHold hold(link);
    Status code = link.executeSimple(cmd::AnnounceWrite);
    if (code == status::Ok)
        code = link.executeSimple(cmd::ProgramDownload);
    if (code != status::Ok) {
        s.errorText += formatted(" Send S-Record: %ld", code);
        return false;
    }
    int number = 0;
    for (const SRecord& record : file.records) {
        ++number;
        bool accepted = false;
        for (int attempt = 0; attempt < kRecordTries && !accepted; ++attempt) {
            switch (sendRecord(link, record.text, code)) {
            case RecordResult::Accepted:
                accepted = true;
                break;
            case RecordResult::Refused:
                break;
            case RecordResult::SendFailed:
                s.errorText += formatted(" Send S-Record: %ld", code);
                return false;
            case RecordResult::ReceiveFailed:
                s.errorText += formatted(" Receive Response: %ld", code);
                return false;
            }
        }
        if (!accepted) {
            s.errorText += " MAX Retries";
            return false;
        }
        s.op.setProgressText(formatted("Downloading S-Record %d", number));
        s.op.pumpMessages();
    }
    return true;
}

// "Z5;0" for a scope and "Z5;1" after it, on every path (through the link's ping mode, so its
// ping thread keeps still meanwhile).
class PingModeOff {
public:
    explicit PingModeOff(camera::CameraLink& link) : link_(link) { link_.setPingMode(0); }
    ~PingModeOff() {
        if (link_.linkState() != camera::LinkState::Lost)
            link_.setPingMode(1);
    }
    PingModeOff(const PingModeOff&) = delete;
    PingModeOff& operator=(const PingModeOff&) = delete;

private:
    camera::CameraLink& link_;
};

bool readFileLimited(const std::string& path, Bytes& bytes, std::size_t limit) {
    return platform::readWholeFile(path, bytes, limit);
}

} // namespace

Status downloadBlock(Station& s, ByteSpan buffer, long start, int kind) {
    if (!s.camera)
        return status::LinkLost;
    camera::CameraTransfers transfers = s.transfers();
    return transfers.downloadBlocks(buffer, static_cast<long>(buffer.size()), start, kind, s.op);
}

bool downloadFirmware(Station& s, std::optional<std::string> file) {
    const bool led = s.ledStation();
    if (led)
        relayWrite(s, kRelayIdle);
    if (!needCamera(s))
        return false;
    if (s.automaticMode)
        file = s.profile.getString("DIAGNOSTICS", "DOWNLOAD_PROGRAM");
    else
        file = pickFile(s, file, "Download Program", "S-Record Files (*.s19;*.s28;*.s37;*.hex)");
    if (!file)
        return false;
    const SRecordFile records = readSRecordFile(*file);
    if (!records.ok()) {
        // The whole file is checked before the camera is touched.
        s.op.message("Unable to open program file: " + *file + "\n" + records.error);
        return false;
    }
    // The error text of the download itself; the failures above have their own boxes. A
    // good download leaves the caller's error text as it was.
    const std::string callerText = std::exchange(s.errorText, "Error downloading camera firmware:");
    s.camera->setPingMode(0);
    s.op.setWaitCursor(true);
    if (!led)
        relayWrite(s, kRelayIdle);
    s.op.beginProgress("Download Program", static_cast<long>(records.records.size()));
    const bool ok = sendRecords(s, records);
    s.op.endProgress();
    s.op.setWaitCursor(false);
    if (!ok)
        s.op.message(s.errorText);
    else
        s.errorText = callerText;
    // The camera restarts on its new program.
    s.reconnectCamera();
    if (!led)
        relayWrite(s, kRelayOff);
    return ok;
}

bool downloadGammaTable(Station& s, std::optional<std::string> file) {
    if (!needCamera(s))
        return false;
    PingModeOff quiet(*s.camera);
    process::GammaTable table = process::BuiltInGammaTable();
    if (!s.op.confirm("Download default Gamma Table?")) {
        file = pickFile(s, file, "Open Gamma Table", "Gamma Tables (*.txt)|All Files (*.*)");
        if (!file)
            return false;
        Bytes text;
        std::optional<process::GammaTable> parsed;
        if (readFileLimited(*file, text, 64 * 1024))
            parsed = process::ParseGammaText(
                std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
        if (!parsed) {
            s.op.message("FileError!");
            return false;
        }
        table = *parsed;
    }
    const Bytes bytes = process::GammaTableBytes(table);
    const Status st = downloadBlock(s, bytes, 0, kDownloadGamma);
    s.op.message(st == status::Ok ? std::string("Gamma table successfully downloaded.")
                                  : formatted("Error %d during Gamma download.", st));
    return st == status::Ok;
}

bool downloadBlemishList(Station& s, std::optional<std::string> file) {
    if (!needCamera(s))
        return false;
    file = pickFile(s, file, "Open Blemish List", "Blemish Lists (*.*)");
    if (!file)
        return false;
    Bytes list;
    if (!readFileLimited(*file, list, kBlemishListBytes) || list.size() != kBlemishListBytes) {
        s.op.message("FileError!");
        return false;
    }
    s.op.beginProgress("Downloading Blemish List", 0);
    const Status st = downloadBlock(s, list, 0, kDownloadBlemish);
    s.op.endProgress();
    s.op.message(st == status::Ok ? std::string("Blemish map successfully downloaded.")
                                  : formatted("Error %d during Blemish download.", st));
    return st == status::Ok;
}

bool batchProcess(Station& s, std::optional<std::string> file) {
    if (!needCamera(s))
        return false;
    PingModeOff quiet(*s.camera);
    file = pickFile(s, file, "Batch Process", "RAM Files (*.ram)|All Files (*.*)");
    Status st = status::Failed;
    if (file) {
        st = stationCommand(s, cmd::AcquisitionMode, {1119});
        Bytes image;
        if (!readFileLimited(*file, image, kMaxBatchImage) || image.empty()) {
            s.op.message("FileError!");
            st = status::Failed;
        } else {
            stationCommand(s, cmd::Nop);
            s.clock.sleep(2000ms);
            stationCommand(s, cmd::Nop);
            st = downloadBlock(s, image, 0, kDownloadDram);
            if (st == status::Ok)
                st = stationCommand(s, cmd::TakePicture);
        }
        stationCommand(s, cmd::AcquisitionMode, {0});
    }
    return st == status::Ok;
}

int downloadDacSetting(Station& s, long value) {
    if (!needCamera(s))
        return -1;
    camera::CameraTransfers transfers = s.transfers();
    Bytes record;
    if (transfers.readParameterRecord(record) != status::Ok) {
        s.op.message("Communications Error.");
        return -1;
    }
    camera::setParamDac(record, static_cast<std::int32_t>(value));
    if (transfers.writeParameterRecord(record) != status::Ok) {
        s.op.message("DAC Setting Download FAILED!");
        return -1;
    }
    Bytes check;
    if (transfers.readParameterRecord(check) != status::Ok) {
        s.op.message("Communications Error.");
        return -1;
    }
    return camera::paramDac(check) == value ? 0 : -1;
}

// The camera keeps its serial number in its parameters and takes a new one only in two
// steps: "D5" hands it a pending number, the next "L0" stores it. Every block download starts
// with "L0" too, but without a pending number that leaves the serial number alone. The number
// is the manufacturing number the station forms (station letter and time), the number the
// station's gain and blemish files are named after.
bool setSerialNumber(Station& s) {
    if (!needCamera(s))
        return false;
    const bool hasNumber = s.camera->status().serialNumber != -1;
    if (!s.automaticMode && hasNumber && !s.op.confirm("Overwrite old serial number?"))
        return false;
    const std::uint32_t number = settings::AppSettings(s.profile).newManufacturingNumber();
    Status st = stationCommand(s, cmd::SetSerialNumber, {static_cast<long>(number)});
    if (st == status::Ok)
        st = stationCommand(s, cmd::AnnounceWrite);
    bool answered = false;
    for (int poll = 0; poll < kSerialPolls && !answered; ++poll) {
        if (poll > 0)
            s.clock.sleep(1000ms);
        answered = s.camera->requestStatus() == status::Ok;
    }
    if (!answered) {
        s.reconnectCamera();
        return false;
    }
    return st == status::Ok &&
           static_cast<std::uint32_t>(s.camera->status().serialNumber) == number;
}

} // namespace kv::diagnostics
