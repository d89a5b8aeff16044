// The sound test: the camera records the two-tone test sound the PC plays; the recording is
// analysed by a real FFT (FFTW). For each tone, the share of the signal's energy in a band of
// ±10 % around the expected bin and the total power must reach the limits of section
// "SOUND_PARAMS". The summary is appended to the report file ("DEBUG_FILE").
#pragma once

#include "base/bytes.h"

#include <complex>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kv::settings {
class Profile;
}

namespace kv::diagnostics {

struct Station;

struct SoundParams {
    long toleranceHigh = 15; // percent
    long toleranceLow = 20;
    long playbackFreq = 8000;
    long periodHigh = 600; // ticks of 1/625 000 s
    long periodLow = 800;
    bool printing = false;
    bool printPower = false;
    long badSamples = 1024;
    long usedSamples = 65536;
    long powerThreshold = 10000; // units of 10^9
    std::filesystem::path debugFile;
    std::filesystem::path dumpFile;
};

// Reads "SOUND_PARAMS". "c:/windows/desktop/" (either slash) in the file names stands for the
// desktop directory. Sizes are bounded: at most 1 << 22 samples analysed.
SoundParams readSoundParams(const settings::Profile& profile);

inline constexpr long kMaxUsedSamples = 1L << 22;

struct ToneResult {
    long expectedBin = 0;
    long lowBin = 0;
    long highBin = 0;
    double bandEnergy = 0;
    double totalEnergy = 0;
    double fraction = 0;
    double expectedFraction = 0; // share of the expected bin alone
    long peakBin = 0;            // the highest bin inside the band
    double peakFraction = 0;
    bool pass = false;
};

// The expected bin of a tone: trunc(100 n / period x (6250 / fs) + 0.5); band: trunc(0.9 k −
// 0.5) .. trunc(1.1 k + 0.5).
long expectedBin(long n, long period, long playbackFreq);

// A real FFT planned once per size and kept; power spectra of n samples. Not thread-safe per
// object (one analyser per thread); plans are made under a process-wide lock.
class SpectrumAnalyzer {
public:
    SpectrumAnalyzer();
    ~SpectrumAnalyzer();
    SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
    SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

    // The transform of `samples` (bins 0..n/2) and its power re² + im² per bin. n even, > 0.
    void transform(const std::vector<double>& samples, std::vector<std::complex<double>>& bins,
                   std::vector<double>& power);

private:
    struct Plan;
    std::map<std::size_t, std::unique_ptr<Plan>> plans_;
};

struct SoundTestResult {
    bool pass = false;
    std::optional<ToneResult> high;
    std::optional<ToneResult> low;
    std::string failure; // why the test could not be run, when it could not
};

// The analysis of one tone over `power` (bins 0..n/2). Nothing when the expected bin is not in
// 1..n/2.
std::optional<ToneResult> analyzeTone(const std::vector<double>& power, long n, long period,
                                      const SoundParams& p, long tolerance);

// The whole test on a recording's bytes (16-bit signed little-endian samples; the first
// "BAD_SAMPLES" are skipped, stepping over any header). Appends the summary to the report
// file and writes the dump file when asked. A recording shorter than it needs fails with a
// clear reason, never reading past its end.
SoundTestResult runSoundTest(ByteSpan recording, const SoundParams& p, SpectrumAnalyzer& analyzer);
// The same on a file (at most 64 MiB are read).
SoundTestResult runSoundTest(const std::filesystem::path& recording, const SoundParams& p,
                             SpectrumAnalyzer& analyzer);

// The summary text of two tone results, as appended to the report file.
std::string soundSummary(const ToneResult& high, const ToneResult& low, const SoundParams& p,
                         bool pass);

// Sets the loudspeaker to "SOUND_VOLUME" (38665 when empty; value / 65535 of full volume on
// both channels) and starts "SOUND_FILE". False when nothing could be played.
bool playTestSound(Station& s);

} // namespace kv::diagnostics
