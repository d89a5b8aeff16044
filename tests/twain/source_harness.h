// A stand-in TWAIN source manager for the tests: loads kvsource.ds with dlopen, gives it the
// manager's entry point and memory functions (DAT_ENTRYPOINT), drives DS_Entry as the manager
// would, and records the notifications the source sends from its own thread.
#pragma once

#include "twain_source/twain.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>

namespace kvtest {
using namespace twain;

// Counts the handles the source allocates through the manager, so a test can see that every
// one was given to the application (and freed by it).
inline std::atomic<int> liveHandles{0};

inline TW_HANDLE memAllocate(TW_UINT32 size) {
    ++liveHandles;
    return std::calloc(1, size ? size : 1);
}
inline void memFree(TW_HANDLE h) {
    if (h)
        --liveHandles;
    std::free(h);
}
inline TW_MEMREF memLock(TW_HANDLE h) {
    return h;
}
inline void memUnlock(TW_HANDLE) {}

class SourceManager;
inline SourceManager* activeManager = nullptr;

class SourceManager {
public:
    explicit SourceManager(bool giveEntryPoint = true) {
        library_ = ::dlopen(KVSOURCE_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(library_, nullptr) << ::dlerror();
        if (library_)
            entry_ = reinterpret_cast<DSENTRYPROC>(::dlsym(library_, "DS_Entry"));
        app_.Id = 1;
        app_.Version.MajorNum = 1;
        app_.ProtocolMajor = 2;
        app_.ProtocolMinor = 4;
        app_.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
        std::strcpy(app_.ProductName, "harness");
        activeManager = this;
        giveEntryPoint_ = giveEntryPoint;
    }
    ~SourceManager() {
        activeManager = nullptr;
        if (library_)
            ::dlclose(library_);
    }
    SourceManager(const SourceManager&) = delete;
    SourceManager& operator=(const SourceManager&) = delete;

    bool loaded() const { return entry_ != nullptr; }
    TW_IDENTITY& app() { return app_; }
    TW_IDENTITY& source() { return source_; }

    TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data,
                   TW_IDENTITY* origin = nullptr) {
        return entry_(origin ? origin : &app_, dg, dat, msg, data);
    }
    // The condition code of the last failure (read once by the source).
    TW_UINT16 condition(TW_IDENTITY* origin = nullptr) {
        TW_STATUS s{};
        EXPECT_EQ(call(DG_CONTROL, DAT_STATUS, MSG_GET, &s, origin), TWRC_SUCCESS);
        return s.ConditionCode;
    }

    // States 3 -> 4: identity, entry point, open.
    void open() {
        ASSERT_EQ(call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &source_), TWRC_SUCCESS);
        source_.Id = 2;
        if (giveEntryPoint_) {
            TW_ENTRYPOINT ep{
                sizeof(TW_ENTRYPOINT), &managerEntry, &memAllocate, &memFree, &memLock, &memUnlock};
            ASSERT_EQ(call(DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &ep), TWRC_SUCCESS);
        }
        ASSERT_EQ(call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_), TWRC_SUCCESS);
    }
    void enable() {
        TW_USERINTERFACE ui{1, 0, nullptr};
        ASSERT_EQ(call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    }
    void disable() {
        TW_USERINTERFACE ui{1, 0, nullptr};
        ASSERT_EQ(call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    }
    void close() { ASSERT_EQ(call(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_), TWRC_SUCCESS); }

    // Waits for a notification; false when none came within the time.
    bool waitFor(TW_UINT16 message, std::chrono::milliseconds within = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex_);
        return wake_.wait_for(lock, within, [&] {
            for (auto it = notes_.begin(); it != notes_.end(); ++it) {
                if (*it == message) {
                    notes_.erase(it);
                    return true;
                }
            }
            return false;
        });
    }
    std::deque<TW_UINT16> notifications() {
        std::lock_guard lock(mutex_);
        return notes_;
    }
    int wrongNotifications() const { return wrong_; }
    // Called with each notification on the source's thread, as an application's callback is.
    std::function<void(TW_UINT16)> onNotification;

private:
    static TW_UINT16 managerEntry(TW_IDENTITY* origin, TW_IDENTITY* dest, TW_UINT32 dg,
                                  TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF) {
        SourceManager* m = activeManager;
        if (!m)
            return TWRC_FAILURE;
        if (!origin || !dest || origin->Id != m->source_.Id || dest->Id != m->app_.Id ||
            dg != DG_CONTROL || dat != DAT_NULL)
            ++m->wrong_;
        {
            std::lock_guard lock(m->mutex_);
            m->notes_.push_back(msg);
        }
        m->wake_.notify_all();
        if (m->onNotification)
            m->onNotification(msg);
        return TWRC_SUCCESS;
    }

    void* library_ = nullptr;
    DSENTRYPROC entry_ = nullptr;
    bool giveEntryPoint_ = true;
    TW_IDENTITY app_{};
    TW_IDENTITY source_{};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<TW_UINT16> notes_;
    std::atomic<int> wrong_{0};
};

} // namespace kvtest
