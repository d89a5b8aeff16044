// kvtwain: a small command-line TWAIN application. It acquires one picture from a data
// source and writes it as a bitmap, either through a TWAIN source manager library
// (--dsm=/path/libtwaindsm.so) or, without one, by loading the data source itself
// (--source=/path/kvsource.ds) and playing the manager's part: identity, DAT_ENTRYPOINT with
// the entry for notifications and the memory functions.
//
//   kvtwain [--dsm=LIB | --source=DS] [--memory] [--timeout=SECONDS] [--product=NAME] OUT.bmp
//
// It prints each TWAIN state it reaches ("state 1" .. "state 7" and back to "state 1").
#include "imaging/bitmap_file.h"
#include "imaging/tiff.h"
#include "twain_source/twain.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

using namespace twain;

namespace {

// Notifications arrive on the source's thread (through the manager); the main thread waits.
std::mutex notesMutex;
std::condition_variable notesWake;
std::deque<TW_UINT16> notes;

void noted(TW_UINT16 message) {
    {
        std::lock_guard lock(notesMutex);
        notes.push_back(message);
    }
    notesWake.notify_all();
}

// The first of the wanted notifications to arrive, or MSG_NULL after `seconds`.
TW_UINT16 waitForNote(double seconds) {
    std::unique_lock lock(notesMutex);
    if (!notesWake.wait_for(lock, std::chrono::duration<double>(seconds),
                            [] { return !notes.empty(); }))
        return MSG_NULL;
    const TW_UINT16 m = notes.front();
    notes.pop_front();
    return m;
}

void state(int n) {
    std::printf("state %d\n", n);
    std::fflush(stdout);
}

// One way of talking to the source: through a manager, or directly.
class Manager {
public:
    virtual ~Manager() = default;
    virtual bool load(std::string& error) = 0; // states 1 -> 3
    virtual bool open(TW_IDENTITY& app, std::string_view product, std::string& error) = 0; // -> 4
    virtual TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) = 0;
    virtual void close() = 0;  // 4 -> 3
    virtual void unload() = 0; // 3 -> 1
    virtual void* lock(TW_HANDLE h) = 0;
    virtual void unlock(TW_HANDLE h) = 0;
    virtual void free(TW_HANDLE h) = 0;
};

// Plays the manager for a data source loaded directly.
class DirectManager : public Manager {
public:
    explicit DirectManager(std::string path) : path_(std::move(path)) {}

    bool load(std::string& error) override {
        library_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library_) {
            error = ::dlerror();
            return false;
        }
        state(2);
        entry_ = reinterpret_cast<DSENTRYPROC>(::dlsym(library_, "DS_Entry"));
        if (!entry_) {
            error = "no DS_Entry in " + path_;
            return false;
        }
        state(3);
        return true;
    }

    bool open(TW_IDENTITY& app, std::string_view, std::string& error) override {
        app_ = &app;
        app.Id = 1;
        if (entry_(&app, DG_CONTROL, DAT_IDENTITY, MSG_GET, &source_) != TWRC_SUCCESS) {
            error = "the source gives no identity";
            return false;
        }
        source_.Id = 2;
        if (source_.SupportedGroups & DF_DS2) {
            TW_ENTRYPOINT ep{
                sizeof(TW_ENTRYPOINT), &managerEntry, &memAllocate, &memFree, &memLock, &memUnlock};
            if (entry_(&app, DG_CONTROL, DAT_ENTRYPOINT, MSG_SET, &ep) != TWRC_SUCCESS) {
                error = "the source refuses the entry point";
                return false;
            }
        }
        if (entry_(&app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_) != TWRC_SUCCESS) {
            error = "the source does not open";
            return false;
        }
        std::printf("source: %s / %s / %s\n", source_.Manufacturer, source_.ProductFamily,
                    source_.ProductName);
        return true;
    }

    TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) override {
        return entry_(app_, dg, dat, msg, data);
    }
    void close() override { entry_(app_, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_); }
    void unload() override {
        if (library_)
            ::dlclose(library_);
        library_ = nullptr;
    }
    void* lock(TW_HANDLE h) override { return h; }
    void unlock(TW_HANDLE) override {}
    void free(TW_HANDLE h) override { std::free(h); }

private:
    static TW_UINT16 managerEntry(TW_IDENTITY*, TW_IDENTITY*, TW_UINT32 dg, TW_UINT16 dat,
                                  TW_UINT16 msg, TW_MEMREF) {
        if (dg == DG_CONTROL && dat == DAT_NULL)
            noted(msg);
        return TWRC_SUCCESS;
    }
    static TW_HANDLE memAllocate(TW_UINT32 size) { return std::calloc(1, size ? size : 1); }
    static void memFree(TW_HANDLE h) { std::free(h); }
    static TW_MEMREF memLock(TW_HANDLE h) { return h; }
    static void memUnlock(TW_HANDLE) {}

    std::string path_;
    void* library_ = nullptr;
    DSENTRYPROC entry_ = nullptr;
    TW_IDENTITY* app_ = nullptr;
    TW_IDENTITY source_{};
};

// Talks to the source through a TWAIN source manager library.
class DsmManager : public Manager {
public:
    explicit DsmManager(std::string path) : path_(std::move(path)) {}

    bool load(std::string& error) override {
        library_ = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library_) {
            error = ::dlerror();
            return false;
        }
        dsm_ = reinterpret_cast<DSMENTRYPROC>(::dlsym(library_, "DSM_Entry"));
        if (!dsm_) {
            error = "no DSM_Entry in " + path_;
            return false;
        }
        state(2);
        return true;
    }

    bool open(TW_IDENTITY& app, std::string_view product, std::string& error) override {
        app_ = &app;
        static int parent = 0; // no window on this platform
        if (dsm_(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent) != TWRC_SUCCESS) {
            error = "the manager does not open";
            return false;
        }
        opened_ = true;
        state(3);
        if (dsm_(&app, nullptr, DG_CONTROL, DAT_ENTRYPOINT, MSG_GET, &entry_) != TWRC_SUCCESS) {
            error = "the manager gives no entry point";
            return false;
        }
        // The source whose product family or name matches, else the manager's default.
        TW_IDENTITY id{};
        bool found = false;
        for (TW_UINT16 msg = MSG_GETFIRST;
             dsm_(&app, nullptr, DG_CONTROL, DAT_IDENTITY, msg, &id) == TWRC_SUCCESS;
             msg = MSG_GETNEXT) {
            if (product == id.ProductName || product == id.ProductFamily) {
                found = true;
                break;
            }
        }
        if (!found &&
            dsm_(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &id) != TWRC_SUCCESS) {
            error = "the manager knows no data source";
            return false;
        }
        source_ = id;
        if (dsm_(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_) != TWRC_SUCCESS) {
            error = "the data source does not open";
            return false;
        }
        TW_CALLBACK cb{reinterpret_cast<TW_MEMREF>(&callback), 0, 0};
        dsm_(&app, &source_, DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &cb);
        std::printf("source: %s / %s / %s\n", source_.Manufacturer, source_.ProductFamily,
                    source_.ProductName);
        return true;
    }

    TW_UINT16 call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data) override {
        return dsm_(app_, &source_, dg, dat, msg, data);
    }
    void close() override { dsm_(app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_); }
    void unload() override {
        static int parent = 0;
        if (opened_) {
            dsm_(app_, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);
            state(2);
        }
        if (library_)
            ::dlclose(library_);
        library_ = nullptr;
    }
    void* lock(TW_HANDLE h) override { return entry_.DSM_MemLock ? entry_.DSM_MemLock(h) : h; }
    void unlock(TW_HANDLE h) override {
        if (entry_.DSM_MemUnlock)
            entry_.DSM_MemUnlock(h);
    }
    void free(TW_HANDLE h) override {
        if (entry_.DSM_MemFree)
            entry_.DSM_MemFree(h);
        else
            std::free(h);
    }

private:
    static TW_UINT16 callback(TW_IDENTITY*, TW_IDENTITY*, TW_UINT32, TW_UINT16, TW_UINT16 msg,
                              TW_MEMREF) {
        noted(msg);
        return TWRC_SUCCESS;
    }

    std::string path_;
    void* library_ = nullptr;
    DSMENTRYPROC dsm_ = nullptr;
    bool opened_ = false;
    TW_ENTRYPOINT entry_{sizeof(TW_ENTRYPOINT), nullptr, nullptr, nullptr, nullptr, nullptr};
    TW_IDENTITY* app_ = nullptr;
    TW_IDENTITY source_{};
};

TW_UINT16 conditionCode(Manager& m) {
    TW_STATUS s{};
    m.call(DG_CONTROL, DAT_STATUS, MSG_GET, &s);
    return s.ConditionCode;
}

bool setOneValue(Manager& m, TW_UINT16 cap, TW_UINT16 type, TW_UINT32 value) {
    TW_ONEVALUE one{type, value};
    // The container travels in a handle; directly loaded sources and the Linux manager both
    // take a plain pointer as one.
    TW_CAPABILITY c{cap, TWON_ONEVALUE, &one};
    return m.call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &c) == TWRC_SUCCESS;
}

// A native transfer's TIFF image as top-down RGB.
bool rgbFromTiff(const std::uint8_t* data, std::size_t size, kv::Bytes& rgb, int& width,
                 int& height) {
    auto reader = kv::imaging::OpenTiffBytes(kv::Bytes(data, data + size));
    if (!reader)
        return false;
    const auto& ifd = reader->ifd();
    if (ifd.photometric != 2 || ifd.samplesPerPixel != 3 || ifd.width == 0 || ifd.height == 0 ||
        ifd.width > 16384 || ifd.height > 16384)
        return false;
    width = int(ifd.width);
    height = int(ifd.height);
    rgb.assign(std::size_t(width) * std::size_t(height) * 3, 0);
    std::uint32_t count = std::uint32_t(rgb.size()), position = 0;
    return kv::imaging::ReadData(*reader, 0, rgb.data(), count, position) == kv::status::Ok &&
           count == rgb.size();
}

// The bytes a little-endian TIFF image occupies: the end of its first IFD, of the values that
// IFD points at and of its strips, read step by step so nothing past them is touched. 0 when the
// header is not one this tool wrote for.
std::size_t tiffExtent(const std::uint8_t* p) {
    auto u16 = [&](std::size_t at) { return std::uint32_t(p[at] | (p[at + 1] << 8)); };
    auto u32 = [&](std::size_t at) { return u16(at) | (u16(at + 2) << 16); };
    if (p[0] != 'I' || p[1] != 'I' || u16(2) != 42)
        return 0;
    const std::size_t ifd = u32(4);
    if (ifd > (1u << 20))
        return 0;
    const std::size_t entries = u16(ifd);
    std::size_t end = ifd + 2 + entries * 12 + 4;
    std::uint32_t stripOffset = 0, stripBytes = 0;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t e = ifd + 2 + i * 12;
        const std::uint32_t tag = u16(e), type = u16(e + 2), count = u32(e + 4);
        const std::size_t unit = type == 3 ? 2 : type == 4 ? 4 : type == 5 ? 8 : 1;
        if (count > (1u << 20))
            return 0;
        if (unit * count > 4)
            end = std::max<std::size_t>(end, u32(e + 8) + unit * count);
        if (tag == 273)
            stripOffset = u32(e + 8);
        if (tag == 279)
            stripBytes = u32(e + 8);
    }
    return std::max<std::size_t>(end, std::size_t(stripOffset) + stripBytes);
}

int fail(const std::string& text) {
    std::fprintf(stderr, "kvtwain: %s\n", text.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string dsm, source, out, product = "Zurir Udededoz";
    bool memory = false;
    double timeout = 120;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a.rfind("--dsm=", 0) == 0)
            dsm = a.substr(6);
        else if (a.rfind("--source=", 0) == 0)
            source = a.substr(9);
        else if (a == "--memory")
            memory = true;
        else if (a == "--native")
            memory = false;
        else if (a.rfind("--timeout=", 0) == 0)
            timeout = std::atof(argv[i] + 10);
        else if (a.rfind("--product=", 0) == 0)
            product = a.substr(10);
        else if (!a.empty() && a[0] != '-')
            out = a;
        else
            return fail("unknown option " + std::string(a));
    }
    if (out.empty() || dsm.empty() == source.empty())
        return fail("usage: kvtwain (--dsm=LIB | --source=DS) [--memory] [--timeout=S] OUT.bmp");

    std::unique_ptr<Manager> m;
    if (!dsm.empty())
        m = std::make_unique<DsmManager>(dsm);
    else
        m = std::make_unique<DirectManager>(source);
    state(1);
    std::string error;
    TW_IDENTITY app{};
    app.Version.MajorNum = 1;
    app.Version.Language = TWLG_ENGLISH_USA;
    app.Version.Country = TWCY_USA;
    app.ProtocolMajor = 2;
    app.ProtocolMinor = 4;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.Manufacturer, "kvmini");
    std::strcpy(app.ProductFamily, "tools");
    std::strcpy(app.ProductName, "kvtwain");
    if (!m->load(error))
        return fail(error);
    if (!m->open(app, product, error)) {
        m->unload();
        return fail(error);
    }
    state(4);

    int result = 1;
    do {
        if (!setOneValue(*m, ICAP_XFERMECH, TWTY_UINT16, memory ? TWSX_MEMORY : TWSX_NATIVE)) {
            error = "the source refuses the transfer mechanism";
            break;
        }
        TW_USERINTERFACE ui{1, 0, nullptr};
        if (m->call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS) {
            error =
                "the source does not enable (condition " + std::to_string(conditionCode(*m)) + ")";
            break;
        }
        state(5);
        std::printf("waiting for a picture (Transfer to Application in kvmini)\n");
        std::fflush(stdout);
        const TW_UINT16 note = waitForNote(timeout);
        if (note != MSG_XFERREADY) {
            error = note == MSG_CLOSEDSREQ ? "the source ended the acquisition"
                                           : "no picture arrived in time";
            m->call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
            state(4);
            break;
        }
        state(6);
        TW_IMAGEINFO info{};
        if (m->call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) != TWRC_SUCCESS) {
            error = "no image description";
        }
        std::printf("image %d x %d, %d bits, resolution %d.%02d\n", info.ImageWidth,
                    info.ImageLength, info.BitsPerPixel, info.XResolution.Whole,
                    int(info.XResolution.Frac * 100.0 / 65536.0 + 0.5));
        kv::Bytes rgb;
        int width = 0, height = 0;
        if (error.empty() && !memory) {
            TW_HANDLE h = nullptr;
            if (m->call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h) == TWRC_XFERDONE && h) {
                state(7);
                // The handle holds a TIFF image whose length only its own headers tell.
                const auto* p = static_cast<const std::uint8_t*>(m->lock(h));
                const std::size_t size = tiffExtent(p);
                if (!rgbFromTiff(p, size, rgb, width, height))
                    error = "the native image is not a TIFF image this tool reads";
                m->unlock(h);
                m->free(h);
            } else {
                error =
                    "native transfer failed (condition " + std::to_string(conditionCode(*m)) + ")";
            }
        } else if (error.empty()) {
            TW_SETUPMEMXFER setup{};
            m->call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
            std::vector<std::uint8_t> buffer(setup.Preferred ? setup.Preferred : 32768);
            width = info.ImageWidth;
            height = info.ImageLength;
            if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
                error = "the image description is unusable";
            } else {
                rgb.assign(std::size_t(width) * std::size_t(height) * 3, 0);
                for (;;) {
                    TW_IMAGEMEMXFER x{};
                    x.Memory = {TWMF_APPOWNS | TWMF_POINTER, TW_UINT32(buffer.size()),
                                buffer.data()};
                    const TW_UINT16 rc = m->call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x);
                    if (rc != TWRC_SUCCESS && rc != TWRC_XFERDONE) {
                        error = "memory transfer failed (condition " +
                                std::to_string(conditionCode(*m)) + ")";
                        break;
                    }
                    state(7);
                    std::printf("strip: %u rows from row %u\n", x.Rows, x.YOffset);
                    const std::size_t rowBytes = std::size_t(width) * 3;
                    if (x.BytesPerRow < rowBytes || x.YOffset > TW_UINT32(height) ||
                        x.Rows > TW_UINT32(height) - x.YOffset ||
                        std::size_t(x.Rows) * x.BytesPerRow > buffer.size()) {
                        error = "a strip does not fit the image";
                        break;
                    }
                    for (TW_UINT32 r = 0; r < x.Rows; ++r)
                        std::memcpy(&rgb[(x.YOffset + r) * rowBytes], &buffer[r * x.BytesPerRow],
                                    rowBytes);
                    if (rc == TWRC_XFERDONE)
                        break;
                }
            }
        }
        TW_PENDINGXFERS pending{};
        m->call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
        state(pending.Count ? 6 : 5);
        if (error.empty()) {
            if (kv::imaging::WriteBitmap24File(out, rgb, width, height) != kv::status::Ok)
                error = "cannot write " + out;
            else
                std::printf("wrote %s\n", out.c_str());
        }
        // The source asks to be closed once the last picture is delivered.
        if (waitForNote(5) != MSG_CLOSEDSREQ)
            std::printf("no close request from the source\n");
        m->call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        state(4);
        result = error.empty() ? 0 : 1;
    } while (false);

    m->close();
    state(3);
    m->unload();
    state(1);
    if (!error.empty())
        return fail(error);
    return result;
}
