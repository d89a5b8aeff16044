#include "camera/transfers.h"

#include "camera/memory_listing.h"
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
constexpr int kItemLineReads = 4;
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
    return isOkReply(reply) ? status::Ok : status::Failed;
}

Status CameraTransfers::readLine(std::uint8_t* buffer, std::size_t length) {
    std::memset(buffer, 0, length);
    return link_.readReply(buffer, length);
}

Status CameraTransfers::readChunkRaw(std::uint8_t* buffer, std::size_t length) {
    Hold hold(*this);
    std::size_t got = 0;
    int emptyAfterStart = 0;
    for (int attempt = 0; attempt < timing_.rawReadRetries; ++attempt) {
        const Status st = link_.port().read(buffer + got, length - got);
        const std::size_t arrived = std::min(link_.port().lastReadCount(), length - got);
        got += arrived;
        if (st == status::Ok && got == length)
            return status::Ok;
        if (st != status::Ok && st != status::TimedOut)
            return st;
        // The camera may take its time before the first byte; once its data flows, a gap
        // of several time-outs means bytes were lost, and waiting longer cannot bring them.
        emptyAfterStart = (got > 0 && arrived == 0) ? emptyAfterStart + 1 : 0;
        if (emptyAfterStart >= timing_.stalledReads)
            return status::TimedOut;
        sleepFor(timing_.rawRetrySleep);
    }
    return status::TimedOut;
}

void CameraTransfers::drainInput() {
    Hold hold(*this);
    std::array<std::uint8_t, 512> scratch;
    // Bounded: a camera that never stops talking cannot keep us here.
    for (int i = 0; i < 4096; ++i) {
        const Status st = link_.port().read(scratch.data(), scratch.size());
        if (st != status::Ok && link_.port().lastReadCount() == 0)
            return;
    }
}

Status CameraTransfers::selectItem(int number, int kind, ItemLine* line) {
    Hold hold(*this);
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

Status CameraTransfers::endItemRead() {
    Hold hold(*this);
    Status st = command(cmd::EndItemRead, {});
    if (st != status::Ok)
        return st;
    std::array<std::uint8_t, 8> text;
    return readLine(text.data(), text.size());
}

Status CameraTransfers::eraseAll() {
    return link_.execute(cmd::EraseAll);
}

// ---- memory card ----

Status CameraTransfers::commandWithOkReply(int number, std::initializer_list<CommandArg> args) {
    Hold hold(*this);
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
    Hold hold(*this);
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

int CameraTransfers::listFiles(Bytes& buffer, std::string_view pattern, Status* result) {
    Hold hold(*this);
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
    list.savedFlash = link_.status().flash;
    if (list.savedFlash != 0 && link_.execute(cmd::Flash, {0L}) == status::Ok)
        list.flashSwitchedOff = true;

    if (!link_.hasFileSystem()) {
        for (int n = 1; n <= kMaxItemNumber; ++n) {
            // The item line carries no checksum: read it until two readings agree.
            std::optional<ItemLine> agreed;
            std::optional<ItemLine> previous;
            Status st = status::Ok;
            for (int read = 0; read < kItemLineReads && !agreed; ++read) {
                ItemLine line;
                st = selectItem(n, 0, &line);
                endItemRead();
                if (st != status::Ok) {
                    drainInput();
                    continue;
                }
                if (previous && sameItem(*previous, line))
                    agreed = line;
                previous = line;
            }
            if (!agreed) {
                if (st != status::Ok && n == 1)
                    list.result = st;
                break;
            }
            const ItemLine& line = *agreed;
            auto record = std::make_shared<TransferItem>();
            record->pictureNumber = line.number;
            record->kind = line.kind;
            record->exposure = line.exposure;
            record->flash = line.flash;
            record->quality = line.quality;
            record->attribute = line.attribute;
            if (line.status == -1)
                break;
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
        return list;
    }

    Bytes pictures;
    Bytes sounds;
    Status st = status::Ok;
    const int pictureCount = listFiles(pictures, kPicturePattern, &st);
    const int soundCount = st == status::Ok ? listFiles(sounds, kSoundPattern, &st) : 0;
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
    return list;
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

    // Every attempt's blocks are kept. When no attempt arrives whole, a block that two
    // attempts received alike is taken as received, and a copy put together from such blocks
    // is accepted when it passes the camera's checksum. Without a checksum (older card
    // firmware) nothing else vouches for the bytes, so there every block must have been
    // received alike twice, also when a read went through.
    const bool needTwoReads = readsWithoutChecksum();
    std::vector<BlockAttempt> history;
    Status st = status::Failed;
    for (int attempt = 0; attempt < timing_.itemAttempts; ++attempt) {
        if (link_.linkState() == LinkState::Lost)
            return status::LinkLost;
        if (attempt > 0)
            drainInput();
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
        if (st == status::Ok) {
            try {
                const std::size_t reserve =
                    (!sound && item.quality == kQualityUncompressed && !fileSystem)
                        ? kFrameBufferSize
                        : size;
                buffer.assign(reserve, 0);
            } catch (const std::bad_alloc&) {
                return status::Failed;
            }
            st = readBlocks(size, buffer, true, worker);
            read = true;
        }
        if (fileSystem)
            closeFile();
        else
            endItemRead();
        if (worker && worker->stopRequested())
            return status::Failed;
        if (st == status::Ok && !needTwoReads)
            return st;
        if (read && goodBlocks_ > 0)
            history.push_back(
                {Bytes(buffer.begin(), buffer.begin() + size), goodBlocks_, checkWord_});
        if (voteBlocks(history, size, buffer))
            return status::Ok;
        if (st == status::Ok)
            st = status::Failed; // read whole, but not yet confirmed by a second read
        if (st == status::IoFailed || st == status::LinkLost)
            break; // the device is gone: further attempts cannot succeed
    }
    release(buffer);
    return st;
}

bool CameraTransfers::voteBlocks(const std::vector<BlockAttempt>& history, std::uint32_t size,
                                 Bytes& buffer) const {
    if (history.size() < 2)
        return false;
    const std::size_t blocks = (size + kBlockSize - 1) / kBlockSize;
    Bytes voted(size);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t from = b * kBlockSize;
        const std::size_t length = std::min<std::size_t>(kBlockSize, size - from);
        bool found = false;
        for (std::size_t i = 0; i < history.size() && !found; ++i) {
            if (history[i].goodBlocks <= b)
                continue;
            for (std::size_t j = i + 1; j < history.size() && !found; ++j) {
                if (history[j].goodBlocks <= b)
                    continue;
                if (std::equal(history[i].data.begin() + from,
                               history[i].data.begin() + from + length,
                               history[j].data.begin() + from)) {
                    std::copy_n(history[i].data.begin() + from, length, voted.begin() + from);
                    found = true;
                }
            }
        }
        if (!found)
            return false;
    }
    if (link_.hasFileSystem()) {
        if (!readsWithoutChecksum()) {
            // The checksum word must itself have come alike twice.
            std::optional<std::uint16_t> word;
            for (std::size_t i = 0; i < history.size() && !word; ++i)
                for (std::size_t j = i + 1; j < history.size() && !word; ++j)
                    if (history[i].checkWord && history[i].checkWord == history[j].checkWord)
                        word = history[i].checkWord;
            if (!word || static_cast<std::uint16_t>(wordSum(voted) + *word) != 0xFFFF)
                return false;
        }
    } else if (wordSum(voted) != 0xFFFF) {
        return false;
    }
    std::copy(voted.begin(), voted.end(), buffer.begin());
    return true;
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
    goodBlocks_ = 0;
    checkWord_.reset();
    if (buffer.size() < size)
        return status::Failed;
    Hold hold(*this);
    const Status st = link_.hasFileSystem() ? readFileBlocks(size, buffer, withProgress, worker)
                                            : readPlainBlocks(size, buffer, withProgress, worker);
    return st;
}

Status CameraTransfers::readBlockOnce(std::uint32_t length, std::uint8_t* buffer) {
    Status st = command(cmd::ReadBlock, {long(length)});
    if (st != status::Ok)
        return st;
    std::array<std::uint8_t, 8> line;
    st = readLine(line.data(), line.size());
    if (st != status::Ok)
        return st;
    return readChunkRaw(buffer, length);
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
    std::uint32_t pos = 0;
    bool resent = false;
    while (pos < size) {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::size_t>(kBlockSize, size - pos));
        Status st = readBlockOnce(length, buffer.data() + pos);
        if (st == status::TimedOut) {
            resent = true; // what follows may be shifted: no longer trusted block by block
            sleepFor(timing_.resendDelay);
            drainInput();
            st = readBlockOnce(length, buffer.data() + pos);
        }
        if (st != status::Ok) {
            events().transferNotice(notice::TransferError, nullptr, long(size));
            return st;
        }
        if (!resent)
            ++goodBlocks_;
        pos += length;
        if (!betweenBlocks(length, withProgress, worker))
            return status::Failed;
    }
    if (wordSum(buffer.first(size)) != 0xFFFF) {
        events().transferNotice(notice::TransferError, nullptr, long(size));
        return status::Failed;
    }
    return status::Ok;
}

Status CameraTransfers::readFileBlocks(std::uint32_t size, std::span<std::uint8_t> buffer,
                                       bool withProgress, CameraWorker* worker) {
    Status st = command(cmd::ReadFile, {long(size)});
    if (st != status::Ok)
        return st;
    std::uint32_t pos = 0;
    while (pos < size) {
        const auto length =
            static_cast<std::uint32_t>(std::min<std::size_t>(kBlockSize, size - pos));
        st = readChunkRaw(buffer.data() + pos, length);
        if (st != status::Ok) {
            events().transferNotice(notice::TransferError, nullptr, long(size));
            return st;
        }
        ++goodBlocks_;
        pos += length;
        if (!betweenBlocks(length, withProgress, worker))
            return status::Failed;
    }
    if (link_.status().firmwareRevision() > kChecksumFirmware) {
        std::array<std::uint8_t, 2> word{};
        st = readChunkRaw(word.data(), word.size());
        if (st == status::Ok)
            checkWord_ = loadLe16(word, 0);
        const auto sum =
            static_cast<std::uint16_t>(wordSum(buffer.first(size)) + loadLe16(word, 0));
        if (st != status::Ok || sum != 0xFFFF) {
            events().transferNotice(notice::TransferError, nullptr, long(size));
            return st != status::Ok ? st : status::Failed;
        }
    }
    return status::Ok;
}

// ---- parameter record ----

Status CameraTransfers::readParameterRecord(Bytes& record) {
    const int savedMode = link_.pingMode();
    link_.setPingMode(0);
    record.assign(kParameterRecordSize, 0);
    Status st;
    {
        Hold hold(*this);
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
        Hold hold(*this);
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
            Hold hold(*this);
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
            Hold hold(*this);
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
