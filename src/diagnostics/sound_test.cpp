#include "diagnostics/sound_test.h"

#include "diagnostics/station.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "settings/profile.h"

#include <fftw3.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace kv::diagnostics {
namespace {

constexpr double kGiga = 1e9;

std::mutex& plannerLock() {
    static std::mutex lock;
    return lock;
}

std::filesystem::path stationPath(std::string text) {
    for (char& c : text)
        if (c == '\\')
            c = '/';
    const std::string desktop = "c:/windows/desktop/";
    if (text.size() >= desktop.size()) {
        bool same = true;
        for (std::size_t i = 0; i < desktop.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(text[i])) == desktop[i];
        if (same)
            return platform::desktopDirectory() / text.substr(desktop.size());
    }
    return text;
}

template <class... A>
void put(std::string& out, const char* fmt, A... args) {
    char text[256];
    const int n = std::snprintf(text, sizeof text, fmt, args...);
    if (n > 0)
        out.append(text, std::min<std::size_t>(std::size_t(n), sizeof text - 1));
}

bool appendToFile(const std::filesystem::path& path, const std::string& text) {
    std::FILE* f = std::fopen(path.string().c_str(), "ab");
    if (!f)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

const char* verdict(bool pass) {
    return pass ? "PASS" : "FAIL";
}

// The dump of one tone (rewritten for each tone, as the station always did).
std::string dumpText(const std::vector<double>& samples,
                     const std::vector<std::complex<double>>& bins,
                     const std::vector<double>& power, const ToneResult& r, const SoundParams& p) {
    std::string out;
    if (p.printing) {
        out += "Input Data:\n";
        for (double v : samples)
            put(out, "%10.0f\n", v);
        out += "\nFFT Data:\n";
        for (std::size_t i = 0; i < bins.size(); ++i) {
            if (i + 1 == bins.size())
                put(out, "%10.0f\t\n", bins[i].real());
            else
                put(out, "%10.0f\t%10.0f\n", bins[i].real(), bins[i].imag());
        }
        out += "\nPower Spectrum:\n";
        const std::size_t half = power.size() - 1;
        for (std::size_t i = 0; i <= half; ++i) {
            if (i == 0)
                put(out, "%10.0f\t0\n", power[i]);
            else if (i == half)
                put(out, "%10.0f\t%d\n\n", power[i], int(i));
            else
                put(out, "%10.0f\t%d\n", power[i], int(i));
        }
    }
    put(out, "Low Freq: %10d\n", int(r.lowBin));
    put(out, "High Freq: %10d\n", int(r.highBin));
    put(out, "Bandwidth Energy: %10.0f\n", r.bandEnergy);
    put(out, "Total Energy: %10.0f\n", r.totalEnergy);
    put(out, "Energy Fraction: %10.4f\n", r.fraction);
    put(out, "Power Threshold Energy: %10.0f\n", double(p.powerThreshold) * kGiga);
    return out;
}

} // namespace

SoundParams readSoundParams(const settings::Profile& profile) {
    SoundParams p;
    const auto number = [&](const char* key, long fallback) {
        return static_cast<long>(profile.getInt("SOUND_PARAMS", key, static_cast<int>(fallback)));
    };
    p.toleranceHigh = number("TOLERANCE_HIGH_FREQ", 15);
    p.toleranceLow = number("TOLERANCE_LOW_FREQ", 20);
    p.playbackFreq = number("PLAYBACK_FREQ", 8000);
    p.periodHigh = number("PERIOD_HIGH", 600);
    p.periodLow = number("PERIOD_LOW", 800);
    p.printing = number("SOUND_PRINTING", 0) != 0;
    p.printPower = number("SOUND_PRINT_POWER", 0) != 0;
    p.badSamples = number("BAD_SAMPLES", 1024);
    p.usedSamples = number("USED_SAMPLES", 65536);
    p.powerThreshold = number("POWER_THRESHOLD", 10000);
    p.debugFile = stationPath(
        profile.getString("SOUND_PARAMS", "DEBUG_FILE", "c:/windows/desktop/fft_sound.txt"));
    p.dumpFile = stationPath("c:/windows/desktop/fft_sound.txt");
    return p;
}

long expectedBin(long n, long period, long playbackFreq) {
    if (period <= 0 || playbackFreq <= 0)
        return 0;
    return static_cast<long>(100.0 * double(n) / double(period) * (6250.0 / double(playbackFreq)) +
                             0.5);
}

struct SpectrumAnalyzer::Plan {
    std::size_t n = 0;
    double* in = nullptr;
    fftw_complex* out = nullptr;
    fftw_plan plan = nullptr;
    ~Plan() {
        std::lock_guard lock(plannerLock());
        if (plan)
            fftw_destroy_plan(plan);
        fftw_free(in);
        fftw_free(out);
    }
};

SpectrumAnalyzer::SpectrumAnalyzer() = default;
SpectrumAnalyzer::~SpectrumAnalyzer() = default;

void SpectrumAnalyzer::transform(const std::vector<double>& samples,
                                 std::vector<std::complex<double>>& bins,
                                 std::vector<double>& power) {
    const std::size_t n = samples.size();
    std::unique_ptr<Plan>& slot = plans_[n];
    if (!slot) {
        auto plan = std::make_unique<Plan>();
        plan->n = n;
        std::lock_guard lock(plannerLock());
        plan->in = fftw_alloc_real(n);
        plan->out = fftw_alloc_complex(n / 2 + 1);
        plan->plan = fftw_plan_dft_r2c_1d(static_cast<int>(n), plan->in, plan->out,
                                          FFTW_ESTIMATE | FFTW_DESTROY_INPUT);
        slot = std::move(plan);
    }
    Plan& p = *slot;
    std::memcpy(p.in, samples.data(), n * sizeof(double));
    fftw_execute(p.plan);
    const std::size_t half = n / 2;
    bins.resize(half + 1);
    power.resize(half + 1);
    for (std::size_t i = 0; i <= half; ++i) {
        bins[i] = {p.out[i][0], p.out[i][1]};
        // Bins 0 and n/2 of a real transform have no imaginary part.
        power[i] = (i == 0 || i == half) ? p.out[i][0] * p.out[i][0]
                                         : p.out[i][0] * p.out[i][0] + p.out[i][1] * p.out[i][1];
    }
}

std::optional<ToneResult> analyzeTone(const std::vector<double>& power, long n, long period,
                                      const SoundParams& p, long tolerance) {
    const long half = n / 2;
    if (static_cast<long>(power.size()) != half + 1)
        return std::nullopt;
    ToneResult r;
    r.expectedBin = expectedBin(n, period, p.playbackFreq);
    if (r.expectedBin < 1 || r.expectedBin > half)
        return std::nullopt;
    r.lowBin = std::max(0L, static_cast<long>(0.9 * double(r.expectedBin) - 0.5));
    r.highBin = std::min(half, static_cast<long>(1.1 * double(r.expectedBin) + 0.5));
    for (double v : power)
        r.totalEnergy += v;
    r.peakBin = r.lowBin;
    for (long i = r.lowBin; i <= r.highBin; ++i) {
        r.bandEnergy += power[static_cast<std::size_t>(i)];
        if (power[static_cast<std::size_t>(i)] > power[static_cast<std::size_t>(r.peakBin)])
            r.peakBin = i;
    }
    if (r.totalEnergy > 0) {
        r.fraction = r.bandEnergy / r.totalEnergy;
        r.expectedFraction = power[static_cast<std::size_t>(r.expectedBin)] / r.totalEnergy;
        r.peakFraction = power[static_cast<std::size_t>(r.peakBin)] / r.totalEnergy;
    }
    r.pass = r.totalEnergy / kGiga >= double(p.powerThreshold) &&
             r.fraction >= double(tolerance) / 100.0;
    return r;
}

std::string soundSummary(const ToneResult& h, const ToneResult& l, const SoundParams& p,
                         bool pass) {
    const char* dashes = "\t\t-----------------------------------------------------------\n";
    std::string out;
    out += "\nSound Test Summary:\n";
    out += "==================\n";
    out += "\t\tBand.     \tEnergy    \tThresh    \tResult\n";
    out += "\t\tEnergy    \tFrac.     \tFrac.     \t\n";
    out += "\t\t----------------------------------------------\n";
    put(out, "High Freq:\t%8.0f %9.0f%%\t %9.0f%% \t\t%s\n", h.bandEnergy / kGiga, h.fraction * 100,
        double(p.toleranceHigh), verdict(h.pass));
    put(out, "Low Freq:\t%8.0f %9.0f%%\t %9.0f%% \t\t%s\n", l.bandEnergy / kGiga, l.fraction * 100,
        double(p.toleranceLow), verdict(l.pass));
    out += dashes;
    put(out, "Power Total:\t%8.0f\n", h.totalEnergy / kGiga);
    put(out, "Power Thresh:\t%8.0ld\t\t\t\t\t%s\n\n", p.powerThreshold, verdict(pass));
    out += dashes;
    out += "Sound Statistics:\n";
    out += "\t\tExpected   \t         \tActual   \tActual\n";
    out += "\t\tPeak       \tPeak     \tPeak     \tPeak\n";
    out += "\t\tFreq.      \tFrac.    \tFreq.    \tFrac.\n";
    out += dashes;
    put(out, "High Freq:\t%8.0d %9.0f%% \t%12.0ld \t%9.0f%%\n", int(h.expectedBin),
        h.expectedFraction * 100, h.peakBin, h.peakFraction * 100);
    put(out, "Low Freq: \t%8.0d %9.0f%% \t%12.0ld \t%9.0f%%\n\n", int(l.expectedBin),
        l.expectedFraction * 100, l.peakBin, l.peakFraction * 100);
    return out;
}

SoundTestResult runSoundTest(ByteSpan recording, const SoundParams& p, SpectrumAnalyzer& analyzer) {
    SoundTestResult result;
    const long n = p.usedSamples;
    if (n < 2 || n % 2 != 0 || n > kMaxUsedSamples || p.badSamples < 0) {
        result.failure = "USED_SAMPLES must be an even number from 2 to 4194304 and "
                         "BAD_SAMPLES not negative";
        return result;
    }
    const std::size_t available = recording.size() / 2;
    if (available == 0) {
        result.failure = "The recording is empty.";
        return result;
    }
    const std::size_t needed = static_cast<std::size_t>(p.badSamples + n);
    if (available < needed) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The recording holds %zu samples; the test needs %zu (%ld skipped, %ld "
                      "analysed).",
                      available, needed, p.badSamples, n);
        result.failure = text;
        return result;
    }
    std::vector<double> samples(static_cast<std::size_t>(n));
    const std::uint8_t* at = recording.data() + 2 * static_cast<std::size_t>(p.badSamples);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(at[2 * i] | at[2 * i + 1] << 8);
    std::vector<std::complex<double>> bins;
    std::vector<double> power;
    analyzer.transform(samples, bins, power);
    const bool dump = p.printing || p.printPower;
    for (int tone = 0; tone < 2; ++tone) {
        const bool high = tone == 0;
        auto r = analyzeTone(power, n, high ? p.periodHigh : p.periodLow, p,
                             high ? p.toleranceHigh : p.toleranceLow);
        if (!r) {
            result.failure = "The expected bin of a tone lies outside the spectrum.";
            return result;
        }
        if (dump &&
            !platform::writeFileAtomically(p.dumpFile, dumpText(samples, bins, power, *r, p))) {
            result.failure = "Cannot create the dump file " + p.dumpFile.string();
            return result;
        }
        (high ? result.high : result.low) = *r;
    }
    result.pass = result.high->pass && result.low->pass;
    if (!appendToFile(p.debugFile, soundSummary(*result.high, *result.low, p, result.pass))) {
        result.pass = false;
        result.failure = "Cannot open the report file " + p.debugFile.string();
    }
    return result;
}

SoundTestResult runSoundTest(const std::filesystem::path& recording, const SoundParams& p,
                             SpectrumAnalyzer& analyzer) {
    Bytes bytes;
    if (!platform::readWholeFile(recording, bytes, 64u << 20)) {
        SoundTestResult result;
        result.failure = "Cannot read the recording " + recording.string();
        return result;
    }
    return runSoundTest(bytes, p, analyzer);
}

bool playTestSound(Station& s) {
    const std::string volumeText = s.profile.getString("DIAGNOSTICS", "SOUND_VOLUME");
    long volume = 38665;
    if (!volumeText.empty())
        volume = std::strtol(volumeText.c_str(), nullptr, 10);
    volume = std::clamp(volume, 0L, 65535L);
    s.sound.setVolume(static_cast<std::uint16_t>(volume), static_cast<std::uint16_t>(volume));
    const std::string file = s.profile.getString("DIAGNOSTICS", "SOUND_FILE");
    return !file.empty() && s.sound.playFile(file);
}

} // namespace kv::diagnostics
