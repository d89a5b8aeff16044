#include "library/retrieve_pictures.h"

#include "camera/notice_queue.h"
#include "imaging/codec/wavelet_codec.h"

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>

namespace kv::library {
namespace {

using namespace std::chrono_literals;

using NoticeQueue = camera::TransferNoticeQueue;

std::string describe(const camera::TransferItem& item) {
    if (!item.pictureFile.empty())
        return item.pictureFile;
    if (item.pictureSize == 0)
        return "sound note " + std::to_string(item.soundNumber);
    return "picture " + std::to_string(item.pictureNumber);
}

// After a picture failed: is the camera still there? Asked with status requests (the worker is
// idle now), a few times, so that a noisy line alone does not end the retrieval.
bool cameraGone(camera::CameraLink& link, Status itemResult) {
    if (link.linkState() == camera::LinkState::Lost || itemResult == status::IoFailed ||
        itemResult == status::LinkLost)
        return true;
    for (int probe = 0; probe < 3; ++probe) {
        const Status st = link.requestStatus();
        if (st == status::Ok)
            return false;
        if (st == status::IoFailed || st == status::LinkLost)
            return true;
    }
    return true;
}

} // namespace

RetrieveReport retrievePictures(camera::CameraLink& link, const RetrieveOptions& options) {
    RetrieveReport report;
    camera::CameraTransfers transfers(link, options.timing);

    // The worker's notices come here; the queue lives as long as the job that posts to it.
    auto notices = std::make_shared<NoticeQueue>();
    transfers.setNoticeSink(notices.get());

    camera::PictureList list = transfers.listPictures();
    report.listResult = list.result;
    report.refused = list.refused;
    if (options.skip) {
        auto& records = list.records;
        const auto kept = std::remove_if(records.begin(), records.end(),
                                         [&](const auto& r) { return options.skip(*r); });
        report.skipped = static_cast<int>(records.end() - kept);
        records.erase(kept, records.end());
        list.totalBytes = 0;
        for (const auto& r : records)
            list.totalBytes += std::uint64_t(r->pictureSize) + r->soundSize;
    }
    report.progress.totalBytes = list.totalBytes;
    report.progress.pictureCount = static_cast<int>(list.records.size());

    StoreContext context;
    context.base = options.base;
    context.single = list.records.size() == 1;
    context.jpegCamera = link.hasFileSystem() || link.variantB();
    context.hasNewFirmware = link.hasNewFirmware();
    context.cameraId = options.cameraId;
    context.manufacturingWord = static_cast<std::uint32_t>(link.status().serialNumber);
    context.retrievalTime = static_cast<std::uint32_t>(std::time(nullptr));
    context.gainFile = options.gainFile;
    codec::WaveletCodec codec;

    if (!list.records.empty()) {
        camera::CameraTransfers::installRetrieveAction(link, options.timing, notices);
        link.startWorker();
        // One record is with the worker at a time; the next is asked for when it arrives.
        std::size_t next = 0;
        std::size_t inFlight = 0;
        const auto askNext = [&] {
            inFlight = next++;
            link.postToWorker({camera::worker::Retrieve, list.records[inFlight]});
        };
        askNext();
        int outstanding = 1;
        // Bytes of the records already finished, and the 8 KiB steps of the one in flight.
        std::uint64_t finishedBytes = 0;
        std::uint64_t currentSteps = 0;
        const auto finishRecord = [&](const camera::TransferItem& record) {
            finishedBytes += std::uint64_t(record.pictureSize) + record.soundSize;
            currentSteps = 0;
            report.progress.bytesReceived = finishedBytes;
        };
        auto lastNotice = std::chrono::steady_clock::now();
        while (outstanding > 0) {
            if (options.cancelled && options.cancelled()) {
                report.cancelled = true;
                break;
            }
            auto notice = notices->take(100ms);
            if (!notice) {
                if (std::chrono::steady_clock::now() - lastNotice > options.noticeTimeout) {
                    report.failures.push_back("the camera stopped answering");
                    report.cameraLost = true;
                    break;
                }
                continue;
            }
            lastNotice = std::chrono::steady_clock::now();
            switch (notice->code) {
            case camera::notice::ProgressStep:
                // Steps of a repeated attempt count again; the bar never passes the record.
                currentSteps += camera::kBlockSize;
                report.progress.bytesReceived =
                    finishedBytes +
                    std::min<std::uint64_t>(currentSteps,
                                            std::uint64_t(list.records[inFlight]->pictureSize) +
                                                list.records[inFlight]->soundSize);
                break;
            case camera::notice::TransferError:
                report.transferError = true;
                report.progress.retransmitCount += notice->value;
                break;
            case camera::notice::ItemReceived: {
                --outstanding;
                const std::shared_ptr<camera::TransferItem> item = notice->item;
                finishRecord(*item);
                if (!options.slowProcessor && next < list.records.size()) {
                    askNext();
                    ++outstanding;
                }
                StoredItem stored = storeRetrievedItem(*item, context, &codec);
                if (stored.result != status::Ok)
                    report.failures.push_back(describe(*item) + ": " + stored.error);
                if (options.stored)
                    options.stored(*item, stored);
                report.stored.push_back(std::move(stored));
                // The record's transfer buffers are released once the file is written.
                Bytes().swap(item->picture);
                Bytes().swap(item->sound);
                ++report.progress.picturesDone;
                if (options.slowProcessor && next < list.records.size()) {
                    askNext();
                    ++outstanding;
                }
                break;
            }
            case camera::notice::ItemFailed: {
                --outstanding;
                // The worker set the record's result before it posted the notice.
                const camera::TransferItem& item = *list.records[inFlight];
                finishRecord(item);
                report.failures.push_back(describe(item) + ": not received intact");
                ++report.progress.picturesDone;
                if (cameraGone(link, item.result)) {
                    report.cameraLost = true;
                    break;
                }
                if (next < list.records.size()) {
                    askNext();
                    ++outstanding;
                }
                break;
            }
            default:
                break;
            }
            if (options.progress)
                options.progress(report.progress);
            if (report.cameraLost)
                break;
        }
        link.postToWorker({camera::worker::End4, nullptr});
        camera::CameraWorker* worker = link.worker();
        if (worker && !worker->waitFinished(options.workerEndLimit)) {
            // The worker may still be on the wire: a command now would cut into its data
            // phase. The link is given up instead (a new connect makes a new one).
            link.setLinkState(camera::LinkState::Lost);
            report.cameraLost = true;
            report.failures.push_back("the camera's transfer did not end");
        }
        link.clearWorker();
    }
    if (link.linkState() == camera::LinkState::Lost)
        return report;
    link.resumePings();
    transfers.restoreFlash(list);
    link.setPingMode(1);
    return report;
}

} // namespace kv::library
