#include "camsim/bench_station.h"

#include "camera/parameter_block.h"
#include "camera/wave.h"
#include "camsim/transfer_commands.h"
#include "diagnostics/downloads.h"
#include "diagnostics/srecord.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "platform/pseudo_terminal.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>
#include <random>
#include <string_view>
#include <thread>

namespace kv::camsim {
namespace {

using process::CellSamples;

constexpr int kCompensatedMode = 1537;
// Relative response of the colour sites B, G, T, R to white light.
constexpr std::array<double, 4> kWhite{0.80, 1.00, 0.90, 0.85};

double exposureFactor(const CameraState& s) {
    if (s.autoExposure)
        return 1.0;
    if (s.exposure <= 0)
        return 0.0; // 1/2000 s: as good as dark
    return std::min(1.0, std::pow(2.0, s.exposure - 4));
}

// The scene's light on cell (k, j) for the sites B, G, T, R (10-bit codes at full exposure).
std::array<double, 4> light(Scene scene, int k, int j) {
    const auto scaled = [](double level) {
        return std::array<double, 4>{level * kWhite[0], level * kWhite[1], level * kWhite[2],
                                     level * kWhite[3]};
    };
    switch (scene) {
    case Scene::Dark:
        return {0, 0, 0, 0};
    case Scene::WhitePanel: {
        const double dx = (k - 240) / 240.0, dy = (j - 200) / 200.0;
        return scaled(700 * (1 - 0.2 * (dx * dx + dy * dy) / 2));
    }
    case Scene::BluePanel:
    case Scene::BlueFilter:
        return {600, 150, 200, 80};
    case Scene::FocusTarget:
        return scaled(((k / 16 + j / 16) % 2) ? 600 : 100);
    case Scene::FlashLit: {
        // The flash lights the target less evenly than the panel, and less brightly.
        const double dx = (k - 240) / 240.0, dy = (j - 200) / 200.0;
        return scaled(300 * (1 - 0.25 * (dx * dx + dy * dy) / 2));
    }
    case Scene::NeutralTarget:
        break;
    }
    const bool target = k >= 160 && k < 320 && j >= 120 && j < 280;
    return scaled(target ? 450 : 60);
}

} // namespace

double benchDarkLevel(int dac, int dacZero, bool compensated, double darkCurrent) {
    // The black level sits in the middle of the dark measure's 16-code bins, so noise of a
    // few codes does not move the DAC it reads.
    return compensated ? 0.0 : std::max(0, 16 * (dac - dacZero) + 16) + darkCurrent;
}

std::vector<std::uint16_t> benchFrame(Scene scene, int dac, int dacZero, double exposure,
                                      bool compensated, double noise, std::uint32_t seed,
                                      double darkCurrent) {
    const double dark = benchDarkLevel(dac, dacZero, compensated, darkCurrent);
    std::array<double, 4096> noiseTable{};
    if (noise > 0) { // a deviation of 0 is no distribution: the table stays 0
        std::mt19937 random(seed);
        std::normal_distribution<double> normal(0.0, noise);
        for (double& v : noiseTable)
            v = normal(random);
    }
    std::uint32_t pick = seed * 2654435761u + 1;
    std::vector<std::uint16_t> mosaic(process::kMosaicSamples);
    for (int j = 0; j < process::kCellRows; ++j)
        for (int k = 0; k < process::kCellColumns; ++k) {
            const std::array<double, 4> l = light(scene, k, j);
            std::array<std::uint16_t, 4> v{};
            for (std::size_t c = 0; c < 4; ++c) {
                pick = pick * 1664525u + 1013904223u;
                const double x = dark + l[c] * exposure + noiseTable[pick >> 20];
                v[c] = static_cast<std::uint16_t>(std::clamp(std::lround(x), 0L, 1023L));
            }
            process::SetMosaicCell(mosaic.data(), k, j, CellSamples{v[0], v[1], v[2], v[3]});
        }
    return mosaic;
}

namespace {

constexpr int kPlaneStartLine[4] = {1, 0, 0, 1};
constexpr int kPlaneStartSample[4] = {1, 1, 0, 0};

using Kind = SensorDefect::Kind;

// How a kind is written: its name and the numbers after it.
enum class Form {
    Pixel,   // PLANE LINE SAMPLE
    Run,     // PLANE LINE SAMPLE LENGTH
    Ceiling, // PLANE LINE LENGTH
    Corner,  // CORNER RADIUS
    Level    // a number, decimals allowed
};
struct KindForm {
    Kind kind;
    std::string_view name;
    Form form;
};
constexpr KindForm kForms[] = {
    {Kind::Dead, "dead", Form::Pixel},
    {Kind::Hot, "hot", Form::Pixel},
    {Kind::Row, "row", Form::Run},
    {Kind::Column, "column", Form::Run},
    {Kind::Cluster, "cluster", Form::Pixel},
    {Kind::Weak, "weak", Form::Pixel},
    {Kind::Strong, "strong", Form::Pixel},
    {Kind::DoubleRow, "doublerow", Form::Run},
    {Kind::DoubleColumn, "doublecolumn", Form::Run},
    {Kind::ClusterRow, "clusterrow", Form::Run},
    {Kind::ClusterColumn, "clustercolumn", Form::Run},
    {Kind::Blob, "blob", Form::Run},
    {Kind::Dye, "dye", Form::Pixel},
    {Kind::Ceiling, "ceiling", Form::Ceiling},
    {Kind::Vignetting, "vignetting", Form::Corner},
    {Kind::DarkCurrent, "darkcurrent", Form::Level},
    {Kind::Noise, "noise", Form::Level},
};

const KindForm& formOf(Kind kind) {
    for (const KindForm& f : kForms)
        if (f.kind == kind)
            return f;
    return kForms[0];
}

// The plane lines and samples a pixel defect covers, from its position.
int linesOf(const SensorDefect& d) {
    switch (d.kind) {
    case Kind::Column:
    case Kind::DoubleColumn:
    case Kind::ClusterColumn:
    case Kind::Ceiling:
        return d.length;
    case Kind::Cluster:
    case Kind::Dye:
    case Kind::DoubleRow:
    case Kind::ClusterRow:
    case Kind::Blob:
        return 2;
    default:
        return 1;
    }
}
int samplesOf(const SensorDefect& d) {
    switch (d.kind) {
    case Kind::Row:
    case Kind::DoubleRow:
    case Kind::ClusterRow:
    case Kind::Blob:
        return d.length;
    case Kind::Cluster:
    case Kind::Dye:
    case Kind::DoubleColumn:
    case Kind::ClusterColumn:
        return 2;
    default:
        return 1;
    }
}

bool valid(const SensorDefect& d) {
    switch (formOf(d.kind).form) {
    case Form::Corner:
        return d.plane >= 0 && d.plane <= 3 && d.length >= 1 && d.length <= 400;
    case Form::Level:
        return std::isfinite(d.level) && d.level >= 0 &&
               d.level <= (d.kind == Kind::Noise ? 100 : 1023);
    default:
        return d.plane >= 0 && d.plane <= 3 && d.line >= 0 && d.sample >= 0 && d.length >= 1 &&
               d.length <= 480 && (d.kind != Kind::Blob || d.length >= 3) &&
               d.line + linesOf(d) <= 400 && d.sample + samplesOf(d) <= 480;
    }
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    while (true) {
        const auto begin = line.find_first_not_of(" \t\r");
        if (begin == std::string_view::npos)
            return out;
        line.remove_prefix(begin);
        const auto end = std::min(line.find_first_of(" \t\r"), line.size());
        out.push_back(line.substr(0, end));
        line.remove_prefix(end);
    }
}

bool wholeNumber(std::string_view word, int& out) {
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out);
    return ec == std::errc() && end == word.data() + word.size();
}

bool decimalNumber(std::string_view word, double& out) {
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out);
    return ec == std::errc() && end == word.data() + word.size();
}

// One line's defect; false when the line is not one.
bool parseDefect(const std::vector<std::string_view>& w, SensorDefect& d) {
    const auto form = std::find_if(std::begin(kForms), std::end(kForms),
                                   [&](const KindForm& f) { return f.name == w[0]; });
    if (form == std::end(kForms))
        return false;
    d = {};
    d.kind = form->kind;
    int n[4] = {};
    const auto numbers = [&](std::size_t count) {
        if (w.size() != count + 1)
            return false;
        for (std::size_t i = 0; i < count; ++i)
            if (!wholeNumber(w[i + 1], n[i]))
                return false;
        return true;
    };
    switch (form->form) {
    case Form::Pixel:
    case Form::Run:
        if (!numbers(form->form == Form::Run ? 4 : 3))
            return false;
        d.plane = n[0];
        d.line = n[1];
        d.sample = n[2];
        d.length = form->form == Form::Run ? n[3] : 1;
        break;
    case Form::Ceiling:
        if (!numbers(3))
            return false;
        d.plane = n[0];
        d.line = n[1];
        d.sample = 479;
        d.length = n[2];
        break;
    case Form::Corner:
        if (!numbers(2))
            return false;
        d.plane = n[0];
        d.length = n[1];
        break;
    case Form::Level:
        if (w.size() != 2 || !decimalNumber(w[1], d.level))
            return false;
        break;
    }
    return valid(d);
}

} // namespace

bool parseSensorDefects(std::string_view text, std::vector<SensorDefect>& out, std::string& error) {
    out.clear();
    std::size_t number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        const std::string_view full = line;
        if (const auto hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        const std::vector<std::string_view> w = words(line);
        if (w.empty())
            continue;
        SensorDefect d;
        if (!parseDefect(w, d)) {
            error = "sensor defects, line " + std::to_string(number) + ": " +
                    std::string(full.substr(0, 80));
            out.clear();
            return false;
        }
        if (out.size() >= kMaxSensorDefects) {
            error = "sensor defects: more than " + std::to_string(kMaxSensorDefects);
            out.clear();
            return false;
        }
        out.push_back(d);
    }
    return true;
}

bool readSensorDefects(const std::string& path, std::vector<SensorDefect>& out,
                       std::string& error) {
    Bytes text;
    if (!platform::readWholeFile(path, text, 1u << 20)) {
        error = "cannot read " + path + " (or it is larger than 1 MiB)";
        return false;
    }
    return parseSensorDefects(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), out, error);
}

std::string formatSensorDefects(const std::vector<SensorDefect>& defects) {
    std::string out;
    char line[96];
    for (const SensorDefect& d : defects) {
        const KindForm& f = formOf(d.kind);
        const std::string name(f.name);
        switch (f.form) {
        case Form::Pixel:
            std::snprintf(line, sizeof line, "%s %d %d %d\n", name.c_str(), d.plane, d.line,
                          d.sample);
            break;
        case Form::Run:
            std::snprintf(line, sizeof line, "%s %d %d %d %d\n", name.c_str(), d.plane, d.line,
                          d.sample, d.length);
            break;
        case Form::Ceiling:
            std::snprintf(line, sizeof line, "%s %d %d %d\n", name.c_str(), d.plane, d.line,
                          d.length);
            break;
        case Form::Corner:
            std::snprintf(line, sizeof line, "%s %d %d\n", name.c_str(), d.plane, d.length);
            break;
        case Form::Level:
            std::snprintf(line, sizeof line, "%s %.17g\n", name.c_str(), d.level);
            break;
        }
        out += line;
    }
    return out;
}

std::vector<SensorDefect> seededSensorDefects(std::uint32_t seed, int count) {
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    // Cells of 40 plane lines x 48 samples, used once each, away from the plane's edges; a
    // column takes a sample of its own (its defect reaches far beyond its run), the ceiling
    // pixels the last plane sample.
    std::vector<int> cells;
    for (int c = 0; c < 8 * 8; ++c)
        cells.push_back(c);
    std::shuffle(cells.begin(), cells.end(), random);
    std::vector<SensorDefect> out;
    std::size_t next = 0;
    const auto place = [&](Kind kind, int length) {
        if (next >= cells.size())
            return;
        const int cell = cells[next++];
        SensorDefect d;
        d.kind = kind;
        d.plane = pick(4);
        d.line = 40 + 40 * (cell / 8) + pick(10);
        d.sample = 40 + 48 * (cell % 8) + pick(10);
        d.length = length;
        out.push_back(d);
    };
    for (int i = 0; i < count; ++i) {
        place(Kind::Dead, 1);
        place(Kind::Hot, 1);
        place(Kind::Row, 12 + pick(10));
        place(Kind::Cluster, 1);
        place(Kind::Weak, 1);
        place(Kind::Strong, 1);
        place(Kind::Blob, 3 + pick(4));
        place(Kind::Dye, 1);
    }
    if (count > 0) {
        place(Kind::DoubleRow, 11 + pick(6));
        place(Kind::DoubleColumn, 11 + pick(6));
        place(Kind::ClusterRow, 11 + pick(6));
        place(Kind::ClusterColumn, 11 + pick(6));
        // A single ceiling pixel and a pair, apart.
        out.push_back({Kind::Ceiling, pick(4), 60 + pick(100), 479, 1});
        out.push_back({Kind::Ceiling, pick(4), 240 + pick(100), 479, 2});
    }
    // One column, in a sample column no other defect uses.
    out.push_back({Kind::Column, pick(4), 150, 30, 12});
    SensorDefect dark;
    dark.kind = Kind::DarkCurrent;
    dark.level = 2 + pick(6);
    out.push_back(dark);
    SensorDefect noise;
    noise.kind = Kind::Noise;
    noise.level = 1.0 + 0.25 * pick(4);
    out.push_back(noise);
    return out;
}

SensorDefect seededVignetting(std::uint32_t seed, int radius) {
    std::mt19937 random(seed);
    SensorDefect d;
    d.kind = Kind::Vignetting;
    d.plane = static_cast<int>(random() % 4);
    d.length = radius;
    return d;
}

namespace {

// The raw corner pixel of a vignetting corner (0 top right, 1 top left, 2 bottom right,
// 3 bottom left).
std::pair<int, int> cornerPixel(int corner) {
    return {corner >= 2 ? 799 : 0, corner == 0 || corner == 2 ? 959 : 0};
}

template <typename Visit>
void forShadow(const SensorDefect& d, Visit visit) {
    const auto [cy, cx] = cornerPixel(d.plane);
    const long r2 = long(d.length) * d.length;
    for (int dy = 0; dy < d.length && dy < 800; ++dy)
        for (int dx = 0; dx < d.length && dx < 960; ++dx)
            if (long(dy) * dy + long(dx) * dx < r2)
                visit(cy == 0 ? dy : cy - dy, cx == 0 ? dx : cx - dx);
}

} // namespace

long vignettingArea(const SensorDefect& vignetting) {
    long area = 0;
    forShadow(vignetting, [&](int, int) { ++area; });
    return area;
}

void applySensorDefects(const std::vector<SensorDefect>& defects, std::vector<std::uint16_t>& frame,
                        int darkLevel, Lighting lighting) {
    if (frame.size() != 960u * 800u)
        return;
    // The light part of a sample (above the dark level) scaled by `factor`.
    auto dim = [&](std::uint16_t& v, double factor) {
        const int light = std::max(0, v - darkLevel);
        const long scaled = v - light + std::lround(light * factor);
        v = static_cast<std::uint16_t>(std::clamp(scaled, 0L, 1023L));
    };
    // The whole reading scaled, in light only.
    auto scale = [&](std::uint16_t& v, double factor, bool when) {
        if (when)
            v = static_cast<std::uint16_t>(std::clamp(std::lround(v * factor), 0L, 1023L));
    };
    const bool lit = lighting != Lighting::Dark;
    for (const SensorDefect& d : defects)
        if (d.kind == Kind::Vignetting)
            forShadow(d, [&](int y, int x) { scale(frame[std::size_t(y) * 960 + x], 0.3, lit); });
    for (const SensorDefect& d : defects) {
        if (d.plane < 0 || d.plane > 3)
            continue;
        const int lines = std::min(linesOf(d), 400 - d.line);
        const int samples = std::min(samplesOf(d), 480 - d.sample);
        for (int l = d.line; l < d.line + lines; ++l)
            for (int s = d.sample; s < d.sample + samples; ++s) {
                auto& v = frame[static_cast<std::size_t>((kPlaneStartLine[d.plane] + 2 * l) * 960 +
                                                         kPlaneStartSample[d.plane] + 2 * s)];
                switch (d.kind) {
                case Kind::Hot:
                    v = static_cast<std::uint16_t>(std::min(1023, v + 600));
                    break;
                case Kind::Weak:
                    scale(v, 0.85, lit);
                    break;
                case Kind::Strong:
                    scale(v, 0.6, lit);
                    break;
                case Kind::Dye:
                    scale(v, 1.6, lighting == Lighting::Blue);
                    break;
                case Kind::Ceiling:
                    v = static_cast<std::uint16_t>(std::min(int(v), darkLevel + 40));
                    break;
                case Kind::ClusterRow: // the weak run first, then the dead one
                case Kind::ClusterColumn: {
                    const bool first = d.kind == Kind::ClusterRow ? l == d.line : s == d.sample;
                    if (first)
                        scale(v, 0.85, lit);
                    else
                        dim(v, 0.1);
                    break;
                }
                case Kind::Vignetting:
                case Kind::DarkCurrent:
                case Kind::Noise:
                    break;
                default: // dead pixels, alone or in runs and blocks
                    dim(v, 0.1);
                    break;
                }
            }
    }
}

struct BenchStation::Model {
    mutable std::mutex lock;
    BenchStationOptions options;
    std::vector<OutputWrite> writes;
    std::uint8_t relay = 0;
    std::uint16_t lightCode = 0;
    bool lightWritten = false;
    int acquisitionMode = 0;
    std::optional<std::int32_t> pendingSerial;
    bool programming = false; // after "D0": lines are S-records
    int recordNumber = 0;
    int refusalsLeft = 0;
    std::string newFirmware;
    std::uint32_t frames = 0;
    std::uint16_t volume = 0;
    std::string playing;
    std::vector<std::string> blocks;
    int goodBlocks = 0;
    int corruptionsLeft = 0;

    Scene scene() const {
        if (relay == diagnostics::kRelayWhitePanel)
            return Scene::WhitePanel;
        if (relay == diagnostics::kRelayBluePanel)
            return Scene::BluePanel;
        if (lightWritten) {
            switch (lightCode) {
            case diagnostics::kLightDark:
                return Scene::Dark;
            case diagnostics::kLightBlueFilter:
                return Scene::BlueFilter;
            case diagnostics::kLightFocusTarget:
                return Scene::FocusTarget;
            default:
                break;
            }
        }
        return Scene::NeutralTarget;
    }
};

namespace {

class RecordingDevices final : public diagnostics::StationDevices {
public:
    explicit RecordingDevices(std::shared_ptr<BenchStation::Model> model)
        : model_(std::move(model)) {}
    bool relayWrite(unsigned baseAddress, std::uint8_t value, std::string& error) override {
        std::lock_guard guard(model_->lock);
        if (model_->options.relayMissing) {
            error = "/dev/parport0: cannot open: No such file or directory";
            return false;
        }
        model_->writes.push_back({OutputWrite::Device::Relay, baseAddress, Bytes{value}});
        model_->relay = value;
        return true;
    }
    bool lightWrite(ByteSpan bytes, std::chrono::milliseconds, std::string& error) override {
        std::lock_guard guard(model_->lock);
        if (model_->options.lightMissing) {
            error = "/dev/lp0: cannot open: No such file or directory";
            return false;
        }
        model_->writes.push_back(
            {OutputWrite::Device::Light, 0, Bytes(bytes.begin(), bytes.end())});
        if (bytes.size() == 2) {
            model_->lightCode = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
            model_->lightWritten = true;
        }
        return true;
    }

private:
    std::shared_ptr<BenchStation::Model> model_;
};

class Loudspeaker final : public SoundOutput {
public:
    explicit Loudspeaker(std::shared_ptr<BenchStation::Model> model) : model_(std::move(model)) {}
    bool setVolume(std::uint16_t left, std::uint16_t) override {
        std::lock_guard guard(model_->lock);
        model_->volume = left;
        return true;
    }
    bool playFile(std::string_view path) override {
        std::lock_guard guard(model_->lock);
        model_->playing = std::string(path);
        return true;
    }

private:
    std::shared_ptr<BenchStation::Model> model_;
};

// The firmware version after a good download: the header record's text when it is a version
// number, else the old version one hundredth higher.
std::string nextFirmware(const std::string& header, const std::string& old) {
    char* end = nullptr;
    const double v = std::strtod(header.c_str(), &end);
    if (!header.empty() && end && *end == '\0' && v > 0 && header.size() < 12)
        return header;
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", std::atof(old.c_str()) + 0.01);
    return text;
}

// A flash that stores one byte of the gain image wrong: the byte at `offset` of the image,
// when the "D1" block just stored covers it, is inverted where "U2" reads the image back.
void flipStoredGainByte(BenchCamera& cam, const BenchCommand& c, long offset) {
    const long start = c.number(0, -1);
    const long length = c.number(1, -1);
    if (offset < start || offset >= start + length || start < 0)
        return;
    withTransferStore(cam, [&](TransferStore& store) {
        const auto at = static_cast<std::size_t>(diagnostics::kGainFlashAddress + offset);
        if (at < store.fram.size())
            store.fram[at] = static_cast<std::uint8_t>(~store.fram[at]);
    });
}

// Where a picture's light comes from: the station's outputs; none (the shutter closed); or
// the camera's flash when it is on, else the outputs.
enum class Light { Station, Dark, Flash };

void takeFrame(BenchCamera& cam, BenchStation::Model& m, bool compensated,
               Light lightSource = Light::Station) {
    Scene scene;
    int zero;
    double noise, darkCurrent = 0;
    std::uint32_t seed;
    std::vector<SensorDefect> defects;
    {
        std::lock_guard guard(m.lock);
        scene = lightSource == Light::Dark ? Scene::Dark : m.scene();
        zero = m.options.dacZero;
        noise = m.options.sensorNoise;
        seed = m.options.seed + 7919 * ++m.frames;
        compensated = compensated || m.acquisitionMode == kCompensatedMode;
        defects = m.options.sensorDefects;
    }
    for (const SensorDefect& d : defects) {
        if (d.kind == SensorDefect::Kind::Noise)
            noise = d.level;
        else if (d.kind == SensorDefect::Kind::DarkCurrent)
            darkCurrent += d.level;
    }
    auto guard = cam.lock();
    TransferStore& store = transferStore(cam.state());
    const int dac = camera::paramDac(store.parameterRecord);
    const double exposure = exposureFactor(cam.state());
    if (lightSource == Light::Flash && cam.state().flash && scene != Scene::BlueFilter)
        scene = Scene::FlashLit;
    guard.unlock();
    std::vector<std::uint16_t> mosaic =
        benchFrame(scene, dac, zero, exposure, compensated, noise, seed, darkCurrent);
    const Lighting lighting = scene == Scene::Dark || exposure <= 0 ? Lighting::Dark
                              : scene == Scene::BluePanel || scene == Scene::BlueFilter
                                  ? Lighting::Blue
                                  : Lighting::White;
    applySensorDefects(
        defects, mosaic,
        static_cast<int>(std::lround(benchDarkLevel(dac, zero, compensated, darkCurrent))),
        lighting);
    Bytes ram = process::PackMosaic(mosaic.data(), 0);
    guard.lock();
    ram.resize(store.dram.size());
    store.dram = std::move(ram);
}

// The length of the note a picture with sound records.
constexpr double kNoteSeconds = 10;

// What the microphone hears in `seconds`: the two tones while the loudspeaker plays the test
// sound, noise always.
std::vector<std::int16_t> microphone(const BenchStation::Model& m, double seconds) {
    BenchStationOptions o;
    bool playing;
    {
        std::lock_guard guard(m.lock);
        o = m.options;
        playing = !m.playing.empty();
    }
    const std::size_t n = static_cast<std::size_t>(std::max(0.0, seconds) * double(o.micRate));
    std::vector<std::int16_t> out(n);
    std::mt19937 random(o.seed);
    std::normal_distribution<double> noise(0.0, o.micNoise);
    const double fHigh = 625000.0 / double(o.periodHigh);
    const double fLow = 625000.0 / double(o.periodLow);
    constexpr double twoPi = 2 * std::numbers::pi;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = double(i) / double(o.micRate);
        double v = o.micNoise > 0 ? noise(random) : 0.0;
        if (playing)
            v += o.highToneLevel * std::sin(twoPi * fHigh * t) +
                 o.lowToneLevel * std::sin(twoPi * fLow * t);
        out[i] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
    }
    return out;
}

// A picture taken with sound on while the loudspeaker plays gets a sound note of what the
// microphone heard (stored before it, as the camera keeps notes).
void recordNote(BenchCamera& cam, const BenchStation::Model& m) {
    {
        std::lock_guard guard(m.lock);
        if (m.playing.empty())
            return;
    }
    bool soundOn = false;
    // Memory-card cameras keep their notes as files: none is made for them.
    cam.withState([&](CameraState& s) { soundOn = s.sound != 0 && (s.type & 0x400) == 0; });
    if (!soundOn)
        return;
    StoredItem note;
    note.kind = 1;
    note.data = appendCheckWord(camera::encodeImaAdpcm(microphone(m, kNoteSeconds)));
    cam.withState([&](CameraState& s) {
        auto& items = transferStore(s).items;
        if (!items.empty() && items.back().kind == 0)
            items.insert(items.end() - 1, std::move(note));
    });
}

void registerStationCommands(BenchCamera& camera, std::shared_ptr<BenchStation::Model> model) {
    const CommandHandler picture = camera.handler("P0");
    const CommandHandler p7 = camera.handler("P7");
    camera.addHandler("P0", [model, picture](BenchCamera& cam, const BenchCommand& c) {
        // The answer first, as the camera does; the frame is in memory before the next
        // command is read.
        picture ? picture(cam, c) : cam.sendOk();
        takeFrame(cam, *model, false);
        recordNote(cam, *model);
    });
    camera.addHandler("P7", [model, p7](BenchCamera& cam, const BenchCommand& c) {
        p7 ? p7(cam, c) : cam.sendOk();
        takeFrame(cam, *model, true);
    });
    // The gain run's pictures: P2 with the shutter closed, P1 (calibration, with the flash
    // when it is on) and P5 of what the sensor sees. P6 leaves the P5 frame in memory as it
    // is: the bench's white frames keep their dark level.
    for (const auto& picture : {std::pair{"P1", Light::Flash}, std::pair{"P2", Light::Dark},
                                std::pair{"P5", Light::Station}}) {
        const CommandHandler inner = camera.handler(picture.first);
        const Light light = picture.second;
        camera.addHandler(picture.first,
                          [model, inner, light](BenchCamera& cam, const BenchCommand& c) {
                              inner ? inner(cam, c) : cam.sendOk();
                              takeFrame(cam, *model, false, light);
                          });
    }
    camera.addHandler("Z1", [model](BenchCamera& cam, const BenchCommand& c) {
        if (c.count() != 1) {
            cam.sendRefusal();
            return;
        }
        std::lock_guard guard(model->lock);
        model->acquisitionMode = static_cast<int>(c.number(0));
        cam.sendOk();
    });
    camera.addHandler("D5", [model](BenchCamera& cam, const BenchCommand& c) {
        if (c.count() != 1) {
            cam.sendRefusal();
            return;
        }
        std::lock_guard guard(model->lock);
        model->pendingSerial = static_cast<std::int32_t>(c.number(0));
        cam.sendOk();
    });
    const CommandHandler announce = camera.handler("L0");
    camera.addHandler("L0", [model, announce](BenchCamera& cam, const BenchCommand& c) {
        std::optional<std::int32_t> serial;
        {
            std::lock_guard guard(model->lock);
            serial = std::exchange(model->pendingSerial, std::nullopt);
        }
        if (serial)
            cam.withState([&](CameraState& s) {
                s.serialNumber = *serial;
                s.statusChanged = true;
            });
        announce ? announce(cam, c) : cam.sendOk();
    });
    camera.addHandler("D0", [model](BenchCamera& cam, const BenchCommand&) {
        std::lock_guard guard(model->lock);
        model->programming = true;
        model->recordNumber = 0;
        model->refusalsLeft = model->options.refuseRecordTimes;
        model->newFirmware.clear();
        cam.sendOk();
    });
    // Download blocks: logged, and the chosen block's "OK\r\n" corrupted on request.
    for (const char* code : {"D1", "D2", "D3", "U1"}) {
        const CommandHandler inner = camera.handler(code);
        camera.addHandler(code, [model, inner](BenchCamera& cam, const BenchCommand& c) {
            std::unique_lock guard(model->lock);
            model->blocks.push_back(c.line);
            const bool corrupt = model->goodBlocks + 1 == model->options.corruptBlockReply &&
                                 model->corruptionsLeft > 0;
            if (corrupt)
                --model->corruptionsLeft;
            else
                ++model->goodBlocks;
            guard.unlock();
            if (!corrupt) {
                inner ? inner(cam, c) : cam.sendRefusal();
                if (c.code == "D1")
                    flipStoredGainByte(cam, c, model->options.flipStoredGainByte);
                return;
            }
            const long length = c.code == "D3" ? c.number(0, 0) : c.number(1, 0);
            cam.sendOk();
            Bytes block(static_cast<std::size_t>(std::clamp(length, 0L, 8192L)));
            if (cam.receiveRaw(block.data(), block.size(), std::chrono::milliseconds(5000))) {
                const std::uint8_t bad[4] = {'O', 'K', '\r', '\r'};
                cam.sendRaw(ByteSpan(bad, 4));
            }
        });
    }
    const CommandHandler sound = camera.handler("S0");
    const CommandHandler s1 = camera.handler("S1");
    for (char type = '0'; type <= '9'; ++type) {
        const std::string code{'S', type};
        const CommandHandler plain = type == '0' ? sound : type == '1' ? s1 : CommandHandler();
        camera.addHandler(code, [model, plain](BenchCamera& cam, const BenchCommand& c) {
            std::unique_lock guard(model->lock);
            if (!model->programming || c.line.find(';') != std::string::npos) {
                guard.unlock();
                plain ? plain(cam, c) : cam.sendRefusal();
                return;
            }
            const diagnostics::SRecordFile parsed = diagnostics::parseSRecords(c.line);
            const int number = model->recordNumber + 1;
            const bool refused = !parsed.ok() || (number == model->options.refuseRecord &&
                                                  model->refusalsLeft-- > 0);
            if (refused) {
                guard.unlock();
                cam.sendRefusal();
                return;
            }
            model->recordNumber = number;
            const diagnostics::SRecord& r = parsed.records.front();
            if (r.type == '0')
                model->newFirmware = diagnostics::headerText(parsed);
            const bool last = r.type == '7' || r.type == '8' || r.type == '9';
            std::string header = model->newFirmware;
            if (last)
                model->programming = false;
            guard.unlock();
            if (last)
                cam.withState([&](CameraState& s) {
                    s.firmware = nextFirmware(header, s.firmware);
                    s.statusChanged = true;
                });
            cam.sendOk();
        });
    }
}

} // namespace

BenchStation::BenchStation(BenchCamera& camera, BenchStationOptions options)
    : camera_(camera), model_(std::make_shared<Model>()) {
    model_->options = options;
    model_->corruptionsLeft = options.corruptBlockTimes;
    devices_ = std::make_unique<RecordingDevices>(model_);
    speaker_ = std::make_unique<Loudspeaker>(model_);
    registerStationCommands(camera_, model_);
    // The camera leaves the factory with the middle DAC setting.
    withTransferStore(camera_, [](TransferStore& store) {
        Bytes& record = store.parameterRecord;
        if (camera::paramDac(record) == 0)
            camera::setParamDac(record, 16);
    });
}

struct BenchStation::Lines {
    platform::PseudoTerminal relay;
    platform::PseudoTerminal lights;
    std::atomic<bool> stop{false};
    std::thread relayThread;
    std::thread lightThread;
    ~Lines() {
        stop = true;
        relay.wake();
        lights.wake();
        if (relayThread.joinable())
            relayThread.join();
        if (lightThread.joinable())
            lightThread.join();
    }
};

BenchStation::~BenchStation() = default;

std::pair<std::string, std::string> BenchStation::startOutputLines() {
    if (lines_)
        return {lines_->relay.slavePath(), lines_->lights.slavePath()};
    auto lines = std::make_unique<Lines>();
    if (!lines->relay.isOpen() || !lines->lights.isOpen())
        return {};
    // Each byte on the relay line is one control-register value, each pair on the light line
    // one code (little-endian).
    const auto pump = [this, l = lines.get()](platform::PseudoTerminal& line, std::size_t unit) {
        Bytes pending;
        std::uint8_t chunk[64];
        std::string error;
        while (!l->stop.load()) {
            const long n = line.read(chunk, sizeof chunk, std::chrono::milliseconds(200));
            if (n <= 0) {
                if (n < 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            pending.insert(pending.end(), chunk, chunk + n);
            for (; pending.size() >= unit;
                 pending.erase(pending.begin(), pending.begin() + long(unit))) {
                if (unit == 1)
                    devices_->relayWrite(0, pending[0], error);
                else
                    devices_->lightWrite(ByteSpan(pending.data(), 2), {}, error);
            }
        }
    };
    lines->relayThread = std::thread([pump, l = lines.get()] { pump(l->relay, 1); });
    lines->lightThread = std::thread([pump, l = lines.get()] { pump(l->lights, 2); });
    lines_ = std::move(lines);
    return {lines_->relay.slavePath(), lines_->lights.slavePath()};
}

diagnostics::StationDevices& BenchStation::devices() {
    return *devices_;
}

SoundOutput& BenchStation::loudspeaker() {
    return *speaker_;
}

std::vector<OutputWrite> BenchStation::outputLog() const {
    std::lock_guard guard(model_->lock);
    return model_->writes;
}

std::vector<std::string> BenchStation::blockLog() const {
    std::lock_guard guard(model_->lock);
    return model_->blocks;
}

Scene BenchStation::scene() const {
    std::lock_guard guard(model_->lock);
    return model_->scene();
}

std::uint16_t BenchStation::volume() const {
    std::lock_guard guard(model_->lock);
    return model_->volume;
}

std::string BenchStation::playing() const {
    std::lock_guard guard(model_->lock);
    return model_->playing;
}

Bytes BenchStation::record(double seconds) const {
    const std::vector<std::int16_t> samples = microphone(*model_, seconds);
    Bytes out;
    out.reserve(2 * samples.size());
    for (std::int16_t v : samples)
        appendLe16(out, static_cast<std::uint16_t>(v));
    return out;
}

} // namespace kv::camsim
