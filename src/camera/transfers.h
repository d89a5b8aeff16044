// CameraTransfers: the bulk transfers between camera and PC — the picture list and the
// retrieval of pictures and sound notes (run by the transfer worker), the memory card's file
// operations, raw memory uploads, block downloads with checksums and the parameter record.
// Everything moves in blocks of at most 8192 bytes.
//
// Threads: retrieval runs on the camera's transfer worker, everything else on the thread that
// calls it. Each transfer holds the camera's pings (the ping hand-shake) for its whole
// exchange, so no ping byte falls between a command, its reply and its data phase. One
// CameraTransfers object serves one transfer at a time (its progress counter is shared).
//
// Sizes announced by the camera (item lines, listings, counts) are checked against fixed
// bounds before anything is allocated.
#pragma once

#include "base/bytes.h"
#include "base/clock.h"
#include "base/operator.h"
#include "base/result.h"
#include "camera/camera_link.h"
#include "camera/item_line.h"
#include "camera/part_assembly.h"
#include "camera/transfer_item.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kv::camera {

// The waits and retry counts of the transfers. The defaults are the camera's; tests shorten
// the waits.
struct TransferTiming {
    std::chrono::milliseconds resendDelay{300};  // before resending a timed-out block
    std::chrono::milliseconds rawRetrySleep{10}; // between raw reads that timed out
    int rawReadRetries = 101;                    // raw reads per chunk while they time out
    // Empty time-outs in a row, once a chunk's data began, that end the chunk: the camera sends
    // a block without pauses, so a whole time-out of silence in it means bytes were lost.
    int stalledReads = 1;
    int itemAttempts = 6; // per picture and per sound note (card firmware without check word)
    // Reads of a picture or note with a check, the first included: the re-reads of a noisy
    // line go in smaller blocks and stop once every byte is vouched for.
    int rereadPasses = 10;
    std::chrono::milliseconds parameterWait{4000};    // after each reply of the record write
    std::chrono::milliseconds plainUploadDelay{1000}; // before the first block (plain upload)
    std::chrono::milliseconds flashPoll{1000};        // between status requests after a download
    int flashPolls = 65;
    // The clock of the three station waits above (record write, first upload wait, flash
    // polls); nullptr: real time. The bench station and the tests pass a virtual one.
    Clock* clock = nullptr;
};

inline constexpr std::size_t kBlockSize = 8192;
// The blocks of a noisy line where no read holds the bytes yet (the rest of a first read once a
// block failed, and the first read of a line known to be noisy).
inline constexpr std::uint32_t kFirstPieceLength = 128;
inline constexpr std::size_t kParameterRecordSize = 1024;
// Raw uploads are capped here whatever the caller asks (the PC card is the largest memory).
inline constexpr long kMaxUploadSize = 64L << 20;
inline constexpr int kMaxItemNumber = 4000;

// Commands of the memory transfers.
inline constexpr int kUploadDram = cmd::ReadDram;
inline constexpr int kUploadFram = cmd::ReadFram;

// The records of a retrieval, built by listPictures().
struct PictureList {
    std::vector<std::shared_ptr<TransferItem>> records;
    std::uint64_t totalBytes = 0; // for the progress range
    std::int16_t savedFlash = 0;  // the flash setting to restore at the end
    bool flashSwitchedOff = false;
    // Not Ok when the camera's list could not be read whole (the records hold what was read;
    // `refused` says how many pictures were not listed).
    Status result = status::Ok;
    // Items the camera announced but that were refused (sizes beyond the bounds, bad
    // listings); each is a short text for the user.
    std::vector<std::string> refused;
};

class CameraTransfers {
public:
    explicit CameraTransfers(CameraLink& link, TransferTiming timing = {});

    // Makes retrieveItem the link's action-1 job (before startWorker()). With a `sink`, the
    // worker's notices go there (kept alive by the job) instead of to the link's events.
    static void installRetrieveAction(CameraLink& link, TransferTiming timing = {},
                                      std::shared_ptr<CameraEvents> sink = nullptr);
    // Notices of this object go to `sink` instead of the link's events (nullptr = the link's).
    void setNoticeSink(CameraEvents* sink) { sink_ = sink; }

    // ---- pictures ----

    // Switches the flash off for the retrieval (remembering it) and builds the records.
    PictureList listPictures();
    // Switches the flash back on when listPictures switched it off.
    void restoreFlash(const PictureList& list);
    // Worker action 1: fetches picture and sound note (up to itemAttempts each) and posts
    // notice 2 with the item, or 6. A stop request taken between blocks ends it silently.
    void retrieveItem(CameraWorker* worker, const std::shared_ptr<TransferItem>& item);
    // The same without notices 2/6: fills `item` and returns its result.
    Status fetchItem(TransferItem& item, CameraWorker* worker = nullptr);

    // The block reader: `size` bytes into `buffer` (which must hold them). Posts notice 7 on
    // failures (except a refused row 46) and notice 5 per 8 KiB when withProgress.
    Status readBlocks(std::uint32_t size, std::span<std::uint8_t> buffer, bool withProgress,
                      CameraWorker* worker = nullptr);
    // A raw read of exactly `length` bytes, retried while it times out.
    Status readChunkRaw(std::uint8_t* buffer, std::size_t length);
    // Row 0 (number, 0, kind, 0) and the 128-byte item line.
    Status selectItem(int number, int kind, ItemLine* line = nullptr);
    // Row 3 and its 8-byte line; `count`, when given, receives the number on it (the bytes the
    // camera sent of the item; -1 when the line holds none).
    Status endItemRead(long* count = nullptr);
    // Row 4: erase every picture.
    Status eraseAll();

    // ---- memory card ----
    Status openFile(std::string_view name);
    Status closeFile();
    // The number of files matching `pattern`; 0 on failure (then *result is not Ok).
    int countFiles(std::string_view pattern, Status* result = nullptr);
    // Fills `buffer` with count x 42 bytes of listing and a NUL; returns the count (0 on
    // failure).
    int listFiles(Bytes& buffer, std::string_view pattern, Status* result = nullptr);
    // listFiles until two readings agree (up to a few); 0 with *result not Ok when none did.
    int listAgreed(Bytes& buffer, std::string_view pattern, Status* result = nullptr);
    Status formatCard();

    // ---- parameter record ----
    Status readParameterRecord(Bytes& record);
    Status writeParameterRecord(ByteSpan record);

    // ---- memories ----
    // Memory read with a progress box titled `title` on `op` (flash switched off meanwhile).
    Status uploadMemory(int command, long start, long size, Bytes& buffer, std::string_view title,
                        Operator& op);
    // The plain variant of the diagnostics: no box, flash left alone, a progress text made by
    // `progressText` from the bytes received so far after each block.
    Status uploadMemoryPlain(int command, long start, long size, Bytes& buffer,
                             const std::function<std::string(long)>& progressText, Operator& op);
    // Block write of data[start, end) with rows 7, 8, 9 or 34; positions are also the
    // addresses sent to the camera.
    Status downloadBlocks(ByteSpan data, long end, long start, int command, Operator& op);

    // The retransmitted bytes of the last upload or download, or the bytes read again by the
    // retrievals of this object.
    long retransmitCount() const { return retransmit_; }

private:
    using Hold = CameraLink::PingHold;

    // Marks a list incomplete when reading it ended early (`ended` not Ok) or it holds fewer
    // pictures than the status line announced.
    static void markIncomplete(PictureList& list, int listed, std::optional<int> announced,
                               Status ended);
    Status command(int number, std::initializer_list<CommandArg> args);
    // readChunkRaw for the bytes of a picture or note (and a card file's check word): the
    // camera sends them without pauses, so a silence of the port's data gap ends the read.
    // `received`, when given, gets the bytes that came (also when the read failed).
    Status readPictureData(std::uint8_t* buffer, std::size_t length,
                           std::size_t* received = nullptr);
    // `got` receives the bytes that came, however the read ends.
    Status readRaw(std::uint8_t* buffer, std::size_t length, bool pictureData, std::size_t& got);
    // A card command whose answer is a 4-byte raw reply that must begin with "OK".
    Status commandWithOkReply(int number, std::initializer_list<CommandArg> args);
    Status readLine(std::uint8_t* buffer, std::size_t length);
    // Row 1 or 46 for `length` bytes; a spoiled reply drops what follows until the line is
    // quiet.
    Status requestData(int number, std::uint32_t length);
    Status readBlockOnce(std::uint32_t length, std::uint8_t* buffer,
                         std::size_t* received = nullptr);
    // Keeps a block of `length` bytes from `from` of which only `received` came.
    void keepLost(std::size_t from, std::size_t length, const std::uint8_t* data,
                  std::size_t received);
    Status readPlainBlocks(std::uint32_t size, std::span<std::uint8_t> buffer, bool withProgress,
                           CameraWorker* worker);
    Status readFileBlocks(std::uint32_t size, std::span<std::uint8_t> buffer, bool withProgress,
                          CameraWorker* worker);
    // Between blocks: worker requests and progress. False when a stop request came.
    bool betweenBlocks(std::size_t blockLength, bool withProgress, CameraWorker* worker);
    Status fetchPart(TransferItem& item, bool sound, CameraWorker* worker);
    // The block loop of the memory uploads: fills `buffer` from address `start` with row
    // `command`. Overruns are retransmitted until kOverrunsPerBlock come in a row; other
    // failures (and that last overrun) end it at the fourth in a row. Each retry drains the
    // line and counts into retransmit_. After each good block `afterBlock` gets the bytes
    // received so far, then a cancel ends it. With showRetries the retries are shown as
    // progress text. Ok only when every block came in.
    Status uploadBlocks(int command, long start, Bytes& buffer,
                        const std::function<void(long)>& afterBlock, bool showRetries,
                        Operator& op);
    // A read of `size` bytes in pieces of kFirstPieceLength where no read holds the bytes yet
    // and in whole blocks elsewhere; with `toEnd` false it ends after the last byte the
    // assembly needs. `requested` receives the bytes asked for; blocks that came short are
    // kept in lost_.
    // `enough`, when given, is asked after each block whether the read may end there.
    Status readPieces(std::uint32_t size, std::span<std::uint8_t> buffer, bool toEnd,
                      const PartAssembly& assembly, CameraWorker* worker, std::uint32_t& requested,
                      const std::function<bool()>& enough = {});
    // After a failed read: asks the link to wait for a quiet line before the next command,
    // unless the failure left the line quiet already (time-outs, spoiled replies and count
    // lines of a block).
    void resyncAfter(Status failure);
    // Keeps only the ranges of the last read up to its first gap.
    void trimRangesAfterFirstFailure();
    // Reads and drops whatever is still arriving, so a retry starts on a quiet line.
    void drainInput();
    // The same after a data phase went wrong: until the line is quiet for the data gap (the
    // camera sends without pauses); a line still talking after that asks for a resync.
    // False (and a resync asked for) when it never fell quiet.
    bool quietAfterData();
    bool readsWithoutChecksum() const;
    void sleepFor(std::chrono::milliseconds d) const;
    // A station wait: through timing_.clock.
    void wait(std::chrono::milliseconds d) const;
    CameraEvents& events() { return sink_ ? *sink_ : link_.events(); }

    CameraLink& link_;
    TransferTiming timing_;
    long received_ = 0;
    long stepsReported_ = 0;
    long retransmit_ = 0;
    CameraEvents* sink_ = nullptr;
    // Of the last block read: the ranges that came whole and in step, and the card's check word.
    std::vector<PartAssembly::Range> ranges_;
    std::vector<PartAssembly::LostBlock> lost_;
    std::optional<std::uint16_t> checkWord_;
    std::vector<WorkerRequest> deferred_;
};

} // namespace kv::camera
