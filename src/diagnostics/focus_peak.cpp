// The focus sweep's peak analysis. For every sharpness level L the sweep is cut into runs of
// positions at or above L; a level is usable when exactly one run wider than the ignore span
// stands clear of the sweep's ends. The longest stack of usable levels is the peak.

#include "diagnostics/focus_peak.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kv::diagnostics {

namespace {

struct LevelRun {
    bool flag = false;
    int start = -1;
    int end = -1;
    int width() const { return end - start; }
};

std::vector<LevelRun> levelRuns(std::span<const std::uint16_t> v, long ignore) {
    const int n = static_cast<int>(v.size());
    std::vector<LevelRun> runs(kTopLevel + 2);
    for (int level = 1; level <= kTopLevel; ++level) {
        LevelRun& r = runs[static_cast<std::size_t>(level)];
        bool found = false;
        int i = 0;
        while (i < n) {
            if (v[static_cast<std::size_t>(i)] < level) {
                ++i;
                continue;
            }
            const int s = i;
            while (i + 1 < n && v[static_cast<std::size_t>(i + 1)] >= level)
                ++i;
            const int e = i++;
            if (!found) {
                if (e - s > ignore) {
                    r = {true, s, e};
                    found = true;
                }
            } else if (e - s >= ignore) {
                r.flag = false; // a second peak: this level is ambiguous
            }
        }
    }
    return runs;
}

void pruneEdges(std::vector<LevelRun>& runs, std::span<const std::uint16_t> v) {
    const int n = static_cast<int>(v.size());
    for (int level = 1; level <= kTopLevel; ++level) {
        LevelRun& r = runs[static_cast<std::size_t>(level)];
        if (!r.flag)
            continue;
        // Above the top level: a run that starts at the last index and ends nowhere.
        const LevelRun next = level < kTopLevel ? runs[static_cast<std::size_t>(level + 1)]
                                                : LevelRun{false, n - 1, -2};
        // A run that touches an end of the sweep, or that only stops at a failed frame (value
        // 0) and does not move as the level rises, is bounded by the sweep, not by the lens.
        if (r.start == 0 ||
            (v[static_cast<std::size_t>(r.start - 1)] == 0 && next.start == r.start))
            r.flag = false;
        else if (r.end == n - 1 ||
                 (v[static_cast<std::size_t>(r.end + 1)] == 0 && next.end == r.end))
            r.flag = false;
    }
}

} // namespace

FocusPeak findFocusPeak(std::span<const std::uint16_t> values, long start, long step,
                        const FocusPeakParams& params) {
    FocusPeak peak;
    if (values.size() < static_cast<std::size_t>(kMinFocusValues) ||
        values.size() > static_cast<std::size_t>(kMaxFocusValues) || step <= 0) {
        peak.message = "Focusing range must have more than 20 steps!";
        return peak;
    }
    peak.ignore = (step / 2 + params.ignoreSpan) / step;
    peak.requiredW = (step / 2 + params.requiredSpan) / step;
    peak.toleranceW = (step / 2 + params.tolerance) / step;
    peak.minValue = kTopLevel;
    peak.maxValue = 0;
    for (std::uint16_t v : values) {
        peak.minValue = std::min<int>(peak.minValue, v);
        peak.maxValue = std::max<int>(peak.maxValue, v);
    }

    std::vector<LevelRun> runs = levelRuns(values, peak.ignore);
    pruneEdges(runs, values);
    const auto at = [&runs](int level) -> LevelRun& {
        return runs[static_cast<std::size_t>(level)];
    };

    // The longest band of consecutive usable levels (below the top level).
    int h = 0;
    int low = 0;
    int high = 0;
    for (int level = 1; level < kTopLevel;) {
        if (!at(level).flag) {
            ++level;
            continue;
        }
        const int first = level;
        while (level < kTopLevel && at(level).flag)
            ++level;
        const int length = level - first;
        if (length > h) {
            h = length;
            low = first;
            high = level - 1;
        } else if (length == h) {
            high = level - 1; // Low stays with the first band of this length
        }
    }
    if (h > 0 && high - low != h - 1) {
        // Several bands of the same length: take the top one, widened by two levels below.
        int clear = high;
        while (clear > 1 && at(clear).flag)
            --clear;
        low = std::max(1, clear - 1);
        at(clear).flag = true;
        at(low).flag = true;
        h = high - low + 1;
    }
    int mid = high;
    if (h > 0) {
        for (int level = low; level <= high; ++level) {
            if (at(level).width() <= peak.requiredW) {
                mid = level;
                break;
            }
        }
    }
    peak.low = low;
    peak.high = high;
    peak.mid = mid;
    peak.bandHeight = h;
    peak.lowSpan = h > 0 ? at(low).width() : 0;
    peak.highSpan = h > 0 ? at(high).width() : 0;

    if (h < 1)
        peak.message = "Focusin algorithm: no recognizable peak!";
    else if (peak.lowSpan < peak.requiredW)
        peak.message = "Focusin algorithm: peak too narrow!";
    else if (peak.highSpan > peak.requiredW)
        peak.message = "Focusin algorithm: peak too broad!";
    else if (high - mid < 2)
        peak.message = "Focusin algorithm: peak too low!";
    else if (h < (peak.maxValue - peak.minValue) * params.fraction / 255)
        peak.message = "Focusin algorithm: focus range too wide!";
    if (!peak.message.empty())
        return peak;

    long sum = 0;
    for (int level = mid; level <= high; ++level)
        sum += at(level).start + at(level).end;
    const long k = high - mid + 1;
    peak.position = (sum * step + k) / (2 * k) + start;
    peak.required = mid - 1;
    for (int level = high; level >= mid; --level) {
        if (at(level).width() > peak.toleranceW) {
            peak.required = level;
            break;
        }
    }
    peak.ok = true;
    return peak;
}

std::string focusDataSection(std::span<const std::uint16_t> values, long start, long step,
                             const FocusPeakParams& params, const FocusPeak& peak,
                             const std::string& errorText) {
    std::string out = "\n\nFOCUS DATA:\n";
    out += errorText;
    char line[128];
    const auto add = [&](const char* format, auto... args) {
        std::snprintf(line, sizeof line, format, args...);
        out += line;
    };
    add("\n\nCount: %d\n", static_cast<int>(values.size()));
    add("Ignore span: %d\n", static_cast<int>(peak.ignore));
    add("Required focus span: %d\n", static_cast<int>(peak.requiredW));
    add("Focus tolerance span: %d\n", static_cast<int>(peak.toleranceW));
    add("Focus level fraction: %d/255\n\n", static_cast<int>(params.fraction));
    add("Min value: %d\n", peak.minValue);
    add("Max value: %d\n", peak.maxValue);
    add("Low value: %d\n", peak.low);
    add("High value: %d\n", peak.high);
    add("Mid value: %d\n\n", peak.mid);
    add("MM delta: %d\n", peak.maxValue - peak.minValue);
    add("HL delta: %d\n", peak.bandHeight);
    add("HM delta: %d\n", peak.high - peak.mid);
    add("High span: %d\n", peak.highSpan);
    add("Low span: %d\n\n", peak.lowSpan);
    out += "Focus values:\n\n";
    for (std::size_t i = 0; i < values.size(); ++i)
        add("%ld     %d\n", start + static_cast<long>(i) * step, static_cast<int>(values[i]));
    return out;
}

} // namespace kv::diagnostics
