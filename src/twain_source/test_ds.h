// kvsource's data source: the product on top of the Velkit library. Enabling it starts the
// program (section "Korvane", key "Location" of KVTWAIN.ini) with "/TWAIN"; its poller watches
// key "PendingImages" of section "Source" and the temporary directory for the hand-off bitmap
// the program leaves (library/twain_handoff.h), loads it, tells the application a transfer is
// ready, hands the picture over natively (a TIFF image in memory) or in memory strips, then
// deletes the file, counts the key down and asks the application to close the source.
#pragma once

#include "platform/child_process.h"
#include "twain_source/handoff_bitmap.h"
#include "twain_source/velkit/data_source.h"
#include "twain_source/velkit/ui_dialog.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace kvsource {
namespace platform = kv::platform;

inline constexpr std::string_view kManufacturer = "Brantel Imaging Inc.";
inline constexpr std::string_view kProductFamily = "Zurir Udededoz";
inline constexpr std::string_view kDefaultProductName = "Korvane Digital Camera";
inline constexpr std::size_t kProductNameLimit = 33;

class CTestDS;

// The dialog of the source, here a poller without a window: every 250 ms it asks the source
// to poll; command 1 is "Scan", command 2 "Cancel".
class CTestUI : public Velkit::CTWAINUIDialog {
public:
    static constexpr int kScan = 1;
    static constexpr int kCancel = 2;

    explicit CTestUI(CTestDS& source);
    ~CTestUI() override;

protected:
    void onTimer() override;
    void onCommand(int id) override;

private:
    CTestDS& source_;
};

class CTestDS : public Velkit::CTWAINDataSource {
public:
    CTestDS();
    ~CTestDS() override;

    // Where loader messages go (standard error unless replaced). Called on the poller thread.
    MessageSink messageBox;

    // The poller's work, on its thread (CTestUI calls them).
    void poll(const CTestUI& ui);
    void scan(const CTestUI& ui);
    void cancel(const CTestUI& ui);

protected:
    void onOpen() override;
    void onClose() override;
    void onEnable(const twain::TW_USERINTERFACE& ui) override;
    void onDisable() override;
    void onEndTransfer(twain::TW_PENDINGXFERS& pending) override;
    void onResetTransfers() override;
    void fillImageInfo(twain::TW_IMAGEINFO& info) override;
    void nativeTransfer(twain::TW_HANDLE& image) override;
    bool memoryTransfer(twain::TW_IMAGEMEMXFER& strip) override;
    void afterEntry() override;

private:
    void setUpCapabilities();
    void stopSession(); // with mutex_ held: retire the poller and the program
    void finishRetired();
    bool setImageCapabilities(const LoadedBitmap& bitmap);

    std::unique_ptr<CTestUI> ui_;
    platform::ChildProcess kvmini_;
    bool kvminiGone_ = false; // it ended while a picture was waiting

    // Retired by a handler, ended by afterEntry() once the lock is released.
    std::unique_ptr<CTestUI> retiredUi_;
    platform::ChildProcess retiredKvmini_;

    std::filesystem::path imagePath_;
    FileKey imageKey_{};
    std::set<FileKey> undeletable_;
    std::optional<LoadedBitmap> image_;
    twain::TW_IMAGEINFO imageInfo_{};
    twain::TW_UINT32 stripIndex_ = 0;
    std::size_t rowsDelivered_ = 0;
};

// The product name of the identity: key "Name" of section "Source", its default when missing,
// cut to 33 characters.
std::string productName();

} // namespace kvsource
