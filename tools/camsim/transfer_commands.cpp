// The bench camera's transfer side. Every item of a camera without a card ends in a 16-bit
// check word that brings the word sum of the item to 0xFFFF, as the camera's own items do;
// card files get their check word after the data (firmware above 2.022).

#include "camsim/transfer_commands.h"

#include "camera/command_table.h"
#include "camera/memory_listing.h"
#include "diagnostics/downloads.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace kv::camsim {
namespace {

constexpr const char* kStoreKey = "transfers";
constexpr std::size_t kMaxBlock = 8192;
constexpr auto kReceiveLimit = std::chrono::milliseconds(5000);

// What the camera thread remembers between commands (only the camera thread touches it).
struct Session {
    int selected = 0; // item number being read, 0 = none
    std::size_t position = 0;
    int passes = 0;                     // selections of flaky items so far
    long lineReads = 0;                 // readings of flaky item lines so far
    const CardFile* openFile = nullptr; // points into the store; cleared by erase/format
    std::string openName;
    std::size_t filePosition = 0; // of the open card file
    bool announced = false;       // "L0" came before the block
};

bool isCardCamera(const CameraState& state) {
    return (state.type & 0x400) != 0;
}

double firmwareOf(const CameraState& state) {
    return std::atof(state.firmware.c_str());
}

std::string paddedLine(const std::string& text, std::size_t length) {
    std::string line = text;
    line.resize(length - 2, ' ');
    line += "\r\n";
    return line;
}

void grow(Bytes& image, std::size_t end) {
    if (image.size() < end)
        image.resize(end, 0);
}

} // namespace

// ---- standard content ----

namespace {

const std::vector<StoredItem>& standardItems() {
    static std::vector<StoredItem> items;
    static std::once_flag once;
    std::call_once(once, [] {
        TransferStore store;
        fillStandardItems(store);
        items = std::move(store.items);
    });
    return items;
}

const std::vector<StoredItem>& standardVariantBItems() {
    static std::vector<StoredItem> items;
    static std::once_flag once;
    std::call_once(once, [] {
        TransferStore store;
        fillVariantBItems(store);
        items = std::move(store.items);
    });
    return items;
}

const std::vector<CardFile>& standardCard() {
    static std::vector<CardFile> files;
    static std::once_flag once;
    std::call_once(once, [] {
        TransferStore store;
        fillStandardCard(store);
        files = std::move(store.cardFiles);
    });
    return files;
}

} // namespace

TransferStore& transferStore(CameraState& state) {
    auto it = state.extra.find(kStoreKey);
    if (it == state.extra.end()) {
        auto store = std::make_shared<TransferStore>();
        if (isCardCamera(state))
            store->cardFiles = standardCard();
        else if ((state.type & 0x1000) != 0)
            store->items = standardVariantBItems();
        else
            store->items = standardItems();
        it = state.extra.emplace(kStoreKey, store).first;
    }
    return *std::any_cast<std::shared_ptr<TransferStore>&>(it->second);
}

void syncPictureCount(CameraState& state) {
    state.pictures = transferStore(state).pictureCount(isCardCamera(state));
}

// ---- handlers ----

namespace {

void sendRawText(BenchCamera& cam, std::string_view text) {
    cam.sendRaw(ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void sendCountLine(BenchCamera& cam, long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%6ld\r\n", value);
    cam.sendReply(text);
}

// B1 on a camera without a card: the next n bytes of the selected item.
void readItemBlock(BenchCamera& cam, Session& session, const BenchCommand& c) {
    const long n = c.number(0, -1);
    auto guard = cam.lock();
    TransferStore& store = transferStore(cam.state());
    if (session.selected < 1 || session.selected > static_cast<int>(store.items.size()) || n <= 0 ||
        n > static_cast<long>(kMaxBlock)) {
        guard.unlock();
        cam.sendRefusal();
        return;
    }
    const Bytes& data = store.items[static_cast<std::size_t>(session.selected - 1)].data;
    if (session.position + static_cast<std::size_t>(n) > data.size()) {
        guard.unlock();
        cam.sendRefusal();
        return;
    }
    Bytes block(data.begin() + static_cast<std::ptrdiff_t>(session.position),
                data.begin() + static_cast<std::ptrdiff_t>(session.position + n));
    const StoredItem& stored = store.items[static_cast<std::size_t>(session.selected - 1)];
    if (stored.flakyBlocks) {
        const std::size_t blocks = (data.size() + kMaxBlock - 1) / kMaxBlock;
        if (session.position / kMaxBlock == static_cast<std::size_t>(session.passes) % blocks)
            block[block.size() / 2] ^= 0x5A;
    }
    session.position += static_cast<std::size_t>(n);
    const std::optional<long> shift = store.blockCountShift;
    const std::optional<std::string> text = store.blockCountText;
    guard.unlock();
    cam.sendOk();
    if (text)
        cam.sendReply(*text);
    else
        sendCountLine(cam, n + shift.value_or(0));
    cam.sendRaw(block);
}

// B1 on a card camera: the next n bytes of the open file (the whole file, or a piece of up
// to 8192 bytes), and once its last byte went out, its check word on newer firmware.
void readCardFile(BenchCamera& cam, Session& session, const BenchCommand& c) {
    const long n = c.number(0, -1);
    auto guard = cam.lock();
    const bool checkWord = firmwareOf(cam.state()) > 2.022;
    TransferStore& store = transferStore(cam.state());
    const CardFile* file = store.findCardFile(session.openName);
    const std::size_t size = file ? file->data.size() : 0;
    if (!session.openFile || file != session.openFile || n <= 0 ||
        (static_cast<std::size_t>(n) != size && n > static_cast<long>(kMaxBlock)) ||
        session.filePosition + static_cast<std::size_t>(n) > size) {
        guard.unlock();
        cam.sendRefusal();
        return;
    }
    const auto from = static_cast<std::ptrdiff_t>(session.filePosition);
    const Bytes piece(file->data.begin() + from, file->data.begin() + from + n);
    session.filePosition += static_cast<std::size_t>(n);
    Bytes word;
    if (checkWord && session.filePosition == size)
        appendLe16(word, static_cast<std::uint16_t>(0xFFFF - camera::wordSum(file->data)));
    guard.unlock();
    cam.sendOk();
    cam.sendRaw(piece);
    if (!word.empty())
        cam.sendRaw(word);
}

// D1, D2, D3, U1: a block the host writes after "L0", checked against its byte sum.
void receiveDownload(BenchCamera& cam, Session& session, const BenchCommand& c, int row) {
    const bool gamma = row == camera::cmd::WriteGamma;
    const long start = gamma ? 0 : c.number(0, -1);
    const long length = gamma ? c.number(0, -1) : c.number(1, -1);
    const long checksum = gamma ? c.number(1, -1) : c.number(2, -1);
    const std::size_t memoryLimit = row == camera::cmd::WriteDram ? kDramSize : (4u << 20);
    const bool announced = session.announced;
    session.announced = false;
    if (!announced || start < 0 || length <= 0 || length > static_cast<long>(kMaxBlock) ||
        static_cast<std::size_t>(start + length) > memoryLimit) {
        cam.sendRefusal();
        return;
    }
    cam.sendOk();
    Bytes block(static_cast<std::size_t>(length));
    const bool got = cam.receiveRaw(block.data(), block.size(), kReceiveLimit);
    const bool good = got && camera::blockChecksum(block) == static_cast<std::uint16_t>(checksum);
    {
        auto guard = cam.lock();
        TransferStore& store = transferStore(cam.state());
        if (good) {
            Bytes& image = row == camera::cmd::WriteGain      ? store.gain
                           : row == camera::cmd::WriteBlemish ? store.blemish
                           : row == camera::cmd::WriteGamma   ? store.gamma
                                                              : store.dram;
            grow(image, static_cast<std::size_t>(start + length));
            std::copy(block.begin(), block.end(), image.begin() + start);
            // The gain image is programmed where "U2" reads it back.
            const auto flashAt = static_cast<std::size_t>(diagnostics::kGainFlashAddress + start);
            if (row == camera::cmd::WriteGain && flashAt + block.size() <= store.fram.size())
                std::copy(block.begin(), block.end(), store.fram.begin() + long(flashAt));
        }
        store.downloads.push_back({row, start, length, checksum, good});
    }
    if (got)
        sendRawText(cam, good ? "OK\r\n" : "NG\r\n");
}

// U0, U2: raw memory reads. U2 addresses below 1 MiB are FRAM, above it the PC card.
void readMemory(BenchCamera& cam, const BenchCommand& c, bool dram) {
    const long start = c.number(0, -1);
    const long length = c.number(1, -1);
    auto guard = cam.lock();
    TransferStore& store = transferStore(cam.state());
    const Bytes* memory = &store.dram;
    long offset = start;
    if (!dram) {
        memory = start < static_cast<long>(kFramSize) ? &store.fram : &store.pcCard;
        if (memory == &store.pcCard)
            offset = start - static_cast<long>(kFramSize);
    }
    if (start < 0 || length <= 0 || length > static_cast<long>(kMaxBlock) || offset < 0 ||
        static_cast<std::size_t>(offset + length) > memory->size()) {
        guard.unlock();
        cam.sendRefusal();
        return;
    }
    const Bytes block(memory->begin() + offset, memory->begin() + offset + length);
    guard.unlock();
    cam.sendOk();
    cam.sendRaw(block);
}

} // namespace

void registerTransferCommands(BenchCamera& camera) {
    auto session = std::make_shared<Session>();
    {
        // The content is made now, so that no command waits for it.
        auto guard = camera.lock();
        syncPictureCount(camera.state());
        auto& items = transferStore(camera.state()).items;
        const int unreadable = camera.options().unreadableItem;
        if (unreadable >= 1 && unreadable <= static_cast<int>(items.size()))
            items[static_cast<std::size_t>(unreadable - 1)].flakyLine = true;
    }

    // B0: select a stored item (no card) or open a card file.
    camera.addHandler("B0", [session](BenchCamera& cam, const BenchCommand& c) {
        auto guard = cam.lock();
        CameraState& state = cam.state();
        TransferStore& store = transferStore(state);
        if (isCardCamera(state)) {
            session->openName = c.count() > 0 ? c.args[0] : "";
            session->openFile = store.findCardFile(session->openName);
            session->filePosition = 0;
            const bool found = session->openFile != nullptr;
            guard.unlock();
            cam.sendOk();
            sendRawText(cam, found ? "OK\r\n" : "NG\r\n");
            return;
        }
        const long number = c.number(0);
        char text[128];
        if (number >= 1 && number <= static_cast<long>(store.items.size())) {
            const StoredItem& item = store.items[static_cast<std::size_t>(number - 1)];
            const long long size =
                item.statedSize ? *item.statedSize : static_cast<long long>(item.data.size());
            const long long shown = item.flakyLine ? size + ++session->lineReads : size;
            std::snprintf(text, sizeof text, "0,%ld,%lld,%d,%d,%d,%d,%d", number, shown, item.kind,
                          item.exposure, item.flash, item.quality, item.attribute);
            session->selected = static_cast<int>(number);
            if (item.flakyBlocks)
                ++session->passes;
        } else {
            std::snprintf(text, sizeof text, "-1,%ld,0,0,0,0,0,0", number);
            session->selected = 0;
        }
        session->position = 0;
        guard.unlock();
        cam.sendOk();
        cam.sendReply(paddedLine(text, 128));
    });

    // P0: the picture taken is stored, so that the status line's count and the list agree.
    camera.addHandler("P0", [](BenchCamera& cam, const BenchCommand&) {
        cam.sendOk();
        cam.withState([](CameraState& s) {
            TransferStore& store = transferStore(s);
            if (isCardCamera(s)) {
                const int n = store.pictureCount(true) + 1;
                char name[16];
                std::snprintf(name, sizeof name, "PICT%04d", n % 10000);
                store.cardFiles.push_back(
                    {name, "JPG", makeCardJpeg(static_cast<std::uint32_t>(n)), std::nullopt});
            } else {
                const auto picture = std::find_if(store.items.begin(), store.items.end(),
                                                  [](const StoredItem& i) { return i.kind == 0; });
                const std::vector<StoredItem>& standard =
                    (s.type & 0x1000) != 0 ? standardVariantBItems() : standardItems();
                StoredItem taken = picture != store.items.end() ? *picture : standard[1];
                store.items.push_back(std::move(taken));
            }
            syncPictureCount(s);
            ++s.number;
            s.statusChanged = true;
        });
        cam.setBusyFor(cam.options().pictureBusy);
    });

    camera.addHandler("B1", [session](BenchCamera& cam, const BenchCommand& c) {
        bool card = false;
        {
            auto guard = cam.lock();
            card = isCardCamera(cam.state());
        }
        if (card)
            readCardFile(cam, *session, c);
        else
            readItemBlock(cam, *session, c);
    });

    // B3: end the item read (count line), or close the card file ("OK").
    camera.addHandler("B3", [session](BenchCamera& cam, const BenchCommand&) {
        bool card = false;
        {
            auto guard = cam.lock();
            card = isCardCamera(cam.state());
        }
        cam.sendOk();
        if (card) {
            session->openFile = nullptr;
            session->openName.clear();
            sendRawText(cam, "OK\r\n");
        } else {
            sendCountLine(cam, static_cast<long>(session->position));
            session->selected = 0;
            session->position = 0;
        }
    });

    camera.addHandler("B4", [session](BenchCamera& cam, const BenchCommand&) {
        withTransferStore(cam, [](TransferStore& store) { store.eraseAll(); });
        session->selected = 0;
        session->openFile = nullptr;
        cam.sendOk();
    });

    // B5: count (mode 0, "%3d") or list (mode 1, 42 bytes a file) the card files of a pattern.
    camera.addHandler("B5", [](BenchCamera& cam, const BenchCommand& c) {
        auto guard = cam.lock();
        if (!isCardCamera(cam.state()) || c.count() < 2) {
            guard.unlock();
            cam.sendRefusal();
            return;
        }
        TransferStore& store = transferStore(cam.state());
        const auto files = store.matchingFiles(c.args[0]);
        const long mode = c.number(1);
        Bytes listing = store.listingOverride ? *store.listingOverride : store.listingOf(files);
        const int count =
            store.countOverride ? *store.countOverride : static_cast<int>(files.size());
        guard.unlock();
        cam.sendOk();
        if (mode == 0) {
            char text[8];
            std::snprintf(text, sizeof text, "%3d", count);
            sendRawText(cam, std::string_view(text, 3));
        } else {
            cam.sendRaw(listing);
        }
    });

    camera.addHandler("B6", [session](BenchCamera& cam, const BenchCommand&) {
        withTransferStore(cam, [](TransferStore& store) { store.formatCard(); });
        session->openFile = nullptr;
        session->openName.clear();
        cam.sendOk();
        sendRawText(cam, "OK\r\n");
    });

    camera.addHandler("L0", [session](BenchCamera& cam, const BenchCommand&) {
        session->announced = true;
        cam.sendOk();
    });
    camera.addHandler("D1", [session](BenchCamera& cam, const BenchCommand& c) {
        receiveDownload(cam, *session, c, camera::cmd::WriteGain);
    });
    camera.addHandler("D2", [session](BenchCamera& cam, const BenchCommand& c) {
        receiveDownload(cam, *session, c, camera::cmd::WriteBlemish);
    });
    camera.addHandler("D3", [session](BenchCamera& cam, const BenchCommand& c) {
        receiveDownload(cam, *session, c, camera::cmd::WriteGamma);
    });
    camera.addHandler("U1", [session](BenchCamera& cam, const BenchCommand& c) {
        receiveDownload(cam, *session, c, camera::cmd::WriteDram);
    });
    camera.addHandler("U0",
                      [](BenchCamera& cam, const BenchCommand& c) { readMemory(cam, c, true); });
    camera.addHandler("U2",
                      [](BenchCamera& cam, const BenchCommand& c) { readMemory(cam, c, false); });

    // R0: the parameter record.
    camera.addHandler("R0", [](BenchCamera& cam, const BenchCommand& c) {
        Bytes record =
            withTransferStore(cam, [](TransferStore& store) { return store.parameterRecord; });
        if (c.number(0) != static_cast<long>(record.size())) {
            cam.sendRefusal();
            return;
        }
        cam.sendOk();
        cam.sendRaw(record);
    });

    // D4: the parameter record written by the host: a first reply at once, the verdict after.
    camera.addHandler("D4", [session](BenchCamera& cam, const BenchCommand& c) {
        const bool announced = session->announced;
        session->announced = false;
        const long length = c.number(0, -1);
        const long sum = c.number(1, -1);
        if (!announced || length != static_cast<long>(kParameterRecordSize)) {
            cam.sendRefusal();
            return;
        }
        cam.sendOk();
        Bytes record(kParameterRecordSize);
        if (!cam.receiveRaw(record.data(), record.size(), kReceiveLimit))
            return;
        sendRawText(cam, "WR\r\n");
        const bool good = static_cast<long>(camera::byteSum(record)) == sum;
        withTransferStore(cam, [&](TransferStore& store) {
            if (good)
                store.parameterRecord = record;
            store.downloads.push_back({camera::cmd::WriteParameters, 0, length, sum, good});
        });
        sendRawText(cam, good ? "OK\r\n" : "NG\r\n");
    });
}

} // namespace kv::camsim
