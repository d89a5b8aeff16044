#include "camsim/bench_station.h"

#include "camera/parameter_block.h"
#include "camsim/transfer_commands.h"
#include "diagnostics/srecord.h"
#include "imaging/process/ram_file.h"
#include "platform/atomic_file.h"
#include "platform/pseudo_terminal.h"

#include <algorithm>
#include <array>
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
    case Scene::NeutralTarget:
        break;
    }
    const bool target = k >= 160 && k < 320 && j >= 120 && j < 280;
    return scaled(target ? 450 : 60);
}

} // namespace

std::vector<std::uint16_t> benchFrame(Scene scene, int dac, int dacZero, double exposure,
                                      bool compensated, double noise, std::uint32_t seed) {
    // The black level sits in the middle of the dark measure's 16-code bins, so noise of a
    // few codes does not move the DAC it reads.
    const double dark = compensated ? 0.0 : std::max(0, 16 * (dac - dacZero) + 16);
    std::array<double, 4096> noiseTable;
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, noise);
    for (double& v : noiseTable)
        v = normal(random);
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

} // namespace

bool parseSensorDefects(std::string_view text, std::vector<SensorDefect>& out, std::string& error) {
    out.clear();
    std::size_t number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string line(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos)
            line.resize(hash);
        char kind[16] = {};
        int plane = 0, l = 0, s = 0, length = 1;
        int n = std::sscanf(line.c_str(), "%15s %d %d %d %d", kind, &plane, &l, &s, &length);
        if (n <= 0)
            continue;
        const std::string k = kind;
        SensorDefect d;
        const bool run = k == "row" || k == "column";
        if (k == "dead")
            d.kind = SensorDefect::Kind::Dead;
        else if (k == "hot")
            d.kind = SensorDefect::Kind::Hot;
        else if (k == "cluster")
            d.kind = SensorDefect::Kind::Cluster;
        else if (k == "row")
            d.kind = SensorDefect::Kind::Row;
        else if (k == "column")
            d.kind = SensorDefect::Kind::Column;
        else
            n = 0;
        const int lastLine = l + (k == "column" ? length : k == "cluster" ? 2 : 1) - 1;
        const int lastSample = s + (k == "row" ? length : k == "cluster" ? 2 : 1) - 1;
        if (n != (run ? 5 : 4) || plane < 0 || plane > 3 || l < 0 || s < 0 || length < 1 ||
            lastLine >= 400 || lastSample >= 480) {
            error = "sensor defects, line " + std::to_string(number) + ": " + line;
            return false;
        }
        d.plane = plane;
        d.line = l;
        d.sample = s;
        d.length = run ? length : 1;
        out.push_back(d);
    }
    return true;
}

bool readSensorDefects(const std::string& path, std::vector<SensorDefect>& out,
                       std::string& error) {
    Bytes text;
    if (!platform::readWholeFile(path, text, 1u << 20)) {
        error = "cannot read " + path;
        return false;
    }
    return parseSensorDefects(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), out, error);
}

std::vector<SensorDefect> seededSensorDefects(std::uint32_t seed, int count) {
    std::mt19937 random(seed);
    // Cells of 40 plane lines x 48 samples, used once each, away from the plane's edges; a
    // column takes a sample of its own (its defect reaches far beyond its run).
    std::vector<int> cells;
    for (int c = 0; c < 8 * 8; ++c)
        cells.push_back(c);
    std::shuffle(cells.begin(), cells.end(), random);
    std::vector<SensorDefect> out;
    const SensorDefect::Kind kinds[] = {SensorDefect::Kind::Dead, SensorDefect::Kind::Hot,
                                        SensorDefect::Kind::Row, SensorDefect::Kind::Cluster};
    std::size_t next = 0;
    for (int i = 0; i < count && next < cells.size(); ++i)
        for (const auto kind : kinds) {
            if (next >= cells.size())
                break;
            const int cell = cells[next++];
            SensorDefect d;
            d.kind = kind;
            d.plane = static_cast<int>(random() % 4);
            d.line = 40 + 40 * (cell / 8) + static_cast<int>(random() % 10);
            d.sample = 40 + 48 * (cell % 8) + static_cast<int>(random() % 10);
            d.length = kind == SensorDefect::Kind::Row ? 12 + static_cast<int>(random() % 10) : 1;
            out.push_back(d);
        }
    // One column, in a sample column no other defect uses.
    SensorDefect column;
    column.kind = SensorDefect::Kind::Column;
    column.plane = static_cast<int>(random() % 4);
    column.line = 150;
    column.sample = 30;
    column.length = 12;
    out.push_back(column);
    return out;
}

void applySensorDefects(const std::vector<SensorDefect>& defects, std::vector<std::uint16_t>& frame,
                        int darkLevel) {
    if (frame.size() != 960u * 800u)
        return;
    auto at = [&](const SensorDefect& d, int l, int s) -> std::uint16_t& {
        return frame[static_cast<std::size_t>((kPlaneStartLine[d.plane] + 2 * l) * 960 +
                                              kPlaneStartSample[d.plane] + 2 * s)];
    };
    auto dead = [&](std::uint16_t& v) {
        const int light = std::max(0, v - darkLevel);
        v = static_cast<std::uint16_t>(std::max(0, v - light) + light / 10);
    };
    for (const SensorDefect& d : defects) {
        switch (d.kind) {
        case SensorDefect::Kind::Dead:
            dead(at(d, d.line, d.sample));
            break;
        case SensorDefect::Kind::Hot: {
            auto& v = at(d, d.line, d.sample);
            v = static_cast<std::uint16_t>(std::min(1023, v + 600));
            break;
        }
        case SensorDefect::Kind::Row:
            for (int k = 0; k < d.length && d.sample + k < 480; ++k)
                dead(at(d, d.line, d.sample + k));
            break;
        case SensorDefect::Kind::Column:
            for (int k = 0; k < d.length && d.line + k < 400; ++k)
                dead(at(d, d.line + k, d.sample));
            break;
        case SensorDefect::Kind::Cluster:
            for (int k = 0; k < 4; ++k)
                dead(at(d, std::min(399, d.line + k / 2), std::min(479, d.sample + k % 2)));
            break;
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

void takeFrame(BenchCamera& cam, BenchStation::Model& m, bool compensated,
               std::optional<Scene> seen = std::nullopt) {
    Scene scene;
    int zero;
    double noise;
    std::uint32_t seed;
    {
        std::lock_guard guard(m.lock);
        scene = seen.value_or(m.scene());
        zero = m.options.dacZero;
        noise = m.options.sensorNoise;
        seed = m.options.seed + 7919 * ++m.frames;
        compensated = compensated || m.acquisitionMode == kCompensatedMode;
    }
    auto guard = cam.lock();
    TransferStore& store = transferStore(cam.state());
    const int dac = camera::paramDac(store.parameterRecord);
    const double exposure = exposureFactor(cam.state());
    guard.unlock();
    std::vector<std::uint16_t> mosaic =
        benchFrame(scene, dac, zero, exposure, compensated, noise, seed);
    std::vector<SensorDefect> defects;
    {
        std::lock_guard lock(m.lock);
        defects = m.options.sensorDefects;
    }
    applySensorDefects(defects, mosaic, compensated ? 0 : std::max(0, 16 * (dac - zero) + 16));
    Bytes ram = process::PackMosaic(mosaic.data(), 0);
    guard.lock();
    ram.resize(store.dram.size());
    store.dram = std::move(ram);
}

void registerStationCommands(BenchCamera& camera, std::shared_ptr<BenchStation::Model> model) {
    const CommandHandler picture = camera.handler("P0");
    const CommandHandler p7 = camera.handler("P7");
    camera.addHandler("P0", [model, picture](BenchCamera& cam, const BenchCommand& c) {
        // The answer first, as the camera does; the frame is in memory before the next
        // command is read.
        picture ? picture(cam, c) : cam.sendOk();
        takeFrame(cam, *model, false);
    });
    camera.addHandler("P7", [model, p7](BenchCamera& cam, const BenchCommand& c) {
        p7 ? p7(cam, c) : cam.sendOk();
        takeFrame(cam, *model, true);
    });
    // The gain run's pictures: P2 with the shutter closed, P1 and P5 of what the sensor sees;
    // P6 compensates the P5 frame in memory and leaves it there.
    for (const char* code : {"P1", "P2", "P5"}) {
        const CommandHandler inner = camera.handler(code);
        const bool dark = std::string_view(code) == "P2";
        camera.addHandler(code, [model, inner, dark](BenchCamera& cam, const BenchCommand& c) {
            inner ? inner(cam, c) : cam.sendOk();
            takeFrame(cam, *model, false, dark ? std::optional<Scene>(Scene::Dark) : std::nullopt);
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
    BenchStationOptions o;
    bool playing;
    {
        std::lock_guard guard(model_->lock);
        o = model_->options;
        playing = !model_->playing.empty();
    }
    const std::size_t n = static_cast<std::size_t>(std::max(0.0, seconds) * double(o.micRate));
    Bytes out(2 * n);
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
        const auto s = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
        out[2 * i] = static_cast<std::uint8_t>(s & 0xFF);
        out[2 * i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8);
    }
    return out;
}

} // namespace kv::camsim
