// The focus station's bench.

#include "camsim/focus_bench.h"

#include "platform/pseudo_terminal.h"
#include "settings/profile.h"

namespace kv::camsim {

namespace {

class BenchOperator final : public Operator {
public:
    BenchOperator(Operator& inner, BenchCradle& cradle) : inner_(inner), cradle_(cradle) {}
    void message(std::string_view text) override { inner_.message(text); }
    bool confirm(std::string_view text) override {
        const bool ok = inner_.confirm(text);
        if (ok && text == "Load Lens")
            cradle_.releaseLens();
        if (ok && text.starts_with("Glue the lens."))
            cradle_.glueLens();
        return ok;
    }
    bool askYesNo(std::string_view text) override { return inner_.askYesNo(text); }
    std::optional<std::string> askText(std::string_view prompt, std::string_view initial) override {
        return inner_.askText(prompt, initial);
    }
    std::optional<std::string> chooseFile(std::string_view title, std::string_view filter,
                                          bool forSaving) override {
        return inner_.chooseFile(title, filter, forSaving);
    }
    void beginProgress(std::string_view text, long total) override {
        inner_.beginProgress(text, total);
    }
    void setProgressText(std::string_view text) override { inner_.setProgressText(text); }
    void setProgress(long done) override { inner_.setProgress(done); }
    void endProgress() override { inner_.endProgress(); }
    bool cancelled() override { return inner_.cancelled(); }
    void pumpMessages() override { inner_.pumpMessages(); }
    void setWaitCursor(bool on) override { inner_.setWaitCursor(on); }

private:
    Operator& inner_;
    BenchCradle& cradle_;
};

} // namespace

FocusBench::FocusBench(FocusBenchOptions options)
    : options_(std::move(options)), ownCamera_(std::make_unique<BenchCamera>(options_.camera)) {
    attach(*ownCamera_);
}

FocusBench::FocusBench(FocusBenchOptions options, BenchCamera& camera)
    : options_(std::move(options)) {
    attach(camera);
}

void FocusBench::attach(BenchCamera& camera) {
    camera_ = &camera;
    cradle_ = std::make_shared<BenchCradle>(
        BenchCradleOptions{options_.cradleTravel, options_.clock, options_.cradleFaults});
    scene_ = std::make_shared<FocusScene>(options_.scene,
                                          [cradle = cradle_] { return cradle->lensPosition(); });
    registerFocusCommands(*camera_, scene_);
}

FocusBench::~FocusBench() {
    stop_ = true;
    if (lightLine_)
        lightLine_->wake();
    if (lightThread_.joinable())
        lightThread_.join();
}

std::string FocusBench::startLightLine() {
    if (lightLine_)
        return lightLine_->slavePath();
    lightLine_ = std::make_unique<platform::PseudoTerminal>();
    if (!lightLine_->isOpen())
        return {};
    lightThread_ = std::thread([this] {
        std::uint8_t chunk[64];
        Bytes pending;
        while (!stop_.load()) {
            const long n = lightLine_->read(chunk, sizeof chunk, std::chrono::milliseconds(200));
            if (n <= 0) {
                if (n < 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            pending.insert(pending.end(), chunk, chunk + n);
            while (pending.size() >= 2) {
                lights(pending[0] | (pending[1] << 8));
                pending.erase(pending.begin(), pending.begin() + 2);
            }
        }
    });
    return lightLine_->slavePath();
}

void FocusBench::writeStationSettings(settings::Profile& profile) const {
    profile.writeString("PORTS", "COM1", camera_->devicePath());
    profile.writeString("PORTS", "COM2", cradle_->devicePath());
    profile.writeInt("FOCUS_PARAMS", "CRADLE_PORT_RS232", 2);
    writeBenchSweep(profile);
}

void FocusBench::writeBenchSweep(settings::Profile& profile) {
    if (profile.getString("FOCUS_PARAMS", "CRADLE_START_POSITION").empty()) {
        profile.writeInt("FOCUS_PARAMS", "CRADLE_START_POSITION", 62800);
        profile.writeInt("FOCUS_PARAMS", "CRADLE_END_POSITION", 63300);
        profile.writeInt("FOCUS_PARAMS", "CRADLE_STEP", 4);
    }
}

bool FocusBenchDevices::lightWrite(ByteSpan bytes, std::chrono::milliseconds, std::string& error) {
    if (bytes.size() != 2) {
        error = "a light-controller code is two bytes";
        return false;
    }
    bench_.lights(bytes[0] | (bytes[1] << 8));
    return true;
}

std::unique_ptr<Operator> FocusBench::watch(Operator& inner) {
    return std::make_unique<BenchOperator>(inner, *cradle_);
}

} // namespace kv::camsim
