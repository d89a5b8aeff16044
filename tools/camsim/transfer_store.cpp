#include "camsim/transfer_store.h"

#include "camera/command_table.h"
#include "camera/wave.h"
#include "imaging/codec/synthetic_picture.h"
#include "imaging/codec/wavelet_codec.h"

#include <jpeglib.h>

#include <algorithm>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace kv::camsim {
namespace {

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// The extension inside a pattern or card name: "*<*.jpg>" -> "JPG", "*<A:PICT.JPG>" -> "JPG".
std::string extensionOf(const std::string& text) {
    const auto dot = text.rfind('.');
    if (dot == std::string::npos)
        return {};
    auto end = text.find('>', dot);
    if (end == std::string::npos)
        end = text.size();
    return upper(text.substr(dot + 1, end - dot - 1));
}

std::uint32_t nextRandom(std::uint32_t& state) {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

struct JpegErrorTrap {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info) {
    auto* trap = reinterpret_cast<JpegErrorTrap*>(info->err);
    std::longjmp(trap->jump, 1);
}

// libjpeg reports errors by a long jump; it lands here, in a frame without C++ objects.
bool compressToMemory(const std::uint8_t* rgb, int width, int height, unsigned char** out,
                      unsigned long* outSize) {
    jpeg_compress_struct info;
    JpegErrorTrap trap;
    info.err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = jpegErrorExit;
    if (setjmp(trap.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, outSize);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 85, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb + info.next_scanline * width * 3);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

} // namespace

Bytes makeParameterRecord() {
    Bytes record(kParameterRecordSize, 0);
    storeLe32(record, 0, 1);
    for (int i = 0; i < 16; ++i)
        storeLe16(record, 36 + 2 * static_cast<std::size_t>(i),
                  static_cast<std::uint16_t>(1000 + 37 * i));
    return record;
}

int TransferStore::pictureCount(bool memoryCard) const {
    if (memoryCard)
        return static_cast<int>(matchingFiles("*<*.jpg>").size());
    return static_cast<int>(
        std::count_if(items.begin(), items.end(), [](const StoredItem& i) { return i.kind == 0; }));
}

void TransferStore::eraseAll() {
    items.clear();
    cardFiles.clear();
}

void TransferStore::formatCard() {
    cardFiles.clear();
}

std::vector<const CardFile*> TransferStore::matchingFiles(const std::string& pattern) const {
    const std::string extension = extensionOf(pattern);
    std::vector<const CardFile*> out;
    for (const CardFile& file : cardFiles) {
        if (upper(file.extension) == extension)
            out.push_back(&file);
    }
    return out;
}

Bytes TransferStore::listingOf(const std::vector<const CardFile*>& files) const {
    Bytes out;
    for (const CardFile* file : files) {
        char entry[64];
        const long long size =
            file->statedSize ? *file->statedSize : static_cast<long long>(file->data.size());
        std::snprintf(entry, sizeof entry, "%-8.8s.%-3.3s %7lld", file->name.c_str(),
                      file->extension.c_str(), size);
        std::string text(entry);
        text.resize(42, ' ');
        text[40] = '\r';
        text[41] = '\n';
        out.insert(out.end(), text.begin(), text.end());
    }
    return out;
}

const CardFile* TransferStore::findCardFile(const std::string& cardName) const {
    // "*<A:NAME.EXT>"
    const auto colon = cardName.find(':');
    const auto dot = cardName.rfind('.');
    if (cardName.rfind("*<", 0) != 0 || colon == std::string::npos || dot == std::string::npos ||
        dot < colon)
        return nullptr;
    const std::string name = upper(cardName.substr(colon + 1, dot - colon - 1));
    const std::string extension = extensionOf(cardName);
    for (const CardFile& file : cardFiles) {
        if (upper(file.name) == name && upper(file.extension) == extension)
            return &file;
    }
    return nullptr;
}

Bytes makeRawFrame(std::uint32_t seed) {
    Bytes ram(1u << 20);
    for (int k = 0; k < 480; ++k) {
        std::uint8_t* line = ram.data() + 65536 + k * 2048;
        for (int y = 0; y < 400; ++y) {
            const int q = y / 4;
            const int s = 2 * (y % 4);
            // B, G, T, R sites: smooth ramps, shifted by the seed.
            const int base = static_cast<int>((k * 2 + y + seed * 37) % 1024);
            const int values[4] = {base / 2 + 100, (base + 300) % 1024, (1023 - base) / 2 + 200,
                                   static_cast<int>((k * 2 + seed) % 1024)};
            const int msbAt[4] = {y, 400 + y, 1024 + y, 1424 + y};
            const int lsbAt[4] = {804 + q, 904 + q, 1828 + q, 1928 + q};
            for (int site = 0; site < 4; ++site) {
                line[msbAt[site]] = static_cast<std::uint8_t>(values[site] >> 2);
                line[lsbAt[site]] |= static_cast<std::uint8_t>((values[site] & 3) << s);
            }
        }
    }
    return ram;
}

Bytes makeSoundNote(std::size_t length, std::uint32_t seed) {
    Bytes note(length);
    std::uint32_t state = seed | 1;
    for (std::size_t i = 0; i < length; ++i) {
        // Alternating rises and falls with a little noise: a rough tone after decoding.
        const int phase = static_cast<int>((i / 8) % 2);
        const unsigned hi = phase ? 0x3 : 0xB;
        const unsigned lo = (nextRandom(state) & 0x3) | (phase ? 0x0 : 0x8);
        note[i] = static_cast<std::uint8_t>((hi << 4) | lo);
    }
    return note;
}

Bytes makeTestRgb(std::uint32_t seed) {
    return codec::syntheticPicture(seed);
}

Bytes makeCardJpeg(std::uint32_t seed) {
    const Bytes rgb = makeTestRgb(seed);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    Bytes jpeg;
    if (compressToMemory(rgb.data(), 480, 400, &out, &size))
        jpeg.assign(out, out + size);
    std::free(out);
    return jpeg;
}

Bytes appendCheckWord(Bytes content) {
    if (content.size() % 2)
        content.push_back(0);
    appendLe16(content, static_cast<std::uint16_t>(0xFFFF - camera::wordSum(content)));
    return content;
}

Bytes embedCheckWord(Bytes data) {
    std::size_t marker = 0;
    for (std::size_t i = 2; i + 1 < data.size(); ++i) {
        if (data[i] == 0x04 && data[i + 1] == 0x04) {
            marker = i;
            break;
        }
    }
    if (data.size() < 4 || data[0] != 0x03 || data[1] != 0x03 || marker == 0)
        return appendCheckWord(std::move(data));
    Bytes head(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(marker));
    if (head.size() % 2)
        head.push_back(' ');
    // The word goes at an even offset; neither of its bytes may be 0x04, which could end the
    // note section early, so a filler word is added until that holds.
    for (std::uint8_t filler = 0x20;; ++filler) {
        Bytes out = head;
        if (filler > 0x20) {
            out.push_back(filler);
            out.push_back(filler);
        }
        const std::size_t at = out.size();
        out.push_back(0);
        out.push_back(0);
        out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(marker), data.end());
        const auto word = static_cast<std::uint16_t>(0xFFFF - camera::wordSum(out));
        storeLe16(out, at, word);
        if (out[at] != 0x04 && out[at + 1] != 0x04 && camera::wordSum(out) == 0xFFFF)
            return out;
    }
}

Bytes frameWithCheckWord(Bytes frame) {
    frame[0] = frame[1] = 0;
    storeLe16(frame, 0, static_cast<std::uint16_t>(0xFFFF - camera::wordSum(frame)));
    return frame;
}

Bytes makeCompressedPicture(std::int16_t quality, std::uint32_t seed) {
    if (quality < 0 || quality > 2)
        return {};
    codec::WaveletCodec codec;
    codec::EncodeOptions options;
    options.quality = quality;
    return codec.encodeCameraPicture(makeTestRgb(seed), options);
}

Bytes makeCardWave(std::size_t noteLength, std::uint32_t seed) {
    return camera::makeWaveImage(makeSoundNote(noteLength, seed));
}

void fillStandardItems(TransferStore& store) {
    store.items.clear();
    StoredItem note;
    note.kind = 1;
    note.data = appendCheckWord(makeSoundNote(20498, 7));
    store.items.push_back(note);
    for (std::int16_t quality :
         {std::int16_t(0), std::int16_t(1), std::int16_t(2), std::int16_t(3)}) {
        Bytes data = makeCompressedPicture(quality, static_cast<std::uint32_t>(quality));
        if (quality == 3)
            data = frameWithCheckWord(makeRawFrame(3));
        else if (data.empty())
            continue; // no encoder in this build
        else
            data = embedCheckWord(std::move(data));
        if (quality == 2) {
            StoredItem cineNote;
            cineNote.kind = 1;
            cineNote.data = appendCheckWord(makeSoundNote(6000, 2));
            store.items.push_back(cineNote);
        }
        StoredItem picture;
        picture.quality = quality;
        picture.exposure = static_cast<std::int16_t>(3 + quality);
        picture.flash = quality % 2;
        picture.attribute = 1000 + quality;
        picture.data = std::move(data);
        store.items.push_back(std::move(picture));
    }
}

void fillVariantBItems(TransferStore& store) {
    store.items.clear();
    StoredItem note;
    note.kind = 1;
    note.data = appendCheckWord(makeCardWave(4000, 11));
    store.items.push_back(note);
    for (std::uint32_t seed : {11u, 12u}) {
        StoredItem picture;
        picture.quality = 0;
        picture.data = appendCheckWord(makeCardJpeg(seed));
        store.items.push_back(std::move(picture));
    }
}

void fillStandardCard(TransferStore& store) {
    store.cardFiles.clear();
    store.cardFiles.push_back({"PICT0001", "JPG", makeCardJpeg(1), std::nullopt});
    store.cardFiles.push_back({"PICT0002", "JPG", makeCardJpeg(2), std::nullopt});
    store.cardFiles.push_back({"PICT0001", "WAV", makeCardWave(4000, 1), std::nullopt});
    store.cardFiles.push_back({"PICT0003", "JPG", makeCardJpeg(3), std::nullopt});
    store.cardFiles.push_back({"PICT0003", "WAV", makeCardWave(3000, 3), std::nullopt});
}

} // namespace kv::camsim
