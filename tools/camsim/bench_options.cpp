#include "camsim/bench_options.h"

#include <cstdlib>

namespace kv::camsim {

const char* const kBenchOptionsHelp =
    "  --camera=plain|card|b  camera variant (default plain)\n"
    "  --firmware=TEXT        firmware revision text (default 3.01)\n"
    "  --serial=N             serial number\n"
    "  --rate=N               the camera's rate at start (default 9600)\n"
    "  --picture-busy=MS      busy time after taking a picture\n"
    "  --seed=N               seed of the fault injection\n"
    "  --corrupt=RATE         chance per sent byte of a corrupted byte\n"
    "  --drop=RATE            chance per sent byte of a lost byte\n"
    "  --state-bytes=RATE     chance per reply byte of an extra state byte\n"
    "  --silent               the camera answers nothing\n"
    "  --pull-after=N         pull the cable after N sent bytes\n"
    "  --busy=MS              busy for MS after every command\n"
    "  --refuse=XX            answer command XX with NG\n"
    "  --pace=BITS|link       send no faster than BITS bit/s (or the link's rate)\n"
    "  --late=XX:MS           answer command XX only after MS\n"
    "  --slow-rows=MS         select, end read, card open/close and card status take MS\n"
    "  --unreadable-item=N    item N's line comes out different on every read\n";

namespace {
bool toLong(const std::string& text, long& out) {
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0';
}
// A chance as a number ("0.0005") or a fraction ("1/2000").
bool toRate(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '/') {
        char* rest = nullptr;
        const double below = std::strtod(end + 1, &rest);
        if (*rest != '\0' || !(below > 0))
            return false;
        out /= below;
        end = rest;
    }
    return !text.empty() && *end == '\0' && out >= 0 && out <= 1;
}
} // namespace

bool readBenchOptions(const std::function<std::optional<std::string>(std::string_view)>& option,
                      const std::function<bool(std::string_view)>& flag,
                      BenchCameraOptions& options, std::string& error) {
    long n = 0;
    auto number = [&](std::string_view name, auto apply) {
        if (auto v = option(name)) {
            if (!toLong(*v, n) || n < 0) {
                error = "bad value for " + std::string(name) + ": " + *v;
                return false;
            }
            apply(n);
        }
        return true;
    };
    auto rate = [&](std::string_view name, double& target) {
        if (auto v = option(name)) {
            if (!toRate(*v, target)) {
                error = "bad rate for " + std::string(name) + " (0..1): " + *v;
                return false;
            }
        }
        return true;
    };
    if (auto kind = option("--camera")) {
        if (*kind == "plain")
            options.kind = CameraKind::Plain;
        else if (*kind == "card")
            options.kind = CameraKind::MemoryCard;
        else if (*kind == "b" || *kind == "variantb")
            options.kind = CameraKind::VariantB;
        else {
            error = "unknown camera variant " + *kind + " (plain, card or b)";
            return false;
        }
    }
    if (auto v = option("--firmware"))
        options.firmware = *v;
    FaultOptions& f = options.faults;
    using ms = std::chrono::milliseconds;
    if (!number("--serial", [&](long v) { options.serialNumber = static_cast<std::int32_t>(v); }) ||
        !number("--rate", [&](long v) { options.initialRate = static_cast<int>(v); }) ||
        !number("--picture-busy", [&](long v) { options.pictureBusy = ms(v); }) ||
        !number("--seed", [&](long v) { f.seed = static_cast<std::uint32_t>(v); }) ||
        !number("--pull-after", [&](long v) { f.pullCableAfter = v; }) ||
        !number("--busy", [&](long v) { f.busyAfterCommand = ms(v); }) ||
        !rate("--corrupt", f.corruptRate) || !rate("--drop", f.dropRate) ||
        !rate("--state-bytes", f.stateByteRate))
        return false;
    if (auto v = option("--refuse"))
        f.refuseCommand = *v;
    if (auto v = option("--pace")) {
        if (*v == "link")
            f.paceAtLinkRate = true;
        else if (!toLong(*v, n) || n < 0) {
            error = "bad value for --pace: " + *v;
            return false;
        } else
            f.paceRate = static_cast<int>(n);
    }
    if (auto v = option("--late")) {
        const auto colon = v->find(':');
        if (colon != 2 || !toLong(v->substr(3), n) || n < 0) {
            error = "bad value for --late (XX:MS): " + *v;
            return false;
        }
        f.lateCommand = v->substr(0, 2);
        f.lateBy = ms(n);
    }
    if (auto v = option("--garbage")) {
        // XX or XX:N (answered properly N times first)
        const auto colon = v->find(':');
        if (v->size() < 2 || (colon != std::string::npos && colon != 2) ||
            (colon == 2 && (!toLong(v->substr(3), n) || n < 0))) {
            error = "bad value for --garbage (XX[:N]): " + *v;
            return false;
        }
        f.garbageCommand = v->substr(0, 2);
        f.garbageAfter = colon == 2 ? static_cast<int>(n) : 0;
    }
    if (!number("--slow-rows", [&](long v) { f.slowRows = ms(v); }) ||
        !number("--unreadable-item", [&](long v) { options.unreadableItem = static_cast<int>(v); }))
        return false;
    f.silent = flag("--silent");
    return true;
}

} // namespace kv::camsim
