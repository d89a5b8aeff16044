#include "twain_source/test_ds.h"

#include "platform/paths.h"
#include "settings/profile.h"
#include "settings/twain_profile.h"
#include "twain_source/velkit/exceptions.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kvsource {
using namespace twain;
namespace settings = kv::settings;
using Velkit::failure;

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(250);

void copyText(char (&field)[34], std::string_view text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

settings::Profile twainIni() {
    return settings::Profile(settings::twainProfilePath());
}

void toStandardError(std::string_view text) {
    std::fprintf(stderr, "kvsource: %.*s\n", int(text.size()), text.data());
}

} // namespace

std::string productName() {
    std::string name = twainIni().getString(settings::kTwainSourceSection, settings::kSourceNameKey,
                                            kDefaultProductName);
    if (name.empty())
        name = kDefaultProductName;
    if (name.size() > kProductNameLimit)
        name.resize(kProductNameLimit);
    return name;
}

// ---- CTestUI

CTestUI::CTestUI(CTestDS& source) : CTWAINUIDialog(kPollPeriod), source_(source) {}

CTestUI::~CTestUI() {
    destroy();
}

void CTestUI::onTimer() {
    source_.poll(*this);
}

void CTestUI::onCommand(int id) {
    if (id == kScan)
        source_.scan(*this);
    else if (id == kCancel)
        source_.cancel(*this);
}

// ---- CTestDS

CTestDS::CTestDS() : messageBox(toStandardError) {
    identity_.Id = 0;
    identity_.Version.MajorNum = 1;
    identity_.Version.MinorNum = 0;
    identity_.Version.Language = TWLG_ENGLISH_USA;
    identity_.Version.Country = TWCY_USA;
    copyText(identity_.Version.Info, "1.0");
    // A TWAIN 2 manager on Linux hands its entry point (for notifications and memory) only to
    // sources that say DF_DS2, and those speak protocol 2.
    identity_.ProtocolMajor = 2;
    identity_.ProtocolMinor = 4;
    identity_.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_DS2;
    copyText(identity_.Manufacturer, kManufacturer);
    copyText(identity_.ProductFamily, kProductFamily);
    copyText(identity_.ProductName, productName());
    setUpCapabilities();
}

CTestDS::~CTestDS() {
    {
        std::lock_guard lock(mutex_);
        stopSession();
    }
    finishRetired();
}

void CTestDS::setUpCapabilities() {
    addOneValue(CAP_DEVICEONLINE, TWTY_BOOL, 1, false);
    addArray(CAP_SUPPORTEDCAPS, TWTY_UINT16, {}); // its items are the supported list itself
    addOneValue(CAP_UICONTROLLABLE, TWTY_BOOL, 0, false);
    addOneValue(CAP_XFERCOUNT, TWTY_INT16, TW_UINT32(-1), true);
    const std::vector<TW_UINT32> depths{1, 4, 8, 16, 24, 32};
    addDependentEnumeration(ICAP_BITDEPTH, TWTY_UINT16, ICAP_PIXELTYPE,
                            {{TWPT_RGB, depths}, {TWPT_PALETTE, depths}}, 8);
    addEnumeration(ICAP_COMPRESSION, TWTY_UINT16, {TWCP_NONE}, 0);
    addOneValue(ICAP_PHYSICALHEIGHT, TWTY_FIX32, 0, false);
    addOneValue(ICAP_PHYSICALWIDTH, TWTY_FIX32, 0, false);
    addEnumeration(ICAP_PIXELFLAVOR, TWTY_UINT16, {TWPF_CHOCOLATE}, 0);
    addEnumeration(ICAP_PIXELTYPE, TWTY_UINT16, {TWPT_RGB, TWPT_PALETTE}, 0);
    addEnumeration(ICAP_PLANARCHUNKY, TWTY_UINT16, {TWPC_CHUNKY}, 0);
    addEnumeration(ICAP_UNITS, TWTY_UINT16, {TWUN_CENTIMETERS}, 0);
    addEnumeration(ICAP_XFERMECH, TWTY_UINT16, {TWSX_NATIVE, TWSX_MEMORY}, 0);
    addUnusable(ICAP_XRESOLUTION);
    addUnusable(ICAP_YRESOLUTION);
}

void CTestDS::onOpen() {
    for (TW_UINT16 cap : {CAP_XFERCOUNT, ICAP_PIXELTYPE, ICAP_BITDEPTH, ICAP_COMPRESSION,
                          ICAP_PIXELFLAVOR, ICAP_PLANARCHUNKY, ICAP_UNITS, ICAP_XFERMECH})
        resetCapability(cap);
    pendingCount_ = 0;
    image_.reset();
}

void CTestDS::onClose() {
    // An application may close without disabling first; nothing of the session outlives it.
    stopSession();
    image_.reset();
    pendingCount_ = 0;
}

void CTestDS::onEnable(const TW_USERINTERFACE&) {
    // ShowUI false would run the no-interface hook first; there is nothing to do in it, and the
    // poller is the same either way.
    const std::string location =
        twainIni().getString(settings::kProgramSection, settings::kProgramLocationKey);
    if (location.empty()) {
        toStandardError("no \"Location\" in section \"Korvane\" of " +
                        settings::twainProfilePath().string() +
                        ": kvmini is not started, and nothing arrives until it is run with /TWAIN");
    } else {
        std::string error;
        kvmini_ = platform::ChildProcess::spawn(location, {"/TWAIN"}, &error);
        if (!kvmini_.started())
            toStandardError(error);
    }
    kvminiGone_ = false;
    ui_ = std::make_unique<CTestUI>(*this);
    ui_->create();
}

void CTestDS::onDisable() {
    stopSession();
}

void CTestDS::stopSession() {
    if (ui_) {
        ui_->requestStop();
        retiredUi_ = std::move(ui_);
    }
    if (kvmini_.started())
        retiredKvmini_ = std::move(kvmini_);
}

void CTestDS::afterEntry() {
    finishRetired();
}

void CTestDS::finishRetired() {
    std::unique_ptr<CTestUI> ui;
    platform::ChildProcess kvmini;
    {
        std::lock_guard lock(mutex_);
        ui = std::move(retiredUi_);
        kvmini = std::move(retiredKvmini_);
    }
    kvmini.terminate();
    if (ui && ui->onOwnThread()) {
        // Disabled from inside a notification: the poller cannot join itself. It stops once
        // the notification returns and is joined by the next call or at unload.
        std::unique_ptr<CTestUI> earlier;
        {
            std::lock_guard lock(mutex_);
            earlier = std::move(retiredUi_);
            retiredUi_ = std::move(ui);
        }
        return; // `earlier`, another poller that has stopped, is joined here
    }
    ui.reset(); // joins the poller
}

void CTestDS::poll(const CTestUI& ui) {
    bool closeRequest = false;
    {
        std::lock_guard lock(mutex_);
        if (ui.stopping() || state_ != 5)
            return;
        if (kvmini_.started() && !kvmini_.running()) {
            // The user closed the program: the acquisition is over.
            closeRequest = true;
        } else if (twainIni().getInt(settings::kTwainSourceSection, settings::kPendingImagesKey,
                                     0) != 0) {
            // A count without a file to go with it (left from an earlier session) waits for
            // the file instead of ending the acquisition.
            if (auto found = FindHandoffBitmap(platform::tempDirectory(), undeletable_)) {
                imagePath_ = found->path;
                imageKey_ = found->key;
                pendingCount_ = 1;
                pendingEoj_ = 0;
                ui_->stopTimer();
                ui_->postCommand(CTestUI::kScan);
            }
        }
    }
    if (closeRequest)
        notify(MSG_CLOSEDSREQ);
}

bool CTestDS::setImageCapabilities(const LoadedBitmap& bitmap) {
    const TW_UINT16 pixelType = bitmap.bitsPerPixel >= 16 ? TWPT_RGB : TWPT_PALETTE;
    return trySetCurrent(ICAP_PIXELTYPE, pixelType) &&
           trySetCurrent(ICAP_BITDEPTH, bitmap.bitsPerPixel) &&
           trySetCurrent(ICAP_PLANARCHUNKY, TWPC_CHUNKY) &&
           trySetCurrent(ICAP_COMPRESSION, TWCP_NONE);
}

void CTestDS::scan(const CTestUI& ui) {
    std::vector<std::string> messages;
    TW_UINT16 notification = MSG_CLOSEDSREQ;
    {
        std::lock_guard lock(mutex_);
        if (ui.stopping() || state_ != 5)
            return;
        ui_->stopTimer();
        auto loaded = LoadHandoffBitmap(
            imagePath_, [&](std::string_view text) { messages.emplace_back(text); });
        if (loaded && !setImageCapabilities(*loaded)) {
            messages.emplace_back(kNotSupported);
            loaded.reset();
        }
        if (loaded) {
            image_ = std::move(loaded);
            imageInfo_ = {};
            const double xDpu = (image_->xPelsPerMeter / 100) * 2.54;
            const double yDpu = (image_->yPelsPerMeter / 100) * 2.54;
            imageInfo_.XResolution = toFix32(std::max(0.0, xDpu));
            imageInfo_.YResolution = toFix32(std::max(0.0, yDpu));
            imageInfo_.ImageWidth = image_->width;
            imageInfo_.ImageLength = image_->height;
            imageInfo_.SamplesPerPixel = 3;
            imageInfo_.BitsPerSample[0] = imageInfo_.BitsPerSample[1] =
                imageInfo_.BitsPerSample[2] = 8;
            imageInfo_.BitsPerPixel = TW_INT16(image_->bitsPerPixel);
            imageInfo_.Planar = 0;
            imageInfo_.PixelType = image_->bitsPerPixel >= 16 ? TWPT_RGB : TWPT_PALETTE;
            imageInfo_.Compression = TWCP_NONE;
            stripIndex_ = 1;
            rowsDelivered_ = 0;
            state_ = 6;
            notification = MSG_XFERREADY;
        }
    }
    // A picture that cannot be loaded ends the acquisition: the application hears of it as a
    // close request, the person reads why on standard error.
    for (const std::string& m : messages)
        if (messageBox)
            messageBox(m);
    notify(notification);
}

void CTestDS::cancel(const CTestUI& ui) {
    {
        std::lock_guard lock(mutex_);
        if (ui.stopping() || state_ < 5)
            return;
        state_ = 5;
        image_.reset();
    }
    notify(MSG_CLOSEDSREQ);
}

void CTestDS::onEndTransfer(TW_PENDINGXFERS& pending) {
    settings::Profile ini = twainIni();
    const int count = ini.getInt(settings::kTwainSourceSection, settings::kPendingImagesKey, 0);
    ini.writeInt(settings::kTwainSourceSection, settings::kPendingImagesKey,
                 std::max(count - 1, 0));
    if (::unlink(imagePath_.c_str()) != 0)
        undeletable_.insert(imageKey_); // never delivered a second time
    if (pendingCount_ > 0)
        --pendingCount_;
    image_.reset();
    if (pendingCount_ == 0) {
        state_ = 5;
        if (ui_)
            ui_->post([this] { notify(MSG_CLOSEDSREQ); });
    } else {
        state_ = 6;
    }
    pending.Count = pendingCount_;
    pending.EOJ = pendingEoj_;
}

void CTestDS::onResetTransfers() {
    image_.reset();
}

void CTestDS::fillImageInfo(TW_IMAGEINFO& info) {
    info = imageInfo_;
}

void CTestDS::nativeTransfer(TW_HANDLE& image) {
    if (!image_)
        throw failure(TWCC_SEQERROR);
    image = handleFrom(MakeNativeTiff(*image_));
}

bool CTestDS::memoryTransfer(TW_IMAGEMEMXFER& strip) {
    if (!image_)
        throw failure(TWCC_SEQERROR);
    const TW_UINT32 length = strip.Memory.Length;
    if (length < memorySetup_.MinBufSize || length > memorySetup_.MaxBufSize)
        throw failure(TWCC_BADVALUE);
    const std::size_t bytesPerRow =
        (std::size_t(image_->width) * image_->bitsPerPixel / 8 + 3) & ~std::size_t(3);
    if (length < bytesPerRow || !strip.Memory.TheMem)
        throw failure(TWCC_BADVALUE);
    if (stripIndex_ == 1)
        rowsDelivered_ = 0;
    ++stripIndex_;
    const std::size_t rows =
        std::min(length / bytesPerRow, std::size_t(image_->height) - rowsDelivered_);
    const bool handle = (strip.Memory.Flags & TWMF_HANDLE) != 0;
    void* target = handle ? lockHandle(strip.Memory.TheMem) : strip.Memory.TheMem;
    if (!target)
        throw failure(TWCC_BADVALUE);
    std::memcpy(target, image_->row(TW_INT32(rowsDelivered_)), rows * bytesPerRow);
    if (handle)
        unlockHandle(strip.Memory.TheMem);
    strip.Compression = TW_UINT16(currentValue(ICAP_COMPRESSION));
    strip.BytesPerRow = TW_UINT32(bytesPerRow);
    strip.Columns = TW_UINT32(image_->width);
    strip.Rows = TW_UINT32(rows);
    strip.XOffset = 0;
    strip.YOffset = TW_UINT32(rowsDelivered_);
    strip.BytesWritten = TW_UINT32(rows * bytesPerRow);
    rowsDelivered_ += rows;
    if (rowsDelivered_ < std::size_t(image_->height))
        return false;
    image_.reset();
    return true;
}

} // namespace kvsource
