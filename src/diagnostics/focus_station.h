// The focus station: with the camera's lens in the motorised cradle, a run sweeps the lens
// through the focus range while the camera captures the sharpness target, finds the best-focus
// position from the sharpness curve, moves the lens there, checks the lens, prompts for the
// glue, and after the glue has set checks the focus once more. Findings go to message boxes
// and are appended to the report file "f.txt".
//
// A run uses the camera link, the lens cradle link (opened by the run, homed at its end), the
// light controller and the clock it is given; every wait is on that clock. One thread.
#pragma once

#include "base/bytes.h"
#include "base/clock.h"
#include "base/operator.h"
#include "base/result.h"
#include "diagnostics/focus_measures.h"
#include "diagnostics/focus_settings.h"
#include "diagnostics/lens_cradle_link.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kv::camera {
class CameraLink;
}
namespace kv::settings {
class Profile;
}

namespace kv::diagnostics {

// What a run works with.
struct FocusStationIo {
    FocusStationIo(Operator& o, Clock& c, settings::Profile& p) : op(o), clock(c), profile(p) {}
    Operator& op;
    Clock& clock;
    settings::Profile& profile;
    camera::CameraLink* camera = nullptr; // nullptr: the run simply ends
    // Writes a light-controller code (with its settling wait); false when the device failed.
    std::function<bool(std::uint16_t code)> lights;
    // How the cradle's port is found (and the camera's port it may not take).
    CradleLinkOptions cradle;
    // The report file (default: "f.txt" on the desktop).
    std::filesystem::path report;
    // Repeat mode: at the end of a run `nextRun` is called instead of homing the cradle.
    bool repeat = false;
    std::function<void()> nextRun;
    // Shows a captured target window (N x N, rows from the top) while "FOCUS_IMAGE_DISPLAY"
    // is set.
    std::function<void(ByteSpan window, int n)> showWindow;
};

// The result of one run's focus search.
struct FocusResult {
    long focusPosition = 0;
    long startPosition = 0;
    long step = 0;
    int count = 0;
    int requiredSharpness = 0;
    int minimumSharpness = 0;
    Sharpness final; // at the focus position
    EqualiseStats stats;
    std::vector<std::uint16_t> values;
};

enum class CheckStatus { NotRun = 0, Passed = 1, Failed = 2 };

class FocusStation {
public:
    explicit FocusStation(FocusStationIo io);
    ~FocusStation();

    // The whole run (runFocusStation).
    void run();
    // The sweep and its analysis: 0, or 0xFFFF with the reason in errorText() (nothing for a
    // cancelled "Load Lens").
    Status focusSearch(FocusResult& result);
    // Lens check 1 (axial, against `reference` x "SHARPNESS_CHECK_RATIO") or 2 (field check),
    // writing its report section. 0 or 0xFFFF (reason in errorText()). `measured` receives
    // the combined sharpness of the axial window (of the middle region in the mid field).
    // `lensMoves` false (a glued lens): the field check measures the mid field only.
    Status lensCheck(int kind, int reference, int& measured, bool lensMoves = true);

    const std::string& errorText() const { return errorText_; }
    const FocusResult& result() const { return result_; }
    CheckStatus focusStatus() const { return focusStatus_; }
    CheckStatus lensCheckStatus() const { return lensStatus_; }
    CheckStatus finalCheckStatus() const { return finalStatus_; }
    const FocusSettings& settings() const { return settings_; }

private:
    struct Measured {
        Sharpness sharpness;
        EqualiseStats stats;
        bool qualityOk = false;
    };
    struct Window {
        int n;
        long left;
        long top;
        auto operator<=>(const Window&) const = default;
    };
    // Dark windows (lights 0x85, the test exposure) for `windows`, then the target lights.
    Status takeDarks(const std::vector<Window>& windows, int line);
    // One target window: captured, dark subtracted, reordered, equalised and measured.
    Status measureWindow(const Window& w, Measured& m, int line);
    Status axialCheck(int reference, int& measured);
    Status fieldCheck(int& measured, bool lensMoves);
    void fail(const std::string& message);
    void appendReport(const std::string& text);
    bool cameraFault(Status st, int line);
    void focusReport(const FocusResult& r);

    FocusStationIo io_;
    FocusSettings settings_;
    std::unique_ptr<LensCradleLink> cradle_;
    FocusResult result_;
    std::string errorText_;
    CheckStatus focusStatus_ = CheckStatus::NotRun;
    CheckStatus lensStatus_ = CheckStatus::NotRun;
    CheckStatus finalStatus_ = CheckStatus::NotRun;
    std::map<Window, Bytes> darks_;
    std::vector<std::uint8_t> work_;
};

// runFocusStation: one run with the settings of `io.profile`.
void runFocusStation(FocusStationIo io);

struct Station;
// A run's io from a station: its operator, clock, settings and camera, its light controller
// (lightControllerWrite), the camera's port kept from the cradle, "f.txt" on the desktop.
FocusStationIo focusStationIo(Station& s);

} // namespace kv::diagnostics
