// Fuzzes the TIFF reader and the .kvi picture file reader with file contents of the sizes they
// read (up to 128 KiB: a picture file is about 45 KB): every IFD of the chain, every entry's
// values, every plane's data, and each part of a picture file. The picture part's wavelet
// stream is the wavelet decoder's own target, so this one stops at the picture data: the note
// part reads the same IFD and data, without decoding a whole picture per input.

#include "imaging/picture_file.h"
#include "imaging/tiff.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kv::imaging;
    if (size > 128 * 1024)
        return 0;
    const kv::Bytes bytes(data, data + size);
    if (auto r = OpenTiffBytes(bytes)) {
        for (int ifd = 0; ifd < 8; ++ifd) {
            for (const TiffEntry& e : r->entries()) {
                (void)r->numbers(e, 256);
                (void)r->text(e);
            }
            for (int plane = 0; plane < 4; ++plane) {
                std::uint8_t buffer[4096];
                std::uint32_t position = 0;
                for (int piece = 0; piece < 4; ++piece) {
                    std::uint32_t count = sizeof buffer;
                    if (ReadData(*r, plane, buffer, count, position) != kv::status::Ok ||
                        count == 0)
                        break;
                }
            }
            if (NextIfd(*r) != kv::status::Ok)
                break;
        }
    }
    kv::Bytes out;
    std::uint32_t length = 0;
    for (PicturePart part : {PicturePart::Sound, PicturePart::Thumbnail, PicturePart::Note})
        (void)ReadPictureBytes(bytes, part, out, length);
    PictureAttributes attributes;
    (void)ReadPictureBytes(bytes, attributes);
    (void)SplitPictureData(kSectionNote, bytes);
    (void)SplitPictureData(kSectionStream, bytes);
    return 0;
}
