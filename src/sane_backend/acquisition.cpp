#include "sane_backend/acquisition.h"

#include "camera/connect_procedure.h"
#include "camera/notice_queue.h"
#include "camera/transfers.h"
#include "imaging/edits.h"
#include "library/output_renderer.h"
#include "library/store_retrieved.h"
#include "platform/child_process.h"
#include "platform/paths.h"
#include "settings/app_settings.h"
#include "settings/profile.h"
#include "settings/twain_profile.h"
#include "twain_source/handoff_bitmap.h"

#include <unistd.h>

#include <array>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

namespace kv::sane_backend {
namespace {

using namespace std::chrono_literals;

// A retrieval with no notice for this long has lost its camera.
constexpr auto kNoticeTimeout = 60s;

using NoticeQueue = camera::TransferNoticeQueue;

// A private directory for the one retrieved picture, removed with its files.
class PictureDirectory {
public:
    PictureDirectory() {
        std::string pattern = (platform::tempDirectory() / "kvmini-sane-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            path_ = pattern;
    }
    ~PictureDirectory() {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    PictureDirectory(const PictureDirectory&) = delete;
    PictureDirectory& operator=(const PictureDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

Acquired failure(SANE_Status status, std::string message) {
    Acquired result;
    result.status = status;
    result.message = std::move(message);
    return result;
}

SANE_Status openFailureStatus(const std::string& devicePath, const std::string& error) {
    if (devicePath.empty())
        return SANE_STATUS_INVAL;
    if (error.find("in use") != std::string::npos || error.find("busy") != std::string::npos)
        return SANE_STATUS_DEVICE_BUSY;
    if (error.find("ermission") != std::string::npos)
        return SANE_STATUS_ACCESS_DENIED;
    if (error.find("No such file") != std::string::npos)
        return SANE_STATUS_INVAL;
    return SANE_STATUS_IO_ERROR;
}

// Fetches `record` through the link's transfer worker so that a cancel request stops it
// between blocks. The record's buffers are filled when the result is GOOD.
SANE_Status fetchRecord(camera::CameraLink& link,
                        const std::shared_ptr<camera::TransferItem>& record,
                        const std::shared_ptr<NoticeQueue>& notices,
                        const std::atomic<bool>& cancel) {
    camera::CameraTransfers::installRetrieveAction(link, {}, notices);
    link.startWorker();
    link.postToWorker({camera::worker::Retrieve, record});
    SANE_Status status = SANE_STATUS_IO_ERROR;
    auto lastNotice = std::chrono::steady_clock::now();
    for (;;) {
        if (cancel.load()) {
            status = SANE_STATUS_CANCELLED;
            break;
        }
        auto notice = notices->take(100ms);
        if (!notice) {
            if (std::chrono::steady_clock::now() - lastNotice > kNoticeTimeout)
                break;
            continue;
        }
        lastNotice = std::chrono::steady_clock::now();
        if (notice->code == camera::notice::ItemReceived) {
            status = record->result == status::Ok ? SANE_STATUS_GOOD : SANE_STATUS_IO_ERROR;
            break;
        }
        if (notice->code == camera::notice::ItemFailed)
            break;
    }
    // A stop request ends a transfer still running between two blocks.
    link.postToWorker({camera::worker::End4, nullptr});
    if (camera::CameraWorker* worker = link.worker(); worker && !worker->waitFinished(30s)) {
        // The worker may still be on the wire: a command now would cut into its data phase,
        // so the link is given up instead.
        link.setLinkState(camera::LinkState::Lost);
        status = SANE_STATUS_IO_ERROR;
    }
    link.clearWorker();
    return status;
}

} // namespace

CameraSession::CameraSession(std::unique_ptr<camera::CameraLink> link) : link_(std::move(link)) {}

CameraSession::~CameraSession() = default;

SANE_Status CameraSession::open(const std::string& port, std::unique_ptr<CameraSession>& session,
                                std::string& message) {
    settings::AppSettings appSettings;
    const camera::ConnectSettings connect = camera::ConnectSettings::read(appSettings);
    const std::string device = camera::portDevicePath(port);
    // The camera answers at 9600 after power-up and at the working rate once a program has
    // switched it; both are tried, as the program's connect procedure does.
    for (const int rate : {9600, 0}) {
        camera::LinkOptions options;
        options.devicePath = device;
        auto link = std::make_unique<camera::CameraLink>(port, connect.lineStandard, options);
        if (link->port().opening() != 0) {
            message = port + ": " +
                      (device.empty() ? "no device under \"PORTS\"" : link->port().lastError());
            return openFailureStatus(device, link->port().lastError());
        }
        link->setConfiguredRate(connect.baudRate);
        if (link->connect(rate) == camera::LinkState::Connected) {
            link->setLinkState(camera::LinkState::Ready);
            session.reset(new CameraSession(std::move(link)));
            return SANE_STATUS_GOOD;
        }
    }
    message = port + ": no camera answers on " + device;
    return SANE_STATUS_IO_ERROR;
}

Acquired CameraSession::acquire(const AcquireRequest& request, const std::atomic<bool>& cancel) {
    camera::CameraLink& link = *link_;
    if (link.linkState() == camera::LinkState::Lost)
        return failure(SANE_STATUS_IO_ERROR, "the camera is gone");
    if (request.source == Source::TakePicture) {
        if (const Status st = link.execute(camera::cmd::TakePicture); st != status::Ok)
            return failure(SANE_STATUS_IO_ERROR,
                           "Take Picture failed: " + std::string(statusText(st)));
    }
    if (cancel.load())
        return failure(SANE_STATUS_CANCELLED, "cancelled");

    auto notices = std::make_shared<NoticeQueue>();
    camera::CameraTransfers transfers(link);
    transfers.setNoticeSink(notices.get());
    const camera::PictureList list = transfers.listPictures();
    Acquired result;
    std::shared_ptr<camera::TransferItem> record;
    bool fetchedOk = false;
    if (list.result != status::Ok) {
        result = failure(SANE_STATUS_IO_ERROR, "the camera's picture list could not be read");
    } else {
        // Records come oldest first; sound notes without a picture are not pictures.
        std::vector<std::shared_ptr<camera::TransferItem>> pictures;
        for (const auto& r : list.records)
            if (r->pictureSize > 0)
                pictures.push_back(r);
        if (pictures.empty()) {
            result = failure(SANE_STATUS_NO_DOCS, "the camera holds no pictures");
        } else if (request.source == Source::Stored &&
                   (request.pictureNumber < 1 ||
                    std::size_t(request.pictureNumber) > pictures.size())) {
            result = failure(SANE_STATUS_INVAL,
                             "the camera holds " + std::to_string(pictures.size()) +
                                 " pictures, not " + std::to_string(request.pictureNumber));
        } else {
            record = request.source == Source::Stored
                         ? pictures[std::size_t(request.pictureNumber - 1)]
                         : pictures.back();
            // The sound note stays in the camera: a frontend takes pictures only.
            record->soundSize = 0;
            const SANE_Status fetched = fetchRecord(link, record, notices, cancel);
            fetchedOk = fetched == SANE_STATUS_GOOD;
            if (!fetchedOk)
                result = failure(fetched, fetched == SANE_STATUS_CANCELLED
                                              ? "cancelled"
                                              : "the picture did not arrive intact");
        }
    }
    // A lost link takes no more commands; a picture already received is still delivered.
    if (link.linkState() != camera::LinkState::Lost) {
        link.resumePings();
        transfers.restoreFlash(list);
        link.setPingMode(1);
    }
    if (!fetchedOk)
        return result;
    if (cancel.load())
        return failure(SANE_STATUS_CANCELLED, "cancelled");

    // Stored as the program stores a retrieved picture, then rendered as it leaves the
    // program: decoded, edited, at the output size.
    PictureDirectory dir;
    if (dir.path().empty())
        return failure(SANE_STATUS_NO_MEM, "no temporary directory for the picture");
    library::StoreContext context;
    context.base = dir.path() / "Image";
    context.single = true;
    context.jpegCamera = link.hasFileSystem() || link.variantB();
    context.hasNewFirmware = link.hasNewFirmware();
    context.manufacturingWord = static_cast<std::uint32_t>(link.status().serialNumber);
    const library::StoredItem stored = library::storeRetrievedItem(*record, context);
    if (stored.result != status::Ok)
        return failure(SANE_STATUS_IO_ERROR, "the picture could not be decoded: " + stored.error);
    library::RenderSource source = library::renderSourceOf(stored.record);
    source.edits.whiteBalance.enabled = request.whiteBalance ? 1 : 0;
    source.edits.brightness = imaging::BrightnessFactorForSlider(request.brightness);
    result.picture =
        library::renderPicture(source, library::RenderMode::Output, request.outputSize);
    if (!result.picture.valid())
        return failure(SANE_STATUS_IO_ERROR, "the picture could not be rendered");
    result.status = SANE_STATUS_GOOD;
    return result;
}

Acquired acquireHandoff(const std::atomic<bool>& cancel, std::chrono::milliseconds poll) {
    settings::Profile ini(settings::twainProfilePath());
    const std::string location =
        ini.getString(settings::kProgramSection, settings::kProgramLocationKey);
    if (location.empty())
        return failure(SANE_STATUS_INVAL, "no \"Location\" in section \"Korvane\" of " +
                                              settings::twainProfilePath().string());
    std::string error;
    platform::ChildProcess program = platform::ChildProcess::spawn(location, {"/TWAIN"}, &error);
    if (!program.started())
        return failure(SANE_STATUS_IO_ERROR, error);

    Acquired result = failure(SANE_STATUS_CANCELLED, "kvmini ended without a transfer");
    std::set<kvsource::FileKey> skip; // bitmaps that could not be deleted are never taken twice
    while (!cancel.load() && program.running()) {
        std::this_thread::sleep_for(poll);
        if (ini.getInt(settings::kTwainSourceSection, settings::kPendingImagesKey, 0) == 0)
            continue;
        // A count left from an earlier session without its file waits for the file.
        const auto found = kvsource::FindHandoffBitmap(platform::tempDirectory(), skip);
        if (!found)
            continue;
        std::string why;
        const auto loaded = kvsource::LoadHandoffBitmap(
            found->path, [&](std::string_view text) { why = std::string(text); });
        if (::unlink(found->path.c_str()) != 0)
            skip.insert(found->key);
        const int count = ini.getInt(settings::kTwainSourceSection, settings::kPendingImagesKey, 0);
        ini.writeInt(settings::kTwainSourceSection, settings::kPendingImagesKey,
                     std::max(count - 1, 0));
        if (!loaded || loaded->bitsPerPixel != 24) {
            result = failure(SANE_STATUS_IO_ERROR, why.empty() ? "not a 24-bit bitmap" : why);
            break;
        }
        result.status = SANE_STATUS_GOOD;
        result.message.clear();
        imaging::RgbPicture& p = result.picture;
        p.width = loaded->width;
        p.height = loaded->height;
        p.pixels.reserve(std::size_t(p.width) * std::size_t(p.height) * 3);
        for (std::int32_t y = 0; y < loaded->height; ++y) {
            const std::uint8_t* row = loaded->row(y);
            p.pixels.insert(p.pixels.end(), row, row + std::size_t(p.width) * 3);
        }
        break;
    }
    if (cancel.load() && result.status != SANE_STATUS_GOOD)
        result = failure(SANE_STATUS_CANCELLED, "cancelled");
    program.terminate();
    return result;
}

} // namespace kv::sane_backend
