#include "camera/transfers.h"

#include "camera/memory_listing.h"
#include "camera/part_assembly.h"
#include "camera/transfer_lines.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace kv::camera {
namespace {

constexpr std::size_t kItemLineSize = 128;
constexpr std::string_view kPicturePattern = "*<*.jpg>";
constexpr std::string_view kSoundPattern = "*<*.wav>";
// Firmware revisions above this append a checksum word to a card file.
constexpr double kChecksumFirmware = 2.022;
// Item lines read per item of the list until two agree.
constexpr int kItemLineReads = 6;
// Items in a row whose lines never agreed before the list gives up.
constexpr int kUnreadableItemsInRow = 3;
// Card listings read until two agree.
constexpr int kListingReads = 8;
// Overruns in a row on one block before it counts as an ordinary failure.
constexpr int kOverrunsPerBlock = 16;

bool beginsWithOk(const std::uint8_t* bytes) {
    return bytes[0] == 'O' && bytes[1] == 'K';
}

bool sameItem(const ItemLine& a, const ItemLine& b) {
    return a.status == b.status && a.number == b.number && a.size == b.size && a.kind == b.kind &&
           a.exposure == b.exposure && a.flash == b.flash && a.quality == b.quality &&
           a.attribute == b.attribute;
}

std::string format(const char* fmt, long a, long b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, fmt, a, b);
    return text;
}

// Frees a transfer buffer that did not pass its checks, so nothing unchecked is handed on.
void release(Bytes& buffer) {
    Bytes().swap(buffer);
}

} // namespace

CameraTransfers::CameraTransfers(CameraLink& link, TransferTiming timing)
    : link_(link), timing_(timing) {}

void CameraTransfers::installRetrieveAction(CameraLink& link, TransferTiming timing,
                                            std::shared_ptr<CameraEvents> sink) {
    link.setRetrieveAction([timing, sink](CameraLink& l, CameraWorker& worker,
                                          const std::shared_ptr<TransferItem>& item) {
        CameraTransfers transfers(l, timing);
        transfers.setNoticeSink(sink.get());
        transfers.retrieveItem(&worker, item);
    });
}

void CameraTransfers::sleepFor(std::chrono::milliseconds d) const {
    if (d.count() > 0)
        std::this_thread::sleep_for(d);
}

void CameraTransfers::wait(std::chrono::milliseconds d) const {
    (timing_.clock ? *timing_.clock : realClock()).sleep(d);
}

// ---- command level ----

Status CameraTransfers::command(int number, std::initializer_list<CommandArg> args) {
    if (link_.linkState() == LinkState::Lost)
        return status::LinkLost;
    CommandText text;
    if (Status st = formatCommand(number, args, text); st != status::Ok)
        return st;
    Bytes reply;
    const Status st = link_.sendCommand(text.view(), reply, number);
    if (st != status::Ok)
        return st;
    if (isOkReply(reply))
        return status::Ok;
    // Whatever the camera goes on to send after a reply we did not understand must not be
    // taken for the next reply.
    link_.requestResync();
    return status::Failed;
}

Status CameraTransfers::readLine(std::uint8_t* buffer, std::size_t length) {
    std::memset(buffer, 0, length);
    return link_.readReply(buffer, length);
}

Status CameraTransfers::readChunkRaw(std::uint8_t* buffer, std::size_t length) {
    std::size_t got = 0;
    return readRaw(buffer, length, false, got);
}

Status CameraTransfers::readPictureData(std::uint8_t* buffer, std::size_t length,
                                        std::size_t* received) {
    std::size_t got = 0;
    const Status st = readRaw(buffer, length, true, got);
    if (received)
        *received = got;
    return st;
}

Status CameraTransfers::readRaw(std::uint8_t* buffer, std::size_t length, bool pictureData,
                                std::size_t& got) {
    Hold hold(link_);
    got = 0;
    int emptyAfterStart = 0;
    SerialPort& port = link_.port();
    const std::chrono::milliseconds gap = port.dataGap();
    for (int attempt = 0; attempt < timing_.rawReadRetries; ++attempt) {
        const Status st = pictureData ? port.readData(buffer + got, length - got, gap)
                                      : port.read(buffer + got, length - got);
        const std::size_t arrived = std::min(port.lastReadCount(), length - got);
        got += arrived;
        if (st == status::Ok && got == length)
            return status::Ok;
        if (st != status::Ok && st != status::TimedOut)
            return st;
        // The camera may take its time before the first byte; once its data flows, silence
        // means bytes were lost, and waiting longer cannot bring them. Picture data flows
        // without pauses, so a gap of a few character times says so (and whatever of it is
        // still coming is dropped); other replies get the whole time-out.
        emptyAfterStart =
            (got > 0 && (arrived == 0 || st == status::TimedOut)) ? emptyAfterStart + 1 : 0;
        if (emptyAfterStart >= timing_.stalledReads) {
            if (pictureData)
                quietAfterData();
            return status::TimedOut;
        }
        sleepFor(timing_.rawRetrySleep);
    }
    return status::TimedOut;
}

bool CameraTransfers::quietAfterData() {
    // A data phase in progress ends within a block's time; a line that keeps talking beyond
    // that is left to the link's resynchronisation.
    SerialPort& port = link_.port();
    if (port.discardUntilQuiet(port.dataGap(), 2 * kBlockSize))
        return true;
    link_.requestResync();
    return false;
}

void CameraTransfers::drainInput() {
    Hold hold(link_);
    std::array<std::uint8_t, 512> scratch;
    // Bounded: a camera that never stops talking cannot keep us here.
    for (int i = 0; i < 4096; ++i) {
        // A read that ended in a time-out saw the line quiet for a whole interval.
        if (link_.port().read(scratch.data(), scratch.size()) != status::Ok)
            return;
    }
}

Status CameraTransfers::selectItem(int number, int kind, ItemLine* line) {
    Hold hold(link_);
    Status st = command(cmd::SelectItem, {long(number), 0L, long(kind), 0L});
    if (st != status::Ok)
        return st;
    std::array<std::uint8_t, kItemLineSize> text;
    st = readLine(text.data(), text.size());
    if (st != status::Ok)
        return st;
    const ItemLine parsed = parseItemLine(text);
    if (parsed.fieldsRead == 0)
        return status::Failed;
    if (line)
        *line = parsed;
    return status::Ok;
}

Status CameraTransfers::endItemRead(long* count) {
    Hold hold(link_);
    if (count)
        *count = -1;
    Status st = command(cmd::EndItemRead, {});
    if (st != status::Ok)
        return st;
    std::array<std::uint8_t, 8> text;
    st = readLine(text.data(), text.size());
    if (st == status::Ok && count)
        *count = parseCountLine(text).value_or(-1);
    return st;
}

Status CameraTransfers::eraseAll() {
    return link_.execute(cmd::EraseAll);
}

// ---- memory card ----

Status CameraTransfers::commandWithOkReply(int number, std::initializer_list<CommandArg> args) {
    Hold hold(link_);
    Status st = command(number, args);
    if (st != status::Ok)
        return st;
    std::array<std::uint8_t, 4> reply{};
    st = readChunkRaw(reply.data(), reply.size());
    if (st != status::Ok)
        return st;
    return beginsWithOk(reply.data()) ? status::Ok : status::Failed;
}

Status CameraTransfers::openFile(std::string_view name) {
    return commandWithOkReply(cmd::OpenFile, {name, 0L, 128L});
}

Status CameraTransfers::closeFile() {
    return commandWithOkReply(cmd::CloseFile, {});
}

int CameraTransfers::countFiles(std::string_view pattern, Status* result) {
    Hold hold(link_);
    Status st = command(cmd::ListFiles, {pattern, 0L});
    std::array<std::uint8_t, 3> line{};
    if (st == status::Ok)
        st = readChunkRaw(line.data(), line.size());
    std::optional<int> count;
    if (st == status::Ok) {
        count = parseFileCount(line);
        if (!count)
            st = status::Failed;
    }
    if (result)
        *result = st;
    return st == status::Ok ? *count : 0;
}

int CameraTransfers::listAgreed(Bytes& buffer, std::string_view pattern, Status* result) {
    Hold hold(link_);
    // A listing carries no checksum: a corrupted size or name would go straight into the
    // open and read commands. It is read until two readings (count and entries) agree.
    std::vector<std::pair<int, Bytes>> readings;
    Status st = status::Failed;
    for (int read = 0; read < kListingReads; ++read) {
        Bytes listing;
        const int count = listFiles(listing, pattern, &st);
        if (st != status::Ok) {
            if (st == status::IoFailed || st == status::LinkLost)
                break;
            link_.requestResync();
            continue;
        }
        for (const auto& [earlierCount, earlier] : readings) {
            if (earlierCount == count && earlier == listing) {
                buffer = std::move(listing);
                if (result)
                    *result = status::Ok;
                return count;
            }
        }
        readings.emplace_back(count, std::move(listing));
    }
    if (result)
        *result = st == status::Ok ? status::Failed : st;
    return 0;
}

int CameraTransfers::listFiles(Bytes& buffer, std::string_view pattern, Status* result) {
    Hold hold(link_);
    Status st = status::Ok;
    const int count = countFiles(pattern, &st);
    if (st == status::Ok && count > 0) {
        // count is at most 999 ("%3d"), so this stays small.
        buffer.assign(static_cast<std::size_t>(count) * (kListingEntrySize + 1) + 2, 0);
        st = command(cmd::ListFiles, {pattern, 1L});
        if (st == status::Ok)
            st = readChunkRaw(buffer.data(), static_cast<std::size_t>(count) * kListingEntrySize);
        buffer[static_cast<std::size_t>(count) * kListingEntrySize] = 0;
    }
    if (result)
        *result = st;
    return st == status::Ok ? count : 0;
}

Status CameraTransfers::formatCard() {
    return commandWithOkReply(cmd::FormatCard, {});
}

// ---- the picture list ----

PictureList CameraTransfers::listPictures() {
    PictureList list;
    // The status line's picture count tells whether the list below is whole.
    std::optional<int> announced;
    if (link_.requestStatus() == status::Ok) {
        const CameraStatus now = link_.status();
        if (now.pictures >= 0 && !now.picturesFlag)
            announced = now.pictures;
    }
    list.savedFlash = link_.status().flash;
    if (list.savedFlash != 0 && link_.execute(cmd::Flash, {0L}) == status::Ok)
        list.flashSwitchedOff = true;

    if (!link_.hasFileSystem()) {
        int listed = 0; // picture lines read (also those skipped or refused)
        int unreadableInRow = 0;
        bool sawEnd = false;
        Status lastFailure = status::Ok;
        for (int n = 1; n <= kMaxItemNumber && !sawEnd; ++n) {
            // The item line carries no checksum: read it until two readings agree.
            std::optional<ItemLine> agreed;
            std::vector<ItemLine> readings;
            Status st = status::Ok;
            for (int read = 0; read < kItemLineReads && !agreed; ++read) {
                ItemLine line;
                st = selectItem(n, 0, &line);
                endItemRead();
                if (st != status::Ok) {
                    if (st == status::IoFailed || st == status::LinkLost)
                        break;
                    link_.requestResync();
                    continue;
                }
                for (const ItemLine& earlier : readings)
                    if (sameItem(earlier, line))
                        agreed = line;
                readings.push_back(line);
            }
            if (!agreed) {
                // Not the end of the list: nothing said so. The next items are tried, and
                // the list counts as incomplete.
                lastFailure = st != status::Ok ? st : status::Failed;
                if (st == status::IoFailed || st == status::LinkLost ||
                    ++unreadableInRow >= kUnreadableItemsInRow)
                    break;
                continue;
            }
            unreadableInRow = 0;
            const ItemLine& line = *agreed;
            if (line.status == 0 && line.kind == 0)
                ++listed;
            auto record = std::make_shared<TransferItem>();
            record->pictureNumber = line.number;
            record->kind = line.kind;
            record->exposure = line.exposure;
            record->flash = line.flash;
            record->quality = line.quality;
            record->attribute = line.attribute;
            if (line.status == -1) {
                sawEnd = true;
                break;
            }
            if (line.status != 0)
                continue;
            if (line.kind == 0) {
                const std::int32_t size = std::max(line.size, 0);
                record->attribute = std::max(line.attribute, 0);
                if (size == 0)
                    continue;
                const std::uint32_t limit =
                    line.quality == kQualityUncompressed ? kFrameBufferSize : kMaxPictureSize;
                if (static_cast<std::uint32_t>(size) > limit) {
                    list.refused.push_back(
                        format("item %ld: picture of %ld bytes refused", line.number, size));
                    continue;
                }
                record->pictureSize = static_cast<std::uint32_t>(size);
                list.totalBytes += record->pictureSize;
                if (!list.records.empty() && list.records.back()->isSoundOnly()) {
                    record->soundNumber = list.records.back()->soundNumber;
                    record->soundSize = list.records.back()->soundSize;
                    list.records.back() = record;
                } else {
                    list.records.push_back(record);
                }
            } else if (line.kind == 1) {
                if (line.size <= 0 || static_cast<std::uint32_t>(line.size) > kMaxSoundSize) {
                    if (line.size > 0)
                        list.refused.push_back(format("item %ld: sound note of %ld bytes refused",
                                                      line.number, line.size));
                    continue;
                }
                record->soundNumber = line.number;
                record->soundSize = static_cast<std::uint32_t>(line.size);
                record->pictureSize = 0;
                list.totalBytes += record->soundSize;
                if (!list.records.empty() && list.records.back()->isSoundOnly()) {
                    // The earlier note belonged to no picture; its size leaves the total.
                    list.totalBytes -= list.records.back()->soundSize;
                    list.records.back() = record;
                } else {
                    list.records.push_back(record);
                }
            } else {
                // An unknown kind is kept as parsed but never read: its size is not trusted.
                list.records.push_back(record);
            }
        }
        if (!sawEnd && lastFailure == status::Ok)
            lastFailure = status::Failed;
        markIncomplete(list, listed, announced, sawEnd ? status::Ok : lastFailure);
        return list;
    }

    Bytes pictures;
    Bytes sounds;
    Status st = status::Ok;
    const int pictureCount = listAgreed(pictures, kPicturePattern, &st);
    const int soundCount = st == status::Ok ? listAgreed(sounds, kSoundPattern, &st) : 0;
    if (st != status::Ok) {
        list.result = st;
        list.refused.push_back("the memory card's file list could not be read");
        return list;
    }
    auto pictureEntries = parseListing(pictures, pictureCount);
    auto soundEntries = parseListing(sounds, soundCount);
    if (!pictureEntries || !soundEntries) {
        list.result = status::Failed;
        list.refused.push_back("the memory card's file listing is malformed");
        return list;
    }
    std::int16_t number = 0;
    for (const ListingEntry& entry : *pictureEntries) {
        ++number;
        if (entry.size == 0)
            continue;
        auto record = std::make_shared<TransferItem>();
        record->pictureNumber = number;
        record->pictureFile = entry.cardFileName();
        record->pictureSize = entry.size;
        list.totalBytes += entry.size;
        for (const ListingEntry& sound : *soundEntries) {
            if (sound.rawName == entry.rawName && sound.size > 0) {
                record->soundFile = sound.cardFileName();
                record->soundSize = sound.size;
                list.totalBytes += sound.size;
                break;
            }
        }
        list.records.push_back(record);
    }
    markIncomplete(list, static_cast<int>(pictureEntries->size()), announced, status::Ok);
    return list;
}

void CameraTransfers::markIncomplete(PictureList& list, int listed, std::optional<int> announced,
                                     Status ended) {
    if (ended == status::Ok && (!announced || listed >= *announced))
        return;
    list.result = ended != status::Ok ? ended : status::Failed;
    if (announced && *announced > listed)
        list.refused.push_back(format("%ld of the camera's %ld pictures were not listed",
                                      *announced - listed, *announced));
    else
        list.refused.push_back("the camera's picture list ended early");
}

void CameraTransfers::restoreFlash(const PictureList& list) {
    if (list.flashSwitchedOff)
        link_.execute(cmd::Flash, {long(list.savedFlash)});
}

// ---- retrieval ----

void CameraTransfers::retrieveItem(CameraWorker* worker,
                                   const std::shared_ptr<TransferItem>& item) {
    if (!item)
        return;
    const Status st = fetchItem(*item, worker);
    const bool stopped = worker && worker->stopRequested();
    if (!stopped) {
        if (st == status::Ok)
            events().transferNotice(notice::ItemReceived, item, 0);
        else
            events().transferNotice(notice::ItemFailed, nullptr, 0);
    }
    // Requests that arrived while blocks were read wait their turn behind this item.
    if (worker && !stopped) {
        for (WorkerRequest& request : deferred_)
            worker->post(std::move(request));
    }
    deferred_.clear();
}

bool CameraTransfers::readsWithoutChecksum() const {
    return link_.hasFileSystem() && !(link_.status().firmwareRevision() > kChecksumFirmware);
}

Status CameraTransfers::fetchPart(TransferItem& item, bool sound, CameraWorker* worker) {
    const std::uint32_t size = sound ? item.soundSize : item.pictureSize;
    Bytes& buffer = sound ? item.sound : item.picture;
    const bool fileSystem = link_.hasFileSystem();
    const std::string& file = sound ? item.soundFile : item.pictureFile;
    const std::uint32_t limit = sound ? kMaxSoundSize : kMaxPictureSize;
    if (size > limit ||
        (!sound && item.quality == kQualityUncompressed && !fileSystem && size > kFrameBufferSize))
        return status::Failed;
    try {
        const std::size_t reserve = (!sound && item.quality == kQualityUncompressed && !fileSystem)
                                        ? kFrameBufferSize
                                        : size;
        buffer.assign(reserve, 0);
    } catch (const std::bad_alloc&) {
        return status::Failed;
    }

    // Every read is kept by the assembly, which hands out a copy only when it can vouch for it
    // (part_assembly.h). The first read is the camera's standard one. Re-reads go in whole
    // blocks where some read holds the bytes already (a block that loses bytes is placed
    // against that copy) and in small pieces where none does; they end once the assembly can
    // vouch for the part, or after the last byte still in doubt.
    const PartCheck check = !fileSystem              ? PartCheck::WordSum
                            : readsWithoutChecksum() ? PartCheck::None
                                                     : PartCheck::CheckWord;
    PartAssembly assembly(size, check, link_.lineErrorRate());
    // A re-read ends as soon as what it brought so far lets the assembly vouch for the part.
    const auto enough = [&] {
        PartAssembly trial = assembly;
        trial.addRead(ByteSpan(buffer).first(size), ranges_, checkWord_, lost_);
        return trial.result().has_value();
    };
    Status st = status::Failed;
    const int attempts = check == PartCheck::None ? timing_.itemAttempts : timing_.rereadPasses;
    // Reads are counted; a selection that failed (a spoiled item line) costs little and only
    // counts towards a bound of its own.
    int reads = 0;
    for (int attempt = 0; reads < attempts && attempt < 2 * attempts; ++attempt) {
        if (link_.linkState() == LinkState::Lost) {
            st = status::LinkLost;
            break;
        }
        if (fileSystem) {
            st = openFile(file);
        } else {
            ItemLine line;
            st = selectItem(sound ? item.soundNumber : item.pictureNumber, sound ? 1 : 0, &line);
            // The line must describe the item the list announced, or the read would fill the
            // record with another item's bytes.
            if (st == status::Ok && (line.status != 0 || line.size != std::int32_t(size) ||
                                     line.kind != (sound ? 1 : 0)))
                st = status::Failed;
        }
        bool read = false;
        std::uint32_t requested = 0;
        if (st == status::Ok) {
            read = true;
            const bool first = reads++ == 0;
            if (check == PartCheck::None || (first && !link_.noisyLine())) {
                st = readBlocks(size, buffer, true, worker);
                requested = size;
            } else {
                // The first read of a line known to be noisy holds nothing to place lost bytes
                // against, so it goes in pieces from the start. A card's read goes to the end
                // until its check word is confirmed.
                const bool toEnd = first || (fileSystem && !assembly.wordConfirmed());
                st = readPieces(size, buffer, toEnd, assembly, worker, requested,
                                toEnd ? std::function<bool()>() : enough);
            }
        }
        if (fileSystem) {
            closeFile();
        } else if (read) {
            // The camera counts what it sent; a different count means a request went astray
            // and the blocks after the first failure are not in step.
            long count = -1;
            if (endItemRead(&count) != status::Ok || count != long(requested))
                trimRangesAfterFirstFailure();
        } else {
            endItemRead();
        }
        if (worker && worker->stopRequested())
            return status::Failed;
        if (read) {
            assembly.addRead(ByteSpan(buffer).first(size), ranges_, checkWord_, std::move(lost_));
            lost_.clear();
            retransmit_ += reads > 1 ? requested : 0;
        }
        if (auto copy = assembly.result()) {
            std::copy(copy->begin(), copy->end(), buffer.begin());
            if (check != PartCheck::None) {
                link_.setNoisyLine(reads > 1);
                link_.setLineErrorRate(assembly.errorRate());
            }
            return status::Ok;
        }
        if (st == status::IoFailed || st == status::LinkLost)
            break; // the device is gone: further attempts cannot succeed
        // A line this noisy would take many more reads than the budget allows: the item is
        // reported missing now instead of after every pass.
        if (check != PartCheck::None && reads >= 3 && assembly.confirmedBytes() * 2 < size)
            break;
        if (check != PartCheck::None && assembly.confirmedBytes() == size &&
            (check != PartCheck::CheckWord || assembly.wordConfirmed())) {
            st = status::Failed; // two reads agree on every byte, and the check fails: the
            break;               // camera's own data is bad, re-reading cannot mend it
        }
    }
    if (check != PartCheck::None && reads > 1) {
        link_.setNoisyLine(true);
        link_.setLineErrorRate(assembly.errorRate());
    }
    release(buffer);
    return st == status::Ok ? status::Failed : st;
}

void CameraTransfers::resyncAfter(Status failure) {
    // A read that timed out, and a block that failed its reply or count line, have seen the
    // line quiet already (or asked for the resync themselves); anything else may still be
    // followed by bytes of the camera's.
    if (failure != status::TimedOut && failure != status::Failed)
        link_.requestResync();
}

void CameraTransfers::trimRangesAfterFirstFailure() {
    lost_.clear(); // a block that came short may be another request's
    std::size_t end = 0;
    std::vector<PartAssembly::Range> kept;
    for (const auto& range : ranges_) {
        if (range.first != end)
            break;
        kept.push_back(range);
        end = range.second;
    }
    ranges_ = std::move(kept);
}

Status CameraTransfers::fetchItem(TransferItem& item, CameraWorker* worker) {
    item.result = status::Failed;
    bool pictureOk = true;
    if (item.pictureSize > 0) {
        item.result = fetchPart(item, false, worker);
        pictureOk = item.result == status::Ok;
    }
    if (item.soundSize > 0 && pictureOk) {
        if (worker && worker->stopRequested())
            return item.result = status::Failed;
        item.result = fetchPart(item, true, worker);
    }
    if (item.pictureSize == 0 && item.soundSize == 0)
        item.result = status::Failed;
    if (item.result != status::Ok) {
        release(item.picture);
        release(item.sound);
    }
    return item.result;
}

// ---- the block reader ----

Status CameraTransfers::readBlocks(std::uint32_t size, std::span<std::uint8_t> buffer,
                                   bool withProgress, CameraWorker* worker) {
    received_ = 0;
    stepsReported_ = 0;
    ranges_.clear();
    lost_.clear();
    checkWord_.reset();
    if (buffer.size() < size)
        return status::Failed;
    Hold hold(link_);
    const Status st = link_.hasFileSystem() ? readFileBlocks(size, buffer, withProgress, worker)
                                            : readPlainBlocks(size, buffer, withProgress, worker);
    return st;
}

Status CameraTransfers::requestData(int number, std::uint32_t length) {
    if (link_.linkState() == LinkState::Lost)
        return status::LinkLost;
    CommandText text;
    Status st = formatCommand(number, {long(length)}, text);
    Bytes reply;
    if (st == status::Ok)
        st = link_.sendCommand(text.view(), reply, number);
    if (st != status::Ok)
        return st;
    // A reply spoiled on the line (or a refusal) is not followed by bytes we could trust:
    // whatever comes is dropped until the line is quiet, which keeps it in step without
    // waiting a whole time-out.
    if (!isOkReply(reply)) {
        // The reply came (spoiled): once the line is quiet, nothing of it is left to wait for.
        if (quietAfterData())
            link_.cancelResync();
        return status::Failed;
    }
    return status::Ok;
}

Status CameraTransfers::readBlockOnce(std::uint32_t length, std::uint8_t* buffer,
                                      std::size_t* received) {
    if (received)
        *received = 0;
    Status st = requestData(cmd::ReadBlock, length);
    if (st != status::Ok)
        return st;
    // The count line follows the reply without a pause.
    std::array<std::uint8_t, 8> line{};
    st = link_.readReply(line.data(), line.size(), link_.port().dataGap());
    if (st != status::Ok)
        return st;
    // The count line must announce the block asked for; otherwise the bytes that follow are
    // dropped the same way.
    if (parseCountLine(line) != long(length)) {
        quietAfterData();
        return status::Failed;
    }
    return readPictureData(buffer, length, received);
}

void CameraTransfers::keepLost(std::size_t from, std::size_t length, const std::uint8_t* data,
                               std::size_t received) {
    if (received > 0 && received < length)
        lost_.push_back({from, length, Bytes(data, data + received)});
}

bool CameraTransfers::betweenBlocks(std::size_t blockLength, bool withProgress,
                                    CameraWorker* worker) {
    if (worker) {
        while (auto request = worker->takeWaiting()) {
            if (worker->stopRequested())
                return false;
            deferred_.push_back(std::move(*request));
        }
    }
    if (withProgress) {
        received_ += static_cast<long>(blockLength);
        while (received_ / static_cast<long>(kBlockSize) > stepsReported_) {
            ++stepsReported_;
            events().transferNotice(notice::ProgressStep, nullptr, 0);
        }
    }
    return true;
}

Status CameraTransfers::readPlainBlocks(std::uint32_t size, std::span<std::uint8_t> buffer,
                                        bool withProgress, CameraWorker* worker) {
    // Each block is asked for on its own and the camera moves on by the length asked, so a
    // block that did not come whole leaves the next ones in step: it is left out and the read
    // goes on (asking for it again would bring the next block's bytes in its place).
    // Once a block failed, the line is noisy: the rest goes in smaller blocks, so that each
    // loss costs less.
    std::uint32_t pos = 0;
    std::size_t blockLength = kBlockSize;
    Status failure = status::Ok;
    while (pos < size) {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::size_t>(blockLength, size - pos));
        std::size_t got = 0;
        const Status st = readBlockOnce(length, buffer.data() + pos, &got);
        if (st == status::Ok) {
            ranges_.emplace_back(pos, pos + length);
        } else {
            keepLost(pos, length, buffer.data() + pos, got);
            if (failure == status::Ok)
                failure = st;
            if (st == status::IoFailed || st == status::LinkLost)
                break;
            resyncAfter(st);
            blockLength = kFirstPieceLength;
        }
        pos += length;
        if (!betweenBlocks(length, withProgress, worker))
            return status::Failed;
    }
    if (failure == status::Ok && wordSum(buffer.first(size)) != 0xFFFF)
        failure = status::Failed;
    if (failure != status::Ok)
        events().transferNotice(notice::TransferError, nullptr, long(size));
    return failure;
}

Status CameraTransfers::readFileBlocks(std::uint32_t size, std::span<std::uint8_t> buffer,
                                       bool withProgress, CameraWorker* worker) {
    Status st = command(cmd::ReadFile, {long(size)});
    if (st != status::Ok)
        return st;
    // One continuous stream: a lost byte moves everything after it up, and every later chunk
    // still fills up with the bytes that follow, so only the stream's end shows the loss. A
    // stream that came short is kept whole (check word included) as a lost block, for the
    // assembly to place once other reads show where its bytes belong.
    const bool withWord = !readsWithoutChecksum();
    const auto streamLost = [&](std::size_t dataGot, const std::uint8_t* word,
                                std::size_t wordGot) {
        if (withWord) {
            Bytes stream(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(dataGot));
            stream.insert(stream.end(), word, word + wordGot);
            keepLost(0, size + 2, stream.data(), stream.size());
        }
        events().transferNotice(notice::TransferError, nullptr, long(size));
    };
    std::uint32_t pos = 0;
    while (pos < size) {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::size_t>(kBlockSize, size - pos));
        std::size_t got = 0;
        st = readPictureData(buffer.data() + pos, length, &got);
        if (st != status::Ok) {
            resyncAfter(st);
            streamLost(pos + got, nullptr, 0);
            return st;
        }
        pos += length;
        if (!betweenBlocks(length, withProgress, worker))
            return status::Failed;
    }
    if (withWord) {
        std::array<std::uint8_t, 2> word{};
        std::size_t got = 0;
        st = readPictureData(word.data(), word.size(), &got);
        if (st != status::Ok) {
            resyncAfter(st);
            streamLost(size, word.data(), got);
            return st;
        }
        checkWord_ = loadLe16(word, 0);
    }
    ranges_.emplace_back(0, size);
    if (checkWord_ &&
        static_cast<std::uint16_t>(wordSum(buffer.first(size)) + *checkWord_) != 0xFFFF) {
        events().transferNotice(notice::TransferError, nullptr, long(size));
        return status::Failed;
    }
    return status::Ok;
}

Status CameraTransfers::readPieces(std::uint32_t size, std::span<std::uint8_t> buffer, bool toEnd,
                                   const PartAssembly& assembly, CameraWorker* worker,
                                   std::uint32_t& requested, const std::function<bool()>& enough) {
    received_ = 0;
    stepsReported_ = 0;
    ranges_.clear();
    lost_.clear();
    checkWord_.reset();
    requested = 0;
    Hold hold(link_);
    const bool card = link_.hasFileSystem();
    const std::uint32_t end =
        toEnd ? size
              : static_cast<std::uint32_t>(std::min<std::size_t>(size, assembly.neededEnd()));
    Status failure = status::Ok;
    std::uint32_t pos = 0;
    while (pos < end) {
        // Bytes some read holds go in whole blocks: a block that loses bytes on the way is
        // still placed against that read's copy. Bytes no read holds go in pieces, so that a
        // loss costs only a piece.
        const std::size_t next = assembly.nextUnheld(pos);
        std::size_t length =
            next > pos ? next - pos
                       : std::min<std::size_t>(kFirstPieceLength, assembly.unheldRunEnd(pos) - pos);
        length = std::min<std::size_t>({length, kBlockSize, end - pos});
        const auto n = static_cast<std::uint32_t>(length);
        Status st = status::Ok;
        std::size_t got = 0;
        // A card sends its check word right after the file's last byte: the last piece and the
        // word are read as one, so that a piece that lost a byte cannot pass for whole.
        const bool withWord = card && pos + n == size && !readsWithoutChecksum();
        Bytes tail(withWord ? n + 2 : 0);
        if (card) {
            st = requestData(cmd::ReadFile, n);
            if (st == status::Ok)
                st = withWord ? readPictureData(tail.data(), tail.size(), &got)
                              : readPictureData(buffer.data() + pos, n, &got);
            if (withWord) {
                std::copy_n(tail.begin(), std::min<std::size_t>(got, n), buffer.begin() + pos);
                if (st == status::Ok)
                    checkWord_ = loadLe16(tail, n);
            }
        } else {
            st = readBlockOnce(n, buffer.data() + pos, &got);
        }
        if (st == status::Ok) {
            ranges_.emplace_back(pos, pos + n);
        } else {
            if (withWord)
                keepLost(pos, n + 2, tail.data(), got);
            else
                keepLost(pos, n, buffer.data() + pos, got);
            if (failure == status::Ok)
                failure = st;
            if (st == status::IoFailed || st == status::LinkLost)
                return st;
            resyncAfter(st);
        }
        pos += n;
        requested += n;
        if (!betweenBlocks(n, true, worker))
            return status::Failed;
        if (enough && enough())
            return status::Ok; // nothing further is needed
    }
    if (failure != status::Ok)
        events().transferNotice(notice::TransferError, nullptr, long(size));
    return failure;
}

// ---- parameter record ----

Status CameraTransfers::readParameterRecord(Bytes& record) {
    const int savedMode = link_.pingMode();
    link_.setPingMode(0);
    record.assign(kParameterRecordSize, 0);
    Status st;
    {
        Hold hold(link_);
        st = command(cmd::ReadParameters, {long(kParameterRecordSize)});
        if (st == status::Ok)
            st = readChunkRaw(record.data(), record.size());
    }
    link_.setPingMode(savedMode);
    if (st != status::Ok)
        return st;
    // Record version 1 keeps a second copy of the sixteen values at 36-67 at 88-119.
    if (loadLe32(record, 0) == 1)
        std::copy(record.begin() + 36, record.begin() + 68, record.begin() + 88);
    return status::Ok;
}

Status CameraTransfers::writeParameterRecord(ByteSpan record) {
    if (record.size() != kParameterRecordSize)
        return status::Failed;
    const int savedMode = link_.pingMode();
    link_.setPingMode(0);
    Status st;
    {
        Hold hold(link_);
        st = command(cmd::AnnounceWrite, {});
        if (st == status::Ok)
            st = command(cmd::WriteParameters, {long(record.size()), long(byteSum(record))});
        if (st == status::Ok)
            st = link_.port().write(record);
        std::array<std::uint8_t, 4> reply{};
        if (st == status::Ok)
            st = readChunkRaw(reply.data(), reply.size()); // first reply: any content
        if (st == status::Ok) {
            wait(timing_.parameterWait);
            reply.fill(0);
            st = readChunkRaw(reply.data(), reply.size());
            if (st == status::Ok && !isOkReply(reply))
                st = status::Failed;
        }
        wait(timing_.parameterWait);
    }
    link_.setPingMode(savedMode);
    return st;
}

// ---- memories ----

Status CameraTransfers::uploadBlocks(int command, long start, Bytes& buffer,
                                     const std::function<void(long)>& afterBlock, bool showRetries,
                                     Operator& op) {
    const long size = static_cast<long>(buffer.size());
    int failures = 0;
    int overruns = 0;
    long pos = 0;
    while (pos < size) {
        const long length = std::min<long>(static_cast<long>(kBlockSize), size - pos);
        Status st;
        {
            Hold hold(link_);
            st = this->command(command, {start + pos, length});
            if (st == status::Ok)
                st = readChunkRaw(buffer.data() + pos, static_cast<std::size_t>(length));
        }
        if (st == status::Overrun && ++overruns < kOverrunsPerBlock) {
            retransmit_ += length;
            if (showRetries)
                op.setProgressText(format("Retransmit Count: %ld", retransmit_));
            drainInput();
            continue;
        }
        overruns = 0;
        if (st == status::Ok) {
            pos += length;
            failures = 0;
            afterBlock(pos);
            op.pumpMessages();
            if (op.cancelled())
                return status::Failed;
            continue;
        }
        if (++failures >= 4) {
            op.message(format("Communication error: %ld", st));
            return status::Failed;
        }
        if (showRetries)
            op.setProgressText(format("Error %ld at startByte %ld", st, start + pos));
        retransmit_ += length;
        drainInput();
    }
    return status::Ok;
}

Status CameraTransfers::uploadMemory(int command, long start, long size, Bytes& buffer,
                                     std::string_view title, Operator& op) {
    if (size <= 0 || size > kMaxUploadSize || start < 0)
        return status::Failed;
    buffer.assign(static_cast<std::size_t>(size), 0);
    const std::int16_t savedFlash = link_.status().flash;
    link_.execute(cmd::Flash, {0L});
    op.beginProgress(title, size / static_cast<long>(kBlockSize));
    retransmit_ = 0;
    const Status st = uploadBlocks(
        command, start, buffer,
        [&](long pos) { op.setProgress(pos / static_cast<long>(kBlockSize)); }, true, op);
    op.endProgress();
    link_.execute(cmd::Flash, {long(savedFlash)});
    return st;
}

Status CameraTransfers::uploadMemoryPlain(int command, long start, long size, Bytes& buffer,
                                          const std::function<std::string(long)>& progressText,
                                          Operator& op) {
    if (size <= 0 || size > kMaxUploadSize || start < 0)
        return status::Failed;
    buffer.assign(static_cast<std::size_t>(size), 0);
    wait(timing_.plainUploadDelay);
    retransmit_ = 0;
    return uploadBlocks(
        command, start, buffer,
        [&](long pos) {
            if (progressText)
                op.setProgressText(progressText(pos));
        },
        false, op);
}

Status CameraTransfers::downloadBlocks(ByteSpan data, long end, long start, int command,
                                       Operator& op) {
    if (start < 0 || end < start || static_cast<std::size_t>(end) > data.size())
        return status::Failed;
    link_.setLinkState(LinkState::NoAnswer);
    const std::int16_t savedFlash = link_.status().flash;
    link_.execute(cmd::Flash, {0L});
    op.setWaitCursor(true);
    retransmit_ = 0;
    int failures = 0;
    long pos = start;
    Status st = status::Ok;
    while (pos < end) {
        const long length = std::min<long>(static_cast<long>(kBlockSize), end - pos);
        const ByteSpan block =
            data.subspan(static_cast<std::size_t>(pos), static_cast<std::size_t>(length));
        const long checksum = blockChecksum(block);
        {
            Hold hold(link_);
            st = link_.executeSimple(cmd::AnnounceWrite);
            if (st == status::Ok) {
                if (command == cmd::WriteGamma)
                    st = this->command(command, {2048L, checksum});
                else
                    st = this->command(command, {pos, length, checksum});
            }
            if (st == status::Ok)
                st = link_.port().write(block);
            std::array<std::uint8_t, 4> reply{};
            if (st == status::Ok)
                st = readChunkRaw(reply.data(), reply.size());
            if (st == status::Ok && !isOkReply(reply))
                st = status::Failed;
        }
        if (st == status::Ok) {
            pos += length;
            failures = 0;
            const char* text =
                command == cmd::WriteGain
                    ? (retransmit_ > 0 ? "Downloading Gain Data: %ld - Retransmit: %ld"
                                       : "Downloading Gain Data: %ld")
                : command == cmd::WriteBlemish ? "Downloading Blemish Data: %ld"
                : command == cmd::WriteDram    ? "Downloading Dram Data: %ld"
                                               : nullptr;
            if (text)
                op.setProgressText(format(text, pos, retransmit_));
            op.pumpMessages();
            continue;
        }
        retransmit_ += length;
        drainInput();
        if (++failures >= 5)
            break;
    }
    if (pos >= end) {
        op.setProgressText("Camera programming Flash memory");
        for (int poll = 0; poll < timing_.flashPolls; ++poll) {
            st = link_.requestStatus();
            if (st == status::Ok)
                break;
            wait(timing_.flashPoll);
            op.pumpMessages();
        }
    }
    // A link lost meanwhile stays lost: Lost is final for the object.
    if (link_.linkState() != LinkState::Lost)
        link_.setLinkState(LinkState::Ready);
    link_.execute(cmd::Flash, {long(savedFlash)});
    op.setWaitCursor(false);
    return st;
}

} // namespace kv::camera
