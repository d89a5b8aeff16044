#include "imaging/jpeg_file.h"

#include "base/text.h"
#include "imaging/edits.h"
#include "imaging/enlarge.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

// clang-format off
#include <jpeglib.h>
// clang-format on

namespace kv::imaging {
namespace {

// libjpeg reports fatal errors through error_exit, which must not return. It jumps back to
// the setjmp in the function that started the library call; those functions hold no C++
// objects with destructors between setjmp and the library calls, so the jump skips nothing.
struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void onError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

void onMessage(j_common_ptr) {} // warnings (corrupt data, early end) are not printed

// Clears a compress or decompress struct and routes its errors to `err`: fatal ones to
// err.jump, warnings nowhere. The setjmp stays in the caller, whose frame is still live when
// the library jumps.
template <typename Info>
void routeErrors(Info& cinfo, ErrorManager& err) {
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onError;
    err.pub.output_message = onMessage;
}

constexpr const char* kPrefixQuality = "KVI JPEG Quality:";
constexpr const char* kPrefixExposure = "KVI Exposure Index:";
constexpr const char* kPrefixFlash = "KVI Flash:";
constexpr const char* kPrefixWavelet = "KVI Wavelet Compression:";
constexpr const char* kPrefixNote = "REZ_IZIDU:";

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// ---------------------------------------------------------------------------------------------
// Compression

struct CompressJob {
    std::FILE* file = nullptr;
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int quality = 0;
    const std::string* texts = nullptr;
    int textCount = 0;
};

bool runCompress(CompressJob& job) {
    jpeg_compress_struct cinfo;
    ErrorManager err;
    routeErrors(cinfo, err);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.image_width = static_cast<JDIMENSION>(job.width);
    cinfo.image_height = static_cast<JDIMENSION>(job.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, job.quality, FALSE);
    jpeg_stdio_dest(&cinfo, job.file);
    jpeg_start_compress(&cinfo, TRUE);
    for (int i = 0; i < job.textCount; ++i) {
        const std::string& t = job.texts[i];
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(t.data()),
                          static_cast<unsigned>(t.size()));
    }
    const std::size_t stride = std::size_t(job.width) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(job.pixels + std::size_t(cinfo.next_scanline) * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

std::string markerText(const char* prefix, const std::string& value) {
    std::string t = std::string(prefix) + " " + value;
    if (t.size() > kJpegMarkerTextBytes - 1)
        t.resize(kJpegMarkerTextBytes - 1);
    return t;
}

// ---------------------------------------------------------------------------------------------
// Decompression

enum class DecodeResult { Ok, Refused, LibraryError };

struct DecodeJob {
    std::FILE* file = nullptr;
    const std::uint8_t* memory = nullptr;
    std::size_t memorySize = 0;
    bool headerOnly = false;
    std::uint8_t* out = nullptr;
    int boxWidth = 0;
    int boxHeight = 0;
    bool centre = false;
    JpegMarkers* markers = nullptr;
    char* markerBuffer = nullptr; // 65536 bytes, reused for every APP1 marker
    std::uint8_t* temp = nullptr; // malloc'd by runDecompress, freed by its caller
    int width = 0;
    int height = 0;
    int components = 0;
    JpegPlacement placement;
};

int nextByte(j_decompress_ptr cinfo) {
    jpeg_source_mgr* src = cinfo->src;
    if (src->bytes_in_buffer == 0 && !src->fill_input_buffer(cinfo))
        return -1;
    if (src->bytes_in_buffer == 0)
        return -1;
    --src->bytes_in_buffer;
    return *src->next_input_byte++;
}

// The APP1 handler: the marker's length (big-endian, including its own two bytes), then the
// text, read into a buffer and ended with a zero. Always reports success to the library.
boolean app1Handler(j_decompress_ptr cinfo) {
    auto* job = static_cast<DecodeJob*>(cinfo->client_data);
    const int hi = nextByte(cinfo);
    const int lo = nextByte(cinfo);
    if (hi < 0 || lo < 0)
        return TRUE;
    const long length = std::max(0L, long((hi << 8) | lo) - 2);
    long n = 0;
    for (; n < length; ++n) {
        const int c = nextByte(cinfo);
        if (c < 0)
            break;
        job->markerBuffer[n] = static_cast<char>(c);
    }
    job->markerBuffer[n] = '\0';
    if (job->markers) {
        // The whole marker: camera notes hold zero bytes.
        ++job->markers->app1Count;
        HandleApp1Text(std::string_view(job->markerBuffer, static_cast<std::size_t>(n)),
                       *job->markers);
    }
    return TRUE;
}

// The output size at scale num/denom.
std::pair<unsigned, unsigned> outputSize(jpeg_decompress_struct& cinfo, unsigned num,
                                         unsigned denom) {
    cinfo.scale_num = num;
    cinfo.scale_denom = denom;
    jpeg_calc_output_dimensions(&cinfo);
    return {cinfo.output_width, cinfo.output_height};
}

// Chooses the DCT scale and the whole-number reduction after it so that the picture fits the
// box. First the usual rule: the largest of 1/1, 1/2, 1/4, 1/8 that fits (1/1 for the
// full-size box), halved when still larger and within twice the box. A picture that does not
// fit that way takes the largest scale M/8 that fits the box, or 1/8 reduced by as much as
// needed.
void chooseScale(jpeg_decompress_struct& cinfo, DecodeJob& job, unsigned& num, unsigned& denom,
                 int& reduction) {
    const unsigned bw = unsigned(job.boxWidth), bh = unsigned(job.boxHeight);
    auto fits = [](std::pair<unsigned, unsigned> o, unsigned w, unsigned h) {
        return o.first <= w && o.second <= h;
    };
    num = 1;
    denom = 1;
    if (job.boxWidth != kJpegWidth) {
        for (; denom < 8; denom *= 2) {
            if (fits(outputSize(cinfo, 1, denom), bw, bh))
                break;
        }
    }
    auto size = outputSize(cinfo, num, denom);
    if (fits(size, bw, bh)) {
        reduction = 1;
        return;
    }
    if (fits(size, 2 * bw, 2 * bh)) {
        reduction = 2;
        return;
    }
    for (unsigned m = 7; m >= 1; --m) {
        if (fits(outputSize(cinfo, m, 8), bw, bh)) {
            num = m;
            denom = 8;
            reduction = 1;
            return;
        }
    }
    num = 1;
    denom = 8;
    size = outputSize(cinfo, num, denom);
    reduction = static_cast<int>(std::max((size.first + bw - 1) / bw, (size.second + bh - 1) / bh));
}

// One CMYK row to RGB. Adobe's files store the inks inverted (0 = full ink).
void cmykToRgb(const std::uint8_t* in, std::uint8_t* out, int width, bool inverted) {
    for (int x = 0; x < width; ++x, in += 4, out += 3) {
        const unsigned k = inverted ? in[3] : 255u - in[3];
        for (int c = 0; c < 3; ++c) {
            const unsigned ink = inverted ? in[c] : 255u - in[c];
            out[c] = static_cast<std::uint8_t>((ink * k + 127) / 255);
        }
    }
}

DecodeResult runDecompress(DecodeJob& job) {
    jpeg_decompress_struct cinfo;
    ErrorManager err;
    routeErrors(cinfo, err);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::LibraryError;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = kJpegMemoryLimit;
    if (job.file)
        jpeg_stdio_src(&cinfo, job.file);
    else
        jpeg_mem_src(&cinfo, job.memory, static_cast<unsigned long>(job.memorySize));
    cinfo.client_data = &job;
    jpeg_set_marker_processor(&cinfo, JPEG_APP0 + 1, app1Handler);
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::LibraryError;
    }
    job.width = static_cast<int>(cinfo.image_width);
    job.height = static_cast<int>(cinfo.image_height);
    job.components = cinfo.num_components;
    if (job.headerOnly) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::Ok;
    }
    // Grey and colour pictures come out as RGB from the library; CMYK (and YCCK) ones as
    // CMYK, converted here. Anything else is refused.
    const J_COLOR_SPACE space = cinfo.jpeg_color_space;
    const bool cmyk = cinfo.num_components == 4 && (space == JCS_CMYK || space == JCS_YCCK);
    const bool rgb = (cinfo.num_components == 1 && space == JCS_GRAYSCALE) ||
                     (cinfo.num_components == 3 && (space == JCS_YCbCr || space == JCS_RGB));
    if (std::uint64_t(cinfo.image_width) * cinfo.image_height > kJpegMaxPixels || (!cmyk && !rgb)) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::Refused;
    }
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    unsigned num = 1, denom = 1;
    int reduction = 1;
    chooseScale(cinfo, job, num, denom, reduction);
    const int ow = static_cast<int>(cinfo.output_width);
    const int oh = static_cast<int>(cinfo.output_height);
    const int pw = ow / reduction;
    const int ph = oh / reduction;
    if (cinfo.output_components != (cmyk ? 4 : 3) || pw < 1 || ph < 1 || pw > job.boxWidth ||
        ph > job.boxHeight) {
        jpeg_destroy_decompress(&cinfo);
        return DecodeResult::Refused;
    }
    job.placement.width = pw;
    job.placement.height = ph;
    job.placement.x = job.centre ? (job.boxWidth - pw) / 2 : 0;
    job.placement.y = job.centre ? (job.boxHeight - ph) / 2 : 0;
    job.placement.scaleNumerator = static_cast<int>(num);
    job.placement.scaleDenominator = static_cast<int>(denom);
    if (num > 1 && denom % num == 0) {
        job.placement.scaleDenominator = static_cast<int>(denom / num);
        job.placement.scaleNumerator = 1;
    }
    job.placement.reduction = reduction;
    job.placement.halved = reduction == 2;
    const bool reduce = reduction > 1;
    // The whole output when it is reduced afterwards, and one CMYK row.
    const std::size_t tempBytes =
        (reduce ? std::size_t(ow) * std::size_t(oh) * 3 : 0) + (cmyk ? std::size_t(ow) * 4 : 0);
    if (tempBytes) {
        job.temp = static_cast<std::uint8_t*>(std::malloc(tempBytes));
        if (!job.temp) {
            jpeg_destroy_decompress(&cinfo);
            return DecodeResult::LibraryError;
        }
    }
    std::uint8_t* cmykRow =
        cmyk ? job.temp + (reduce ? std::size_t(ow) * std::size_t(oh) * 3 : 0) : nullptr;
    const bool inverted = cinfo.saw_Adobe_marker;
    jpeg_start_decompress(&cinfo);
    const std::size_t boxStride = std::size_t(job.boxWidth) * 3;
    while (cinfo.output_scanline < cinfo.output_height) {
        const std::size_t y = cinfo.output_scanline;
        std::uint8_t* dest = reduce ? job.temp + y * std::size_t(ow) * 3
                                    : job.out + (std::size_t(job.placement.y) + y) * boxStride +
                                          std::size_t(job.placement.x) * 3;
        JSAMPROW row = cmyk ? cmykRow : dest;
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1)
            break;
        if (cmyk)
            cmykToRgb(cmykRow, dest, ow, inverted);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    if (reduce) {
        // Each output pixel is the rounded mean of a reduction x reduction block.
        const std::size_t tempStride = std::size_t(ow) * 3;
        const unsigned area = unsigned(reduction * reduction);
        for (int y = 0; y < ph; ++y) {
            std::uint8_t* o = job.out +
                              (std::size_t(job.placement.y) + std::size_t(y)) * boxStride +
                              std::size_t(job.placement.x) * 3;
            for (int x = 0; x < pw; ++x) {
                for (int c = 0; c < 3; ++c) {
                    unsigned sum = 0;
                    for (int dy = 0; dy < reduction; ++dy) {
                        const std::uint8_t* a =
                            job.temp + std::size_t(y * reduction + dy) * tempStride;
                        for (int dx = 0; dx < reduction; ++dx)
                            sum += a[std::size_t(x * reduction + dx) * 3 + std::size_t(c)];
                    }
                    o[std::size_t(x) * 3 + std::size_t(c)] =
                        static_cast<std::uint8_t>((sum + area / 2) / area);
                }
            }
        }
    }
    return DecodeResult::Ok;
}

Status decode(DecodeJob& job) {
    std::vector<char> markerBuffer(65536);
    job.markerBuffer = markerBuffer.data();
    const DecodeResult r = runDecompress(job);
    std::free(job.temp);
    job.temp = nullptr;
    return r == DecodeResult::Ok ? status::Ok : status::Failed;
}

Status decodeFile(const std::filesystem::path& path, DecodeJob& job) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "can't open %s\n", path.c_str());
        return status::Failed;
    }
    job.file = f;
    std::vector<char> markerBuffer(65536);
    job.markerBuffer = markerBuffer.data();
    const DecodeResult r = runDecompress(job);
    std::free(job.temp);
    job.temp = nullptr;
    std::fclose(f);
    if (r == DecodeResult::LibraryError)
        std::fprintf(stderr, "error opening %s\n", path.c_str());
    return r == DecodeResult::Ok ? status::Ok : status::Failed;
}

bool boxFits(std::span<std::uint8_t> out, int boxWidth, int boxHeight) {
    return boxWidth > 0 && boxHeight > 0 &&
           out.size() >= std::size_t(boxWidth) * std::size_t(boxHeight) * 3;
}

} // namespace

void HandleApp1Text(std::string_view text, JpegMarkers& m) {
    auto number = [&text](const char* prefix) {
        return static_cast<int>(std::clamp<long>(
            parseLeadingDecimal(text.substr(std::strlen(prefix))), -2147483647L, 2147483647L));
    };
    if (startsWith(text, kPrefixQuality))
        m.quality = number(kPrefixQuality);
    else if (startsWith(text, kPrefixExposure))
        m.exposureIndex = number(kPrefixExposure);
    else if (startsWith(text, kPrefixFlash))
        m.flash = number(kPrefixFlash);
    if (startsWith(text, kPrefixWavelet)) {
        m.waveletCompression = number(kPrefixWavelet);
    } else if (startsWith(text, kPrefixNote)) {
        std::string_view rest = text.substr(std::strlen(kPrefixNote));
        if (!rest.empty() && rest.front() == ' ')
            rest.remove_prefix(1);
        const std::size_t capacity = kJpegNoteBufferBytes - 1;
        for (std::string_view piece : {rest, std::string_view("\r\n")}) {
            const std::size_t room = capacity - std::min(capacity, m.note.size());
            m.note.append(piece.substr(0, room));
        }
    }
}

Status WriteJpeg(ByteSpan pixels, const std::filesystem::path& path, int width, int height,
                 int quality, int exposureIndex, int flash, std::optional<std::string_view> note,
                 int waveletCompression) {
    if (width <= 0 || height <= 0 || width > 65500 || height > 65500 ||
        pixels.size() < std::size_t(width) * std::size_t(height) * 3)
        return status::Failed;
    std::vector<std::string> texts;
    if (note) {
        const std::string_view n = *note; // whole: camera notes hold zero bytes
        texts.push_back(markerText(kPrefixExposure, std::to_string(exposureIndex)));
        texts.push_back(markerText(kPrefixFlash, std::to_string(flash)));
        texts.push_back(markerText(kPrefixQuality, std::to_string(quality)));
        if (waveletCompression != 0)
            texts.push_back(markerText(kPrefixWavelet, std::to_string(waveletCompression)));
        texts.push_back(markerText(kPrefixNote, std::string(n)));
    }
    platform::AtomicFile file(path);
    if (!file.isOpen()) {
        std::fprintf(stderr, "can't open %s\n", path.c_str());
        return status::Failed;
    }
    CompressJob job;
    job.file = file.stream();
    job.pixels = pixels.data();
    job.width = width;
    job.height = height;
    job.quality = std::clamp(quality, 1, 100);
    job.texts = texts.data();
    job.textCount = static_cast<int>(texts.size());
    if (!runCompress(job))
        return status::Failed;
    return file.commit() ? status::Ok : status::Failed;
}

Status ReadJpegSize(const std::filesystem::path& path, int& width, int& height,
                    JpegMarkers* markers) {
    DecodeJob job;
    job.headerOnly = true;
    job.markers = markers;
    const Status rc = decodeFile(path, job);
    if (rc == status::Ok) {
        width = job.width;
        height = job.height;
    }
    return rc;
}

Status ReadJpeg(const std::filesystem::path& path, std::span<std::uint8_t> out, int boxWidth,
                int boxHeight, bool centre, JpegMarkers* markers, JpegPlacement* placement) {
    if (!boxFits(out, boxWidth, boxHeight))
        return status::Failed;
    DecodeJob job;
    job.out = out.data();
    job.boxWidth = boxWidth;
    job.boxHeight = boxHeight;
    job.centre = centre;
    job.markers = markers;
    const Status rc = decodeFile(path, job);
    if (placement)
        *placement = job.placement;
    return rc;
}

Status ReadJpegBytes(ByteSpan jpeg, std::span<std::uint8_t> out, int boxWidth, int boxHeight,
                     bool centre, JpegMarkers* markers, JpegPlacement* placement) {
    if (!boxFits(out, boxWidth, boxHeight) || jpeg.empty())
        return status::Failed;
    DecodeJob job;
    job.memory = jpeg.data();
    job.memorySize = jpeg.size();
    job.out = out.data();
    job.boxWidth = boxWidth;
    job.boxHeight = boxHeight;
    job.centre = centre;
    job.markers = markers;
    const Status rc = decode(job);
    if (placement)
        *placement = job.placement;
    return rc;
}

Status ReadJpegHeaderBytes(ByteSpan jpeg, int& width, int& height, int& components,
                           JpegMarkers* markers) {
    if (jpeg.empty())
        return status::Failed;
    DecodeJob job;
    job.memory = jpeg.data();
    job.memorySize = jpeg.size();
    job.headerOnly = true;
    job.markers = markers;
    const Status rc = decode(job);
    if (rc == status::Ok) {
        width = job.width;
        height = job.height;
        components = job.components;
    }
    return rc;
}

Status StorePictureJpeg(ByteSpan rgb480x400, const std::filesystem::path& path,
                        const PictureAttributes& a, int waveletCompression, ByteSpan noteSection) {
    if (rgb480x400.size() < kPictureBytes)
        return status::Failed;
    Bytes big = EnlargeTwice(rgb480x400.first(kPictureBytes), kPictureWidth, kPictureHeight);
    ApplyWhiteBalance(nullptr, big.data(), big.size());
    const std::string note(noteSection.begin(), noteSection.end());
    const int exposure = a.exposureIndex == kAttributeUnknown ? -1 : a.exposureIndex;
    return WriteJpeg(big, path, kJpegWidth, kJpegHeight, kJpegQuality, exposure, a.flash, note,
                     waveletCompression);
}

} // namespace kv::imaging
