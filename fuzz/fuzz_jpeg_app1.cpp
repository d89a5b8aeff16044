// Fuzzes the JPEG reader's APP1 marker handling: the input is taken both as one marker's text
// and as a whole JPEG file, whose header (with every APP1 marker) is read and whose picture is
// decoded into a thumbnail box.

#include "imaging/jpeg_file.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kv::imaging;
    JpegMarkers text;
    HandleApp1Text(std::string_view(reinterpret_cast<const char*>(data), size), text);

    const kv::ByteSpan file(data, size);
    JpegMarkers markers;
    int width = 0;
    int height = 0;
    int components = 0;
    if (ReadJpegHeaderBytes(file, width, height, components, &markers) != kv::status::Ok)
        return 0;
    if (markers.note.size() >= kJpegNoteBufferBytes)
        __builtin_trap();
    std::vector<std::uint8_t> box(120 * 100 * 3);
    (void)ReadJpegBytes(file, box, 120, 100, true, &markers);
    return 0;
}
