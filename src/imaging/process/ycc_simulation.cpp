#include "imaging/process/ycc_simulation.h"

#include "imaging/codec/wavelet_codec.h"
#include "imaging/process/lumin_table.h"
#include "imaging/tiff_forms.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <cstring>

namespace kv::process {
namespace {

class Steps {
public:
    Steps(Operator* op, const std::filesystem::path& folder, YccSimulationResult& result)
        : op_(op), folder_(folder), result_(result) {
        if (op_)
            op_->beginProgress("YCC Compress Decompress", 10);
    }
    ~Steps() {
        if (op_)
            op_->endProgress();
    }

    // Writes a debug picture of the planes; false (and the error set) when the write failed or
    // the operator asked to stop.
    bool picture(const char* name, const Planes& planes, std::array<bool, 3> signedPlanes) {
        const std::vector<std::uint8_t> rgb = PlanesToRgb8(planes, signedPlanes);
        const std::filesystem::path path = folder_ / name;
        if (imaging::WriteDebugPicture(path, kPlaneWidth, kPlaneHeight, 3, 8, rgb) != status::Ok) {
            result_.error = "cannot write " + path.string();
            return false;
        }
        return done(path);
    }
    bool bytes(const char* name, ByteSpan data) {
        const std::filesystem::path path = folder_ / name;
        if (!platform::writeFileAtomically(path, data)) {
            result_.error = "cannot write " + path.string();
            return false;
        }
        return done(path);
    }

private:
    bool done(const std::filesystem::path& path) {
        result_.files.push_back(path);
        if (!op_)
            return true;
        op_->setProgressText(path.filename().string());
        op_->setProgress(++count_);
        op_->pumpMessages();
        if (op_->cancelled()) {
            result_.error = "cancelled";
            return false;
        }
        return true;
    }

    Operator* op_;
    const std::filesystem::path& folder_;
    YccSimulationResult& result_;
    long count_ = 0;
};

void loadCodecPlanes(codec::WaveletCodec& codec, const Planes& planes) {
    for (int c = 0; c < 3; ++c)
        std::copy(planes.p[c].begin(), planes.p[c].end(), codec.plane(c).begin());
}

void readCodecPlanes(const codec::WaveletCodec& codec, Planes& planes) {
    for (int c = 0; c < 3; ++c) {
        const auto plane = codec.plane(c);
        std::copy(plane.begin(), plane.end(), planes.p[c].begin());
    }
}

} // namespace

void ApplyToneTable(Planes& planes) {
    static const ToneTable tone = ComputeLuminTable(0.45);
    for (auto& plane : planes.p)
        for (float& v : plane) {
            const int index = v >= 1023.0f * 32.0f ? 1023
                              : v > 0.0f           ? static_cast<int>(v / 32.0f)
                                                   : 0;
            v = static_cast<float>(tone[std::size_t(index)]) * 32.0f;
        }
}

YccSimulationResult RunYccSimulation(Planes planes, const std::filesystem::path& folder,
                                     const std::array<double, 3>& scales, Operator* op) {
    YccSimulationResult result;
    Steps steps(op, folder, result);
    constexpr std::array<bool, 3> unsignedYcc{false, true, true};
    constexpr std::array<bool, 3> allSigned{true, true, true};
    constexpr std::array<bool, 3> noneSigned{false, false, false};

    // 1. The last column repeats the one before it.
    for (auto& plane : planes.p)
        std::memcpy(&plane[std::size_t(479) * kPlaneHeight],
                    &plane[std::size_t(478) * kPlaneHeight], kPlaneHeight * sizeof(float));
    // 2. To YCbCr.
    ConvertRgbToYcc(planes);
    if (!steps.picture("ycbcr.tif", planes, unsignedYcc))
        return result;
    // 3. Means and variances; the means removed.
    RemoveMeans(planes, result.means, result.variances);
    if (!steps.picture("lessmean.tif", planes, allSigned))
        return result;

    // 4. Through the wavelet coder and back.
    codec::WaveletCodec codec;
    loadCodecPlanes(codec, planes);
    const std::array<double, 3> meansIn32{result.means[0] / 32.0, result.means[1] / 32.0,
                                          result.means[2] / 32.0};
    const Bytes stream = codec.EncodePicture(meansIn32, scales);
    result.streamBytes = stream.size();
    Planes transformed;
    readCodecPlanes(codec, transformed);
    if (!steps.picture("xform.tif", transformed, allSigned))
        return result;
    if (!steps.bytes("decomp.dat", stream))
        return result;
    int reduced = 0;
    if (codec.DecodeStream(stream, reduced) != codec::DecodeError::None) {
        result.error = "the wavelet stream made does not decode";
        return result;
    }
    Planes decoded;
    readCodecPlanes(codec, decoded);
    if (!steps.picture("decoded.tif", decoded, allSigned))
        return result;
    for (int c = 0; c < 3; ++c)
        for (std::size_t i = 0; i < kPlaneSize; ++i)
            transformed.p[c][i] -= decoded.p[c][i];
    if (!steps.picture("qerr.tif", transformed, allSigned))
        return result;
    codec.InverseTransform(3, reduced == 1);
    readCodecPlanes(codec, planes);
    if (!steps.picture("invxfm.tif", planes, allSigned))
        return result;

    // 5. The means as the stream carries them.
    AddMeans(planes, codec.means());
    if (!steps.picture("plusmean.tif", planes, unsignedYcc))
        return result;
    // 6. Back to RGB.
    ConvertYccToRgb(planes);
    if (!steps.picture("to_rgb.tif", planes, noneSigned))
        return result;
    // 7. The tone table.
    ApplyToneTable(planes);
    if (!steps.picture("lookup.tif", planes, noneSigned))
        return result;
    result.rgb8 = PlanesToRgb8(planes);
    result.completed = true;
    return result;
}

} // namespace kv::process
