// The focus station's run, focus search and lens checks.

#include "diagnostics/focus_station.h"

#include "camera/camera_link.h"
#include "camera/command_table.h"
#include "diagnostics/focus_window.h"
#include "diagnostics/station.h"
#include "diagnostics/station_outputs.h"
#include "platform/paths.h"
#include "settings/app_settings.h"
#include "settings/profile.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace kv::diagnostics {

namespace {

constexpr double kMinFirmware = 1.56;
constexpr std::int32_t kSerialNotSet = -1; // 0xFFFFFFFF
// The final check moves the lens this far back before measuring (the cradle lets go of the
// glued lens).
constexpr long kReleaseDistance = 350;

std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

} // namespace

FocusStation::FocusStation(FocusStationIo io)
    : io_(std::move(io)), settings_(FocusSettings::read(io_.profile)) {
    if (io_.report.empty())
        io_.report = platform::desktopDirectory() / "f.txt";
}

FocusStation::~FocusStation() = default;

void FocusStation::fail(const std::string& message) {
    errorText_ += "\n";
    errorText_ += message;
}

void FocusStation::appendReport(const std::string& text) {
    std::ofstream out(io_.report, std::ios::app | std::ios::binary);
    if (out)
        out << text;
}

bool FocusStation::cameraFault(Status st, int line) {
    if (st == status::Ok)
        return false;
    if (st == status::LinkLost || st == status::LostWhileBusy)
        fail("Lost communication with camera!");
    else
        fail(format("Camera fault at Line Number %d", line));
    return true;
}

Status FocusStation::takeDarks(const std::vector<Window>& windows, int line) {
    camera::CameraLink& link = *io_.camera;
    if (io_.lights)
        io_.lights(0x85);
    Status st = link.execute(camera::cmd::Exposure, {settings_.exposure});
    for (const Window& w : windows) {
        if (st != status::Ok)
            break;
        Bytes raw;
        st = captureWindow(link, w.n, w.left, w.top, raw, io_.op);
        if (st == status::Ok)
            darks_[w] = std::move(raw);
    }
    if (io_.lights)
        io_.lights(0x82);
    return cameraFault(st, line) ? status::Failed : status::Ok;
}

Status FocusStation::measureWindow(const Window& w, Measured& m, int line) {
    Bytes raw;
    const Status st = captureWindow(*io_.camera, w.n, w.left, w.top, raw, io_.op);
    if (cameraFault(st, line))
        return status::Failed;
    const std::size_t size = raw.size();
    work_.resize(size);
    const auto dark = darks_.find(w);
    subtractDarkAndReorder(raw, dark != darks_.end() ? ByteSpan(dark->second) : ByteSpan(), w.n,
                           work_);
    if (settings_.imageDisplay && io_.showWindow)
        io_.showWindow(work_, w.n);
    m.stats = equaliseWindow(work_, w.n, settings_.newEqualise);
    SharpnessState state;
    m.sharpness = measureSharpness(work_, w.n, state);
    m.qualityOk = targetQualityOk(m.stats, settings_.minGreyRatio, settings_.maxGain);
    return status::Ok;
}

Status FocusStation::focusSearch(FocusResult& r) {
    const FocusSettings& s = settings_;
    const long maxPos = s.cradle.maxPosition;
    const Window target{s.targetSize, s.left, s.top};
    if (!validWindowSide(s.targetSize) || s.left < 0 || s.top < 0 || s.left + s.targetSize > 960 ||
        s.top + s.targetSize > 800) {
        fail("Focus target window does not fit the sensor!");
        return status::Failed;
    }
    cradle_ = std::make_unique<LensCradleLink>(io_.op, io_.cradle);
    if (cradle_->open(s.cradle) != status::Ok) {
        fail("Unable to initialize lens cradle!");
        return status::Failed;
    }
    if (!cradle_->checkPosition(0)) {
        fail("Lens cradle position error (1)!");
        return status::Failed;
    }
    if (!io_.op.confirm("Load Lens"))
        return status::Failed;

    cradle_->setSpeed(s.cradle.maxSpeed);
    if (!cradle_->moveChecked(std::min(s.loadedPosition, maxPos), s.cradle.maxTime)) {
        fail("Lens cradle position error (2)!");
        return status::Failed;
    }
    io_.clock.sleep(std::chrono::milliseconds(1000));
    cradle_->setSpeed(s.cradle.focusSpeed);
    const long start = std::min(s.startPosition, maxPos);
    if (!cradle_->moveChecked(start, s.cradle.maxTime)) {
        fail("Lens cradle position error (3)!");
        return status::Failed;
    }

    darks_.clear();
    if (takeDarks({target}, __LINE__) != status::Ok)
        return status::Failed;

    const long end = std::min(s.endPosition, maxPos);
    const long step = s.step;
    // The number of values is checked before the sweep: a step of 0 or a reversed range would
    // sweep nothing (or forever), a huge range would capture windows for nothing.
    const long count = step > 0 ? (end - start) / step + 1 : 0;
    r.startPosition = start;
    r.step = step;
    r.minimumSharpness = s.minSharpness;
    if (count < kMinFocusValues || count > kMaxFocusValues) {
        fail("Focusing range must have more than 20 steps!");
        return status::Failed;
    }
    r.values.assign(static_cast<std::size_t>(count), 0);
    io_.op.beginProgress("Focusing lens", count);
    long position = start;
    int taken = 0;
    Status st = status::Ok;
    while (true) {
        Measured m;
        if (measureWindow(target, m, __LINE__) != status::Ok) {
            st = status::Failed;
            break;
        }
        r.values[static_cast<std::size_t>(taken)] =
            m.qualityOk ? static_cast<std::uint16_t>(std::clamp(m.sharpness.combined, 0, 65535))
                        : 0;
        io_.op.setProgress(++taken);
        if (taken >= count || position + step > end)
            break;
        if (io_.op.cancelled()) {
            fail("Cancelled during focus data collection!");
            st = status::Failed;
            break;
        }
        position += step;
        if (cradle_->moveTo(position, s.cradle.maxTime) != status::Ok) {
            fail("Error during focus data collection!");
            st = status::Failed;
            break;
        }
    }
    io_.op.endProgress();
    if (st != status::Ok)
        return st;
    r.values.resize(static_cast<std::size_t>(taken));
    r.count = taken;
    if (!cradle_->checkPosition(position)) {
        fail("Lens cradle position error (4)!");
        return status::Failed;
    }

    const FocusPeak peak = findFocusPeak(r.values, start, step, s.peak);
    if (!peak.ok)
        fail(peak.message);
    appendReport(focusDataSection(r.values, start, step, s.peak, peak, errorText_));
    if (!peak.ok) {
        cradle_->moveTo(start, s.cradle.maxTime);
        return status::Failed;
    }
    r.focusPosition = peak.position;
    r.requiredSharpness = peak.required;

    // Approach the focus from below, as the sweep did, so the cradle's play is taken up the
    // same way.
    cradle_->moveTo(start - (start - s.loadedPosition) / 5, s.cradle.maxTime);
    if (cradle_->moveTo(r.focusPosition, s.cradle.maxTime) != status::Ok) {
        fail("Lens cradle position error (5)!");
        return status::Failed;
    }
    if (!cradle_->checkPosition(r.focusPosition)) {
        fail("Lens cradle position error (6)!");
        return status::Failed;
    }

    Measured m;
    st = measureWindow(target, m, __LINE__);
    if (st == status::Ok) {
        r.final = m.sharpness;
        r.stats = m.stats;
        if (!m.qualityOk)
            fail("Bad target quality!");
        else if (m.sharpness.combined < r.requiredSharpness)
            fail("Lens did not come back into focus,\nprobably stuck or slipped!");
        else if (m.sharpness.combined < s.minSharpness)
            fail("Defective lens, not adequately sharp!");
    }
    focusReport(r);
    return errorText_.empty() && st == status::Ok ? status::Ok : status::Failed;
}

void FocusStation::focusReport(const FocusResult& r) {
    std::string out = "\nLENS FOCUS REPORT:\n";
    out += errorText_;
    out += format("\n\nFocus position: %ld\n", r.focusPosition);
    out += format("Sharpness - horizontal: %d\n", r.final.horizontal);
    out += format("Sharpness - vertical:   %d\n", r.final.vertical);
    out += format("Sharpness - combined:   %d\n", r.final.combined);
    out += format("Required sharpness:     %d\n", r.requiredSharpness);
    out += format("Minimum sharpness:      %d\n", r.minimumSharpness);
    for (int c = 0; c < 4; ++c) {
        const PlaneStats& p = r.stats.planes[static_cast<std::size_t>(c)];
        out += format("\nColor %d\n", c);
        out += format("   Scale: %lf\n", p.scale);
        out += format("   Low pix: %d\n", p.low);
        out += format("   High pix: %d\n", p.high);
    }
    out += format("\nBlack count: %d\n", static_cast<int>(r.stats.black));
    out += format("Gray count:  %d\n", static_cast<int>(r.stats.grey));
    out += format("White count: %d\n", static_cast<int>(r.stats.white));
    out += format("\nMax scale: %lf\n", r.stats.maxScale);
    appendReport(out);
}

Status FocusStation::lensCheck(int kind, int reference, int& measured, bool lensMoves) {
    measured = 0;
    if (kind == 1)
        return axialCheck(reference, measured);
    if (kind == 2)
        return fieldCheck(measured, lensMoves);
    return status::Ok;
}

Status FocusStation::axialCheck(int reference, int& measured) {
    const Window target{settings_.targetSize, settings_.left, settings_.top};
    std::string cause;
    Status st = takeDarks({target}, __LINE__);
    Measured m;
    if (st == status::Ok)
        st = measureWindow(target, m, __LINE__);
    if (st == status::Ok) {
        measured = m.sharpness.combined;
        // Without a reference (no focus search ran) the lens must reach the minimum sharpness.
        const int limit = reference > 0 ? static_cast<int>(reference * settings_.checkRatio)
                                        : settings_.minSharpness;
        if (!m.qualityOk)
            cause = "Bad target quality!";
        else if (m.sharpness.combined < limit)
            cause = "Out of focus!";
        if (!cause.empty())
            fail(cause);
    } else {
        cause = "Camera fault";
    }
    std::string out = "\nAXIAL MID FIELD PERFORMANCE REPORT:\n";
    out += cause.empty() ? "Lens OK" : "DEFECTIVE LENS.  Cause of failure:  " + cause;
    out += "\n\n";
    appendReport(out);
    return errorText_.empty() && st == status::Ok ? status::Ok : status::Failed;
}

Status FocusStation::fieldCheck(int& measured, bool lensMoves) {
    const FocusSettings& s = settings_;
    const int side = s.regionSide();
    std::vector<Window> windows;
    for (const LensRegion& region : s.regions) {
        const long x = std::clamp(region.x, 0L, 960L - side);
        const long y = std::clamp(region.y, 0L, 800L - side);
        windows.push_back({side, x, y});
    }
    if (!validWindowSide(side)) {
        fail("Focus target window does not fit the sensor!");
        return status::Failed;
    }
    if (takeDarks(windows, __LINE__) != status::Ok)
        return status::Failed;

    // The three object distances are stood in for by lens positions: near field further
    // out, infinity further in, by "FOCUS_LENS_FIELD_SPAN" steps. A lens the cradle cannot
    // move (no cradle, or glued) is measured where it stands, in the mid field only.
    static constexpr const char* kFields[3] = {"Near field", "Mid field", "Infinity"};
    long here = 0;
    const bool canMove = lensMoves && cradle_ && cradle_->isOpen() && cradle_->readPosition(here);
    const long offsets[3] = {s.fieldSpan, 0, -s.fieldSpan};

    std::string table = "\r\nLENS PERFORMANCE REPORT:\r\n";
    table += "Field:      Region:       Pass/Fail:                   Sharpness:          Gray:"
             "          Gain:\r\n";
    std::string cause;
    const auto setCause = [&cause](const char* c) {
        if (cause.empty())
            cause = c;
    };
    std::array<int, 3> centre{};
    for (int f = canMove ? 0 : 1; f < (canMove ? 3 : 2); ++f) {
        if (canMove && !cradle_->moveChecked(here + offsets[f], s.cradle.maxTime)) {
            fail("Lens cradle position error!");
            return status::Failed;
        }
        std::array<Measured, 5> m;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (measureWindow(windows[i], m[i], __LINE__) != status::Ok)
                return status::Failed;
        }
        const double middleGain = std::max(m[2].stats.maxScale, 1e-9);
        for (std::size_t i = 0; i < windows.size(); ++i) {
            const bool isMiddle = i == 2;
            const int limit = isMiddle ? s.minCenter[static_cast<std::size_t>(f)]
                                       : s.minCorner[static_cast<std::size_t>(f)];
            const double gain = m[i].stats.maxScale / middleGain;
            const char* verdict = "        OK";
            if (!isMiddle && gain > s.maxCornerBoost) {
                verdict = "Excessive vignetting!";
                setCause("Excessive vignetting");
            } else if (m[i].stats.greyRatio > s.minGreyRatio) {
                verdict = "Bad target quality!";
                setCause("Bad target quality");
            } else if (m[i].sharpness.combined < limit) {
                verdict = "Out of focus!";
                setCause("Out of focus");
            }
            table += format("%-12s%-14s%-24s%10d/%-5d%10.2lf/%-5.2lf%10.2lf/%-5.2lf\r\n",
                            kFields[f], s.regions[i].name, verdict, m[i].sharpness.combined, limit,
                            m[i].stats.greyRatio, s.minGreyRatio, gain,
                            isMiddle ? 1.0 : s.maxCornerBoost);
        }
        // Tilt: how unevenly the four corners are sharp, against their mean. Curvature: how
        // much sharper the middle is than the corners.
        const double corners[4] = {double(m[0].sharpness.combined), double(m[1].sharpness.combined),
                                   double(m[3].sharpness.combined),
                                   double(m[4].sharpness.combined)};
        const double mean = std::max((corners[0] + corners[1] + corners[2] + corners[3]) / 4, 1.0);
        const double tilt =
            (*std::max_element(corners, corners + 4) - *std::min_element(corners, corners + 4)) /
            mean;
        const double middle = std::max(double(m[2].sharpness.combined), 1.0);
        const double curvature = std::max(0.0, (middle - mean) / middle);
        const bool tilted = tilt > s.maxTilt[static_cast<std::size_t>(f)];
        const bool curved = curvature > s.maxCurvature[static_cast<std::size_t>(f)];
        if (tilted)
            setCause("Excessive tilt");
        if (curved)
            setCause("Excessive curvature");
        table += format("%-10s%-26s%-24s%10.2lf/%-10.2lf\r\n", kFields[f], "  Tilt",
                        tilted ? "Excessive tilt!" : "        OK", tilt,
                        s.maxTilt[static_cast<std::size_t>(f)]);
        table += format("%-10s%-26s%-24s%10.2lf/%-10.2lf\r\n", kFields[f], "  Curvature",
                        curved ? "Excessive curvature!" : "        OK", curvature,
                        s.maxCurvature[static_cast<std::size_t>(f)]);
        centre[static_cast<std::size_t>(f)] = m[2].sharpness.combined;
    }
    measured = centre[1];
    if (canMove)
        cradle_->moveChecked(here, s.cradle.maxTime);
    if (canMove && (centre[1] < centre[0] || centre[1] < centre[2]))
        setCause("Lens not sharpest in mid field");
    table +=
        cause.empty() ? std::string("Lens OK") : "DEFECTIVE LENS.  Cause of failure:  " + cause;
    table += "\r\n\r\n";
    appendReport(table);
    if (!cause.empty()) {
        fail(cause);
        return status::Failed;
    }
    return status::Ok;
}

void FocusStation::run() {
    const FocusSettings& s = settings_;
    camera::CameraLink* link = io_.camera;
    if (link == nullptr)
        return;
    link->requestStatus();
    const double firmware = link->status().firmwareRevision();
    if (firmware < kMinFirmware) {
        io_.op.message("Camera Firmware 1.56 or later is required.");
        return;
    }
    if (link->status().serialNumber == kSerialNotSet) {
        io_.op.message("Serial number not set - has the board been calibrated?.");
        return;
    }
    errorText_.clear();
    focusStatus_ = lensStatus_ = finalStatus_ = CheckStatus::NotRun;
    result_ = FocusResult{};
    darks_.clear();

    [&] {
        long position = 0;
        if (s.autoFocus != 0) {
            if (focusSearch(result_) != status::Ok) {
                if (!errorText_.empty())
                    io_.op.message("UNABLE TO FOCUS LENS!\n" + errorText_);
                focusStatus_ = CheckStatus::Failed;
                return;
            }
            focusStatus_ = CheckStatus::Passed;
            position = result_.focusPosition;
            long offset = s.offset;
            if (offset < 0)
                io_.op.message("Warning: negative position offset!");
            if (offset != 0 && position + offset > s.cradle.maxPosition) {
                io_.op.message("Error: position offset too large!");
                offset = 0;
            }
            position += offset;
            if (cradle_->moveTo(position, s.cradle.maxTime) != status::Ok) {
                io_.op.message("Error: Lens cradle position error (7)!");
                return;
            }
            if (!cradle_->checkPosition(position)) {
                io_.op.message("Error: Lens cradle position error (8)!");
                return;
            }
        }

        appendReport("LENS CHECK:\n\n");
        int lensSharpness = result_.final.combined;
        if (s.checkLens == 1 || s.checkLens == 2) {
            int measured = 0;
            const Status st = lensCheck(s.checkLens, result_.final.combined, measured);
            lensSharpness = measured;
            if (st != status::Ok || !errorText_.empty()) {
                io_.op.message("DEFECTIVE LENS!\n" + errorText_);
                errorText_.clear();
                lensStatus_ = CheckStatus::Failed;
            } else {
                lensStatus_ = CheckStatus::Passed;
            }
        }

        if (!((s.autoFocus == 1 && lensStatus_ != CheckStatus::Failed) || s.autoFocus == 2))
            return;
        if (!io_.op.confirm(format("Glue the lens.\nLens sharpness = %d\nFocus position = %ld",
                                   result_.final.combined, result_.focusPosition)))
            return;
        io_.clock.sleep(std::chrono::milliseconds(s.glueSetTime));
        const int checkFocus = io_.profile.getInt("DIAGNOSTICS", "CHECK_FOCUS", 0);
        if (checkFocus == 0)
            return;
        if (cradle_ && cradle_->isOpen()) {
            if (cradle_->moveTo(position - kReleaseDistance, s.cradle.maxTime) != status::Ok) {
                fail("Error: Lens cradle position error (9)!");
                finalStatus_ = CheckStatus::Failed;
                return;
            }
            if (!cradle_->checkPosition(position - kReleaseDistance)) {
                fail("Error: Lens cradle position error (10)!");
                finalStatus_ = CheckStatus::Failed;
                return;
            }
        }
        appendReport("FINAL FOCUS CHECK:\n\n");
        if (checkFocus != 1 && checkFocus != 2)
            return;
        int measured = 0;
        const Status st = lensCheck(checkFocus, lensSharpness, measured, false);
        if (st != status::Ok || !errorText_.empty()) {
            io_.op.message("LENS FAILED FINAL TEST!\n" + errorText_ +
                           "\nLikely cause: glue did not adhere.");
            errorText_.clear();
            finalStatus_ = CheckStatus::Failed;
        } else {
            finalStatus_ = CheckStatus::Passed;
        }
    }();

    link->setPingMode(1);
    if (io_.repeat && io_.nextRun)
        io_.nextRun();
    else if (cradle_ && cradle_->isOpen())
        cradle_->home();
    if (cradle_)
        cradle_->close();
}

void runFocusStation(FocusStationIo io) {
    FocusStation station(std::move(io));
    station.run();
}

FocusStationIo focusStationIo(Station& s) {
    FocusStationIo io(s.op, s.clock, s.profile);
    io.camera = s.camera;
    io.lights = [&s](std::uint16_t code) { return lightControllerWrite(s, code); };
    if (s.camera)
        io.cradle.cameraPort = s.camera->portName();
    io.cradle.portDevice = [&s](std::string_view port) {
        return settings::AppSettings(s.profile).portDevice(port);
    };
    return io;
}

} // namespace kv::diagnostics
