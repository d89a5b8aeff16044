#include "imaging/process/ycc_planes.h"

namespace kv::process {

Planes PlanesFromRgb8(std::span<const std::uint8_t> rgb) {
    Planes planes;
    if (rgb.size() < kPlaneSize * 3)
        return planes;
    for (int r = 0; r < kPlaneHeight; ++r)
        for (int x = 0; x < kPlaneWidth; ++x)
            for (int c = 0; c < 3; ++c)
                planes.at(c, x, kPlaneHeight - 1 - r) =
                    rgb[3 * (std::size_t(r) * kPlaneWidth + x) + c] / kPlaneToByte;
    return planes;
}

std::vector<std::uint8_t> PlanesToRgb8(const Planes& planes, std::array<bool, 3> signedPlanes) {
    std::vector<std::uint8_t> rgb(kPlaneSize * 3);
    for (int r = 0; r < kPlaneHeight; ++r)
        for (int x = 0; x < kPlaneWidth; ++x)
            for (int c = 0; c < 3; ++c) {
                // Rounded to the nearest byte, so a picture survives the trip through planes.
                float v = planes.at(c, x, kPlaneHeight - 1 - r) * kPlaneToByte + 0.5f;
                if (signedPlanes[c])
                    v += 128.0f;
                std::uint8_t b = 0;
                if (v >= 255.0f)
                    b = 255;
                else if (v > 0.0f)
                    b = static_cast<std::uint8_t>(v);
                rgb[3 * (std::size_t(r) * kPlaneWidth + x) + c] = b;
            }
    return rgb;
}

void ConvertRgbToYcc(Planes& planes) {
    float* r = planes.p[0].data();
    float* g = planes.p[1].data();
    float* b = planes.p[2].data();
    for (std::size_t i = 0; i < kPlaneSize; ++i) {
        const float R = r[i], G = g[i], B = b[i];
        r[i] = 0.299f * R + 0.587f * G + 0.114f * B;
        g[i] = -0.1687f * R - 0.3313f * G + 0.5f * B;
        b[i] = 0.5f * R - 0.4187f * G - 0.0813f * B;
    }
}

void ConvertYccToRgb(Planes& planes) {
    float* y = planes.p[0].data();
    float* cb = planes.p[1].data();
    float* cr = planes.p[2].data();
    for (std::size_t i = 0; i < kPlaneSize; ++i) {
        const float Y = y[i], Cb = cb[i], Cr = cr[i];
        y[i] = Y + 1.402f * Cr;
        cb[i] = Y - 0.3441f * Cb - 0.7141f * Cr;
        cr[i] = Y + 1.772f * Cb;
    }
}

void RemoveMeans(Planes& planes, std::array<double, 3>& means, std::array<double, 3>& variances) {
    for (int c = 0; c < 3; ++c) {
        double sum = 0, squares = 0;
        for (float v : planes.p[c]) {
            sum += v;
            squares += double(v) * v;
        }
        means[c] = sum * (1.0 / double(kPlaneSize));
        // The second moment less the squared mean, so a flat plane has variance 0.
        variances[c] = squares * (1.0 / double(kPlaneSize)) - means[c] * means[c];
        const auto mean = static_cast<float>(means[c]);
        for (float& v : planes.p[c])
            v -= mean;
    }
}

void AddMeans(Planes& planes, const std::array<double, 3>& means) {
    for (int c = 0; c < 3; ++c) {
        const auto mean = static_cast<float>(means[c]);
        for (float& v : planes.p[c])
            v += mean;
    }
}

} // namespace kv::process
