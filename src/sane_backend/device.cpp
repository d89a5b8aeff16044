#include "sane_backend/device.h"

#include "imaging/edits.h"
#include "library/output_renderer.h"

#include <fcntl.h>
#include <sane/saneopts.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kv::sane_backend {
namespace {

// "60 x 50" ... "1920 x 1600", and the list's terminating null.
const std::array<SANE_String_Const, library::kOutputSizeCount + 1>& outputSizeList() {
    static const auto list = [] {
        static std::array<std::string, library::kOutputSizeCount> texts;
        std::array<SANE_String_Const, library::kOutputSizeCount + 1> l{};
        for (int i = 0; i < library::kOutputSizeCount; ++i) {
            const library::PixelSize p = library::outputPixels(i);
            texts[std::size_t(i)] = std::to_string(p.width) + " x " + std::to_string(p.height);
            l[std::size_t(i)] = texts[std::size_t(i)].c_str();
        }
        return l;
    }();
    return list;
}

int outputSizeIndex(const std::string& text) {
    const auto& list = outputSizeList();
    for (int i = 0; i < library::kOutputSizeCount; ++i)
        if (text == list[std::size_t(i)])
            return i;
    return library::kDefaultOutputSize;
}

const SANE_Range kPictureNumberRange{1, 4000, 1};
const SANE_Range kBrightnessRange{imaging::kBrightnessSliderMin, imaging::kBrightnessSliderMax, 1};
const SANE_Word kResolutionList[] = {1, kOutputResolution};

constexpr std::size_t kStringSize = 32; // the longest string value and its terminator

} // namespace

Device::Device(std::unique_ptr<CameraSession> camera) : camera_(std::move(camera)) {
    if (isHandoff())
        sourceList_ = {kSourceHandoff, nullptr};
    else
        sourceList_ = {kSourceTake, kSourceNewest, kSourceStored, nullptr};
    source_ = isHandoff() ? kSourceHandoff : kSourceNewest;
    outputSize_ = outputSizeList()[library::kDefaultOutputSize];

    auto& count = options_[kOptCount];
    count.name = SANE_NAME_NUM_OPTIONS;
    count.title = SANE_TITLE_NUM_OPTIONS;
    count.desc = SANE_DESC_NUM_OPTIONS;
    count.type = SANE_TYPE_INT;
    count.unit = SANE_UNIT_NONE;
    count.size = sizeof(SANE_Word);
    count.cap = SANE_CAP_SOFT_DETECT;

    auto& source = options_[kOptSource];
    source.name = SANE_NAME_SCAN_SOURCE;
    source.title = SANE_TITLE_SCAN_SOURCE;
    source.desc = isHandoff()
                      ? "Starts kvmini in hand-off mode and waits until Transfer to Application "
                        "in its File menu hands over the highlighted picture."
                      : "Where the picture comes from: take one now and fetch it, the newest "
                        "picture stored in the camera, or the stored picture chosen by number.";
    source.type = SANE_TYPE_STRING;
    source.size = kStringSize;
    source.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    source.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    source.constraint.string_list = sourceList_.data();

    auto& number = options_[kOptPictureNumber];
    number.name = "picture-number";
    number.title = "Picture number";
    number.desc = "The stored picture to fetch with \"Stored picture N\": 1 is the oldest "
                  "picture in the camera.";
    number.type = SANE_TYPE_INT;
    number.unit = SANE_UNIT_NONE;
    number.size = sizeof(SANE_Word);
    number.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT | SANE_CAP_INACTIVE;
    number.constraint_type = SANE_CONSTRAINT_RANGE;
    number.constraint.range = &kPictureNumberRange;

    auto& size = options_[kOptOutputSize];
    size.name = "output-size";
    size.title = "Output size";
    size.desc = "The size in pixels of the picture handed to the application (width x height; "
                "a picture turned a quarter comes as height x width).";
    size.type = SANE_TYPE_STRING;
    size.size = kStringSize;
    size.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    size.constraint_type = SANE_CONSTRAINT_STRING_LIST;
    size.constraint.string_list = outputSizeList().data();

    auto& resolution = options_[kOptResolution];
    resolution.name = SANE_NAME_SCAN_RESOLUTION;
    resolution.title = SANE_TITLE_SCAN_RESOLUTION;
    resolution.desc = "Pictures leave kvmini at 72 pixels an inch at every output size.";
    resolution.type = SANE_TYPE_INT;
    resolution.unit = SANE_UNIT_DPI;
    resolution.size = sizeof(SANE_Word);
    resolution.cap = SANE_CAP_SOFT_DETECT;
    resolution.constraint_type = SANE_CONSTRAINT_WORD_LIST;
    resolution.constraint.word_list = kResolutionList;

    auto& balance = options_[kOptWhiteBalance];
    balance.name = "white-balance";
    balance.title = "Automatic white balance";
    balance.desc = "Balances the colours so that the brightest part of the picture is white.";
    balance.type = SANE_TYPE_BOOL;
    balance.size = sizeof(SANE_Word);
    balance.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

    auto& brightness = options_[kOptBrightness];
    brightness.name = SANE_NAME_BRIGHTNESS;
    brightness.title = SANE_TITLE_BRIGHTNESS;
    brightness.desc = "75 leaves the picture as taken; 1 is darkest, 150 is 2.5 times as bright.";
    brightness.type = SANE_TYPE_INT;
    brightness.unit = SANE_UNIT_NONE;
    brightness.size = sizeof(SANE_Word);
    brightness.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    brightness.constraint_type = SANE_CONSTRAINT_RANGE;
    brightness.constraint.range = &kBrightnessRange;

    // The program applies its own output size and edits before it hands a picture over.
    if (isHandoff())
        for (int o : {kOptOutputSize, kOptWhiteBalance, kOptBrightness})
            setActive(o, false);
}

Device::~Device() {
    closePipe();
}

void Device::setActive(int option, bool active) {
    SANE_Int& cap = options_[std::size_t(option)].cap;
    cap = active ? (cap & ~SANE_CAP_INACTIVE) : (cap | SANE_CAP_INACTIVE);
}

const SANE_Option_Descriptor* Device::descriptor(int option) const {
    if (option < 0 || option >= kOptionCount)
        return nullptr;
    return &options_[std::size_t(option)];
}

SANE_Status Device::control(int option, SANE_Action action, void* value, SANE_Int* info) {
    if (info)
        *info = 0;
    if (option < 0 || option >= kOptionCount || !value)
        return SANE_STATUS_INVAL;
    const SANE_Option_Descriptor& d = options_[std::size_t(option)];
    if (!SANE_OPTION_IS_ACTIVE(d.cap))
        return SANE_STATUS_INVAL;
    if (action == SANE_ACTION_GET_VALUE) {
        auto word = static_cast<SANE_Word*>(value);
        auto text = [&](const std::string& s) {
            std::strncpy(static_cast<char*>(value), s.c_str(), kStringSize - 1);
            static_cast<char*>(value)[kStringSize - 1] = '\0';
        };
        switch (option) {
        case kOptCount:
            *word = kOptionCount;
            break;
        case kOptSource:
            text(source_);
            break;
        case kOptPictureNumber:
            *word = pictureNumber_;
            break;
        case kOptOutputSize:
            text(outputSize_);
            break;
        case kOptResolution:
            *word = kOutputResolution;
            break;
        case kOptWhiteBalance:
            *word = whiteBalance_;
            break;
        case kOptBrightness:
            *word = brightness_;
            break;
        }
        return SANE_STATUS_GOOD;
    }
    if (action != SANE_ACTION_SET_VALUE)
        return SANE_STATUS_INVAL; // no option has an automatic value
    if (!SANE_OPTION_IS_SETTABLE(d.cap))
        return SANE_STATUS_INVAL;
    if (state_.load() != State::Idle)
        return SANE_STATUS_DEVICE_BUSY;

    SANE_Int changed = 0;
    if (d.type == SANE_TYPE_STRING) {
        const char* given = static_cast<const char*>(value);
        const SANE_String_Const* match = d.constraint.string_list;
        while (*match && std::strcmp(*match, given) != 0)
            ++match;
        if (!*match)
            return SANE_STATUS_INVAL;
        if (option == kOptSource) {
            source_ = *match;
            const bool wasActive = SANE_OPTION_IS_ACTIVE(options_[kOptPictureNumber].cap);
            setActive(kOptPictureNumber, source_ == kSourceStored);
            if (wasActive != (source_ == kSourceStored))
                changed |= SANE_INFO_RELOAD_OPTIONS;
        } else {
            if (outputSize_ != *match)
                changed |= SANE_INFO_RELOAD_PARAMS;
            outputSize_ = *match;
        }
    } else if (d.type == SANE_TYPE_BOOL) {
        const SANE_Word v = *static_cast<SANE_Word*>(value);
        if (v != SANE_TRUE && v != SANE_FALSE)
            return SANE_STATUS_INVAL;
        whiteBalance_ = v;
    } else {
        SANE_Word v = *static_cast<SANE_Word*>(value);
        const SANE_Range& r = *d.constraint.range;
        const SANE_Word clamped = std::clamp(v, r.min, r.max);
        if (clamped != v) {
            changed |= SANE_INFO_INEXACT;
            *static_cast<SANE_Word*>(value) = clamped;
        }
        (option == kOptPictureNumber ? pictureNumber_ : brightness_) = clamped;
    }
    if (info)
        *info = changed;
    return SANE_STATUS_GOOD;
}

SANE_Status Device::parameters(SANE_Parameters* params) const {
    if (!params)
        return SANE_STATUS_INVAL;
    params->format = SANE_FRAME_RGB;
    params->last_frame = SANE_TRUE;
    params->depth = 8;
    if (state_.load() == State::Reading) {
        params->pixels_per_line = picture_.width;
        params->lines = picture_.height;
    } else {
        // Before the picture is there: the output size (the hand-off's is the program's to
        // choose, so its lines are not known yet).
        const library::PixelSize p = library::outputPixels(outputSizeIndex(outputSize_));
        params->pixels_per_line = p.width;
        params->lines = isHandoff() ? -1 : p.height;
    }
    params->bytes_per_line = params->pixels_per_line * 3;
    return SANE_STATUS_GOOD;
}

AcquireRequest Device::request() const {
    AcquireRequest r;
    r.source = source_ == kSourceTake      ? Source::TakePicture
               : source_ == kSourceStored  ? Source::Stored
               : source_ == kSourceHandoff ? Source::Handoff
                                           : Source::Newest;
    r.pictureNumber = pictureNumber_;
    r.outputSize = outputSizeIndex(outputSize_);
    r.whiteBalance = whiteBalance_ == SANE_TRUE;
    r.brightness = brightness_;
    return r;
}

SANE_Status Device::start() {
    if (state_.load() != State::Idle)
        return SANE_STATUS_DEVICE_BUSY;
    closePipe();
    picture_ = {};
    readOffset_ = 0;
    cancelRequested_.store(false);
    state_.store(State::Starting);
    const AcquireRequest r = request();
    Acquired got = r.source == Source::Handoff ? acquireHandoff(cancelRequested_)
                                               : camera_->acquire(r, cancelRequested_);
    if (got.status == SANE_STATUS_GOOD && cancelRequested_.load())
        got.status = SANE_STATUS_CANCELLED;
    if (got.status != SANE_STATUS_GOOD) {
        state_.store(State::Idle);
        return got.status;
    }
    picture_ = std::move(got.picture);
    if (::pipe2(pipe_.data(), O_CLOEXEC | O_NONBLOCK) == 0) {
        const char ready = 1;
        if (::write(pipe_[1], &ready, 1) != 1)
            closePipe();
    }
    state_.store(State::Reading);
    return SANE_STATUS_GOOD;
}

SANE_Status Device::read(SANE_Byte* data, SANE_Int maxLength, SANE_Int* length) {
    if (length)
        *length = 0;
    if (!data || !length || maxLength < 0)
        return SANE_STATUS_INVAL;
    if (cancelRequested_.load()) {
        state_.store(State::Idle);
        return SANE_STATUS_CANCELLED;
    }
    if (state_.load() != State::Reading)
        return SANE_STATUS_INVAL;
    const std::size_t left = picture_.pixels.size() - readOffset_;
    if (left == 0) {
        state_.store(State::Idle);
        return SANE_STATUS_EOF;
    }
    const std::size_t n = std::min<std::size_t>(left, std::size_t(maxLength));
    std::memcpy(data, picture_.pixels.data() + readOffset_, n);
    readOffset_ += n;
    *length = SANE_Int(n);
    return SANE_STATUS_GOOD;
}

void Device::cancel() {
    cancelRequested_.store(true);
    // Inside sane_start the request is taken between blocks; otherwise the handle is idle
    // again at once (the picture's memory goes at the next start or at close).
    State reading = State::Reading;
    state_.compare_exchange_strong(reading, State::Idle);
}

SANE_Status Device::setIoMode(SANE_Bool nonBlocking) {
    if (state_.load() != State::Reading)
        return SANE_STATUS_INVAL;
    // The picture is in memory before the first read, so a read never waits either way.
    nonBlocking_ = nonBlocking == SANE_TRUE;
    return SANE_STATUS_GOOD;
}

SANE_Status Device::selectFd(SANE_Int* fd) {
    if (!fd)
        return SANE_STATUS_INVAL;
    if (state_.load() != State::Reading || pipe_[0] < 0)
        return SANE_STATUS_INVAL;
    *fd = pipe_[0];
    return SANE_STATUS_GOOD;
}

void Device::closePipe() {
    for (int& fd : pipe_) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace kv::sane_backend
