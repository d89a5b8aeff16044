// Retrieve Images without a GUI: asks the camera for its picture list, hands the records one
// by one to the camera's transfer worker, and stores each picture as it arrives under the next
// free numbered name (store_retrieved.h). The camera transfer and the file writing overlap:
// the next record is requested before the received one is written (unless slowProcessor).
//
// Runs on the calling thread (the GUI calls it from a worker of its own, kvtool directly);
// the camera's worker thread does the transfer. A picture that fails is reported and the
// retrieval goes on with the next one, unless the camera is gone. Pictures received before a
// failure stay stored.
#pragma once

#include "base/result.h"
#include "camera/camera_link.h"
#include "camera/transfers.h"
#include "library/store_retrieved.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kv::library {

// String 61523, shown when a transfer error was reported.
inline constexpr std::string_view kRetrievalProblem61523 =
    "A problem was encountered during picture retrieval.  Try quitting applications which may "
    "interfere with the RS232 interface and retry.";

struct RetrieveProgress {
    std::uint64_t bytesReceived = 0; // in steps of 8 KiB, as the worker reports them
    std::uint64_t totalBytes = 0;
    int picturesDone = 0; // stored or failed
    int pictureCount = 0;
    long retransmitCount = 0; // sizes of the transfer errors reported (string 61216)
};

struct RetrieveOptions {
    std::filesystem::path base = "Image"; // numbered names are formed from it
    camera::TransferTiming timing;
    bool slowProcessor = false; // ask for the next picture only after writing this one
    std::optional<std::filesystem::path> gainFile;
    std::string cameraId;
    // Called on the calling thread after every notice.
    std::function<void(const RetrieveProgress&)> progress;
    // Items for which this says true are left in the camera (already retrieved).
    std::function<bool(const camera::TransferItem&)> skip;
    // Called on the calling thread after each item was stored (or failed to be).
    std::function<void(const camera::TransferItem&, const StoredItem&)> stored;
    // Checked while waiting; true ends the retrieval (the worker stops between blocks).
    std::function<bool()> cancelled;
    // No notice for this long (a hung camera): the retrieval ends as failed.
    std::chrono::milliseconds noticeTimeout{std::chrono::minutes(5)};
    // How long the end of the retrieval waits for the worker to leave the wire; after that
    // the link is given up (Lost) rather than talked to under the worker.
    std::chrono::milliseconds workerEndLimit{std::chrono::seconds(30)};
};

struct RetrieveReport {
    std::vector<StoredItem> stored;    // in retrieval order
    std::vector<std::string> failures; // one text per picture that could not be fetched/stored
    std::vector<std::string> refused;  // items the camera announced that were refused
    int skipped = 0;                   // items left out by RetrieveOptions::skip
    bool transferError = false;        // notice 7 came (show 61523)
    bool cancelled = false;
    bool cameraLost = false;
    Status listResult = status::Ok; // reading the camera's list
    RetrieveProgress progress;
    // True when every announced picture was stored.
    bool complete() const {
        return failures.empty() && refused.empty() && !cancelled && !cameraLost &&
               listResult == status::Ok;
    }
};

RetrieveReport retrievePictures(camera::CameraLink& link, const RetrieveOptions& options);

} // namespace kv::library
