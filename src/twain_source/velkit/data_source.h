// The data-source base of the Velkit library: the TWAIN identity and state, the triplet
// dispatch with its state table, the capability store, the memory functions and entry point
// of the source manager, and the notifications to the application. A product derives from it
// and fills in the hooks.
//
// Threading: entry() may be called from any application thread; it runs every handler and
// hook under `mutex_`, which the source's own thread (ui_dialog.h) also takes for its work. The
// lock is never held while a notification goes out, and afterEntry() runs after it is released
// (that is where threads are joined and programs ended).
#pragma once

#include "twain_source/twain.h"
#include "twain_source/velkit/containers.h"

#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace Velkit {

class CTWAINDataSource {
public:
    CTWAINDataSource();
    virtual ~CTWAINDataSource() = default;
    CTWAINDataSource(const CTWAINDataSource&) = delete;
    CTWAINDataSource& operator=(const CTWAINDataSource&) = delete;

    // DS_Entry: dispatches one triplet and turns the handlers' exceptions into the return code
    // (and the condition code kept for the next status request).
    twain::TW_UINT16 entry(twain::TW_IDENTITY* origin, twain::TW_UINT32 dataGroup,
                           twain::TW_UINT16 dataType, twain::TW_UINT16 message,
                           twain::TW_MEMREF data);

    int state() const;

    // The capabilities in the order CAP_SUPPORTEDCAPS lists them.
    const std::vector<twain::TW_UINT16>& supportedCapabilities() const { return supported_; }

protected:
    // ---- State guarded by mutex_.
    mutable std::mutex mutex_;
    twain::TW_IDENTITY identity_{};
    twain::TW_IDENTITY owner_{};
    bool owned_ = false; // an application has opened the source
    int state_ = 3;
    twain::TW_UINT16 conditionCode_ = twain::TWCC_SUCCESS;
    twain::TW_UINT32 dataGroup_ = 0;
    twain::TW_UINT16 dataType_ = 0;
    twain::TW_UINT16 message_ = 0;
    twain::TW_UINT16 capability_ = 0;
    twain::TW_UINT16 pendingCount_ = 0;
    twain::TW_UINT32 pendingEoj_ = 0;
    twain::TW_SETUPMEMXFER memorySetup_{16384, 65536, 32768};
    twain::TW_IMAGELAYOUT layout_{};
    twain::TW_IMAGELAYOUT defaultLayout_{};

    // ---- Capability store (set up by the product at load).
    void addOneValue(twain::TW_UINT16 cap, twain::TW_UINT16 itemType, twain::TW_UINT32 value,
                     bool settable);
    void addArray(twain::TW_UINT16 cap, twain::TW_UINT16 itemType,
                  std::vector<twain::TW_UINT32> values);
    void addEnumeration(twain::TW_UINT16 cap, twain::TW_UINT16 itemType,
                        std::vector<twain::TW_UINT32> values, std::size_t defaultIndex);
    // An enumeration with one list per current value of `selector` (the bit depths of each
    // pixel type).
    void
    addDependentEnumeration(twain::TW_UINT16 cap, twain::TW_UINT16 itemType,
                            twain::TW_UINT16 selector,
                            const std::map<twain::TW_UINT32, std::vector<twain::TW_UINT32>>& lists,
                            twain::TW_UINT32 defaultValue);
    // Listed as supported; every message on it fails with condition code 14.
    void addUnusable(twain::TW_UINT16 cap);

    // The current value of a one-value or enumeration capability.
    twain::TW_UINT32 currentValue(twain::TW_UINT16 cap) const;
    // Makes `value` current; false (nothing changed) when it is not allowed.
    bool trySetCurrent(twain::TW_UINT16 cap, twain::TW_UINT32 value);
    // Back to the values of load time (every list of a dependent enumeration).
    void resetCapability(twain::TW_UINT16 cap);

    // ---- Memory handed to the application: the manager's functions when it gave them
    // (DAT_ENTRYPOINT), else the C heap. Throws failure(TWCC_LOWMEMORY).
    twain::TW_HANDLE allocHandle(std::size_t size);
    void* lockHandle(twain::TW_HANDLE handle);
    void unlockHandle(twain::TW_HANDLE handle);
    twain::TW_HANDLE handleFrom(const std::vector<std::uint8_t>& bytes);

    // Sends MSG_XFERREADY or MSG_CLOSEDSREQ to the owner through the manager's entry point;
    // dropped when there is no owner or no entry point. Call without holding mutex_, from the
    // source's own thread.
    void notify(twain::TW_UINT16 message);

    // ---- Hooks, called with mutex_ held. Failures throw (exceptions.h).
    virtual void onOpen() {}
    virtual void onClose() {}
    virtual void onEnable(const twain::TW_USERINTERFACE& ui) = 0;
    virtual void onDisable() = 0;
    virtual void onEndTransfer(twain::TW_PENDINGXFERS& pending) = 0;
    virtual void onResetTransfers() {}
    virtual void fillImageInfo(twain::TW_IMAGEINFO& info) = 0;
    virtual void nativeTransfer(twain::TW_HANDLE& image) = 0;
    // True with the last strip.
    virtual bool memoryTransfer(twain::TW_IMAGEMEMXFER& strip) = 0;
    // True when the event belongs to the source's own window.
    virtual bool processEvent(twain::TW_EVENT&) { return false; }
    // Called by entry() after mutex_ is released.
    virtual void afterEntry() {}

private:
    struct Capability {
        enum Kind { OneValue, Array, Enumeration, Unusable } kind = Unusable;
        twain::TW_UINT16 itemType = 0;
        bool settable = false;
        std::optional<CTWAINOneValue> one, oneAtLoad;
        std::optional<CTWAINArray> array;
        twain::TW_UINT16 selector = 0; // 0: one list
        std::map<twain::TW_UINT32, CTWAINEnumeration> lists, listsAtLoad;
    };
    using Handler = void (CTWAINDataSource::*)(twain::TW_MEMREF);
    struct Rule {
        twain::TW_UINT32 dataGroup;
        twain::TW_UINT16 dataType;
        twain::TW_UINT16 message; // kAnyMessage: every message
        int minState;
        int maxState;
        Handler handler;
    };
    static const std::vector<Rule>& rules();

    twain::TW_UINT16 dispatch(twain::TW_IDENTITY* origin, twain::TW_UINT32 dataGroup,
                              twain::TW_UINT16 dataType, twain::TW_UINT16 message,
                              twain::TW_MEMREF data);
    Capability& capabilityEntry(twain::TW_UINT16 cap);
    const Capability& capabilityEntry(twain::TW_UINT16 cap) const;
    CTWAINEnumeration& list(Capability& c);
    const CTWAINEnumeration& list(const Capability& c) const;
    std::vector<std::uint8_t> readContainer(const twain::TW_CAPABILITY& cap);
    void answerOneValue(twain::TW_CAPABILITY& cap, const Capability& c, bool defaultValue);

    void doNothing(twain::TW_MEMREF) {}
    void capability(twain::TW_MEMREF data);
    void identityGet(twain::TW_MEMREF data);
    void openSource(twain::TW_MEMREF data);
    void closeSource(twain::TW_MEMREF data);
    void entryPointSet(twain::TW_MEMREF data);
    void pendingGet(twain::TW_MEMREF data);
    void pendingEnd(twain::TW_MEMREF data);
    void pendingReset(twain::TW_MEMREF data);
    void setupMemoryGet(twain::TW_MEMREF data);
    void statusGet(twain::TW_MEMREF data);
    void enable(twain::TW_MEMREF data);
    void disable(twain::TW_MEMREF data);
    void transferGroupGet(twain::TW_MEMREF data);
    void imageInfoGet(twain::TW_MEMREF data);
    void layoutGet(twain::TW_MEMREF data);
    void layoutGetDefault(twain::TW_MEMREF data);
    void layoutSet(twain::TW_MEMREF data);
    void nativeGet(twain::TW_MEMREF data);
    void memoryGet(twain::TW_MEMREF data);

    twain::TW_IDENTITY* origin_ = nullptr; // the caller of the request being handled
    std::optional<twain::TW_ENTRYPOINT> manager_;
    std::vector<twain::TW_UINT16> supported_;
    std::map<twain::TW_UINT16, Capability> capabilities_;
};

} // namespace Velkit
