// The camera's wavelet codec: decodes a wavelet stream (the picture data of a quality 0-2
// camera item, after its note section) into a 480 x 400 RGB picture, and makes such streams
// from RGB pictures or from coefficient planes.
//
// Ownership and threads: a WaveletCodec owns its working buffers (three float planes and a
// work plane, 3 MB in all, plus stream scratch) and keeps them for its whole life, so a program
// creates one codec and reuses it for every picture. A codec holds mutable state and is used
// by one thread at a time; a second thread (background thumbnails) makes its own codec.
// Nothing in this library is shared between codec objects.
//
// Picture layout (RGB): 480 x 400 pixels, 3 bytes per pixel in R, G, B order, rows from the
// top row down, 1440 bytes per row: 576000 bytes.
//
// Plane layout (coefficients and YCbCr values): three planes of 192000 floats, plane 0 Y,
// plane 1 Cb, plane 2 Cr. The value of column x (0-479) and position y (0-399) is at
// x * 400 + y; y counts from the bottom of the picture, so the top row is y = 399.
//
// Camera picture data: what a camera delivers for a quality 0-2 picture is a note section
// (starting 0x03 0x03, ending 0x04 0x04) followed by the wavelet stream. To make "the picture
// data of a quality-0/1 camera item" from an RGB picture:
//
//     kv::codec::WaveletCodec codec;
//     kv::Bytes data = codec.encodeCameraPicture(rgb, {.quality = 0});
//
// The stream inside decodes with DecodePicture(stream, out, quality).
#pragma once

#include "base/bytes.h"
#include "base/result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kv::codec {

inline constexpr int kWidth = 480;  // columns
inline constexpr int kHeight = 400; // rows
inline constexpr int kStride = 400; // distance between columns in a plane
inline constexpr int kLevels = 4;   // transform levels
inline constexpr std::size_t kPlaneValues = 192000;
inline constexpr std::size_t kRgbBytes = 576000;

// Picture quality codes; the quality code is also the decoder's mode.
inline constexpr int kQualityBest = 0;
inline constexpr int kQualityStandard = 1; // always rebuilt as a reduced stream
inline constexpr int kQualityCine = 2;
inline constexpr int kQualityUncompressed = 3; // not a wavelet stream

// Which check of the decoder failed (the codec's internal code; 0 = none).
enum class DecodeError : std::uint8_t {
    None = 0,
    PastEnd = 1,       // read past the end of the stream
    Checksum = 2,      // checksum mismatch
    LevelMarker = 4,   // level marker is not 4
    LevelNumber = 5,   // level number does not match
    RunPastBand = 6,   // a zero run runs past the end of a band
    ChannelMarker = 7, // channel marker is not 5
    StreamMarker = 8,  // stream marker is not 6
    Version = 9,       // version is not 3.0
};

// Settings for making a stream from an RGB picture.
struct EncodeOptions {
    int quality = kQualityBest;  // 0 Best, 1 Standard (reduced stream), 2 Cine
    std::size_t targetBytes = 0; // wanted stream size; 0 = defaultTargetBytes(quality)
};

// What the rate control reached.
struct EncodeReport {
    std::size_t bytes = 0;          // stream size
    std::size_t targetBytes = 0;    // the target it aimed at
    std::array<double, 3> scales{}; // scale per plane (Y, Cb, Cr)
    int trials = 0;                 // size estimates made, all planes together
};

// Stream size the encoder aims at for a quality when none is given (bytes).
std::size_t defaultTargetBytes(int quality);

// The note section our encoder puts before the stream in camera picture data: 0x03 0x03,
// "KV", 'Q', the quality code, 0x04 0x04 (8 bytes). Readers treat its content as opaque.
Bytes cameraNoteSection(int quality);

// One level of the two-dimensional transform on the width x height region at the start of
// plane (stride floats between columns). direction 1 = synthesis, 0 = analysis. work must
// hold the same region. width and height are even and at least 4.
void TransformLevel(int direction, float* plane, float* work, int width, int height, int stride);

class WaveletCodec {
public:
    WaveletCodec();
    ~WaveletCodec();
    WaveletCodec(const WaveletCodec&) = delete;
    WaveletCodec& operator=(const WaveletCodec&) = delete;

    // Decodes a wavelet stream (without note section) into out (kRgbBytes). mode is the
    // picture's quality code: a mode of 1 rebuilds the picture as a reduced stream.
    // Returns 0 on success; on failure 0xFFFF with out all zeros and lastError() saying which
    // check failed. out smaller than kRgbBytes fails with nothing written.
    Status DecodePicture(ByteSpan stream, std::span<std::uint8_t> out, int mode);
    DecodeError lastError() const { return error_; }

    // The decoder's stages, for the simulations and tests. DecodeStream parses and dequantises
    // into planes() and means() (units of 1: mean x 32 already applied); it sets reducedFlag to
    // 1 when the stream carries no level-0 detail and leaves it unchanged otherwise.
    DecodeError DecodeStream(ByteSpan stream, int& reducedFlag);
    // Rebuilds the three planes in place: levels startLevel..0 for a full stream, or
    // startLevel..1 and the x2 interpolation for a reduced one. startLevel is 3 for a picture.
    void InverseTransform(int startLevel, bool reduced);

    // Forward path on planes() (Y, Cb, Cr, means already removed; transformed in place):
    // four analysis levels, quantisation with the given scale per plane (rounded to a whole
    // number and held to 1-32767, as the stream carries it), coding. means are in units of 32
    // (written rounded half away from zero). When reduced, level-0 detail is coded as zero runs and
    // levels 1-4 are halved so that the reduced rebuild gives the picture's levels (the Standard
    // quality form).
    Bytes EncodePicture(const std::array<double, 3>& means, const std::array<double, 3>& scales,
                        bool reduced = false);

    // RGB picture (kRgbBytes) to wavelet stream with rate control towards the target size
    // (within about 2 %; each plane's part is at least 3000 bytes, and a flat picture may stay
    // below it). The forward colour conversion is the inverse of the decoder's, with the
    // luminance scaled so that the decoder's tone map gives the original levels back. Empty
    // when rgb is shorter than kRgbBytes. Uses planes() as its work area.
    Bytes encodeRgb(std::span<const std::uint8_t> rgb, const EncodeOptions& options,
                    EncodeReport* report = nullptr);
    // Camera picture data: cameraNoteSection(quality) followed by encodeRgb's stream.
    Bytes encodeCameraPicture(std::span<const std::uint8_t> rgb, const EncodeOptions& options,
                              EncodeReport* report = nullptr);

    // Which loops run (for tests: all give the same bits): the portable ones, at most the AVX2
    // ones, or the widest this processor has (AVX-512, else AVX2; chosen at run time).
    enum class Kernels { Portable, Avx2, Widest };
    void useKernels(Kernels kernels);
    void usePortableKernels(bool portable) {
        useKernels(portable ? Kernels::Portable : Kernels::Widest);
    }

    // The coefficient / YCbCr planes (3 x kPlaneValues floats) and the plane means. After
    // DecodePicture the planes hold working values (its last level writes elsewhere); use
    // DecodeStream and InverseTransform for the rebuilt planes.
    std::span<float> plane(int index);
    std::span<const float> plane(int index) const;
    const std::array<double, 3>& means() const { return means_; }

private:
    struct Impl;
    void renderRgb(float* py, const float* pb, const float* pr, std::uint8_t* out);
    void loadRgb(std::span<const std::uint8_t> rgb, std::array<double, 3>& means);
    void analyse(bool reduced);
    Bytes writeStream(const std::array<double, 3>& means, const std::array<double, 3>& scales,
                      bool reduced);
    double searchScale(int c, std::size_t target, bool reduced, int& trials);

    std::unique_ptr<Impl> impl_;
    std::array<double, 3> means_{};
    DecodeError error_ = DecodeError::None;
};

} // namespace kv::codec
