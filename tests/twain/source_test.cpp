// kvsource.ds loaded with dlopen and driven through DS_Entry as a source manager would.
#include "imaging/bitmap_file.h"
#include "imaging/file_test_support.h"
#include "platform/atomic_file.h"
#include "settings/profile.h"
#include "support/scratch_dir.h"
#include "twain/source_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kvtest {
namespace {
namespace fs = std::filesystem;

using Bytes = kv::Bytes;

std::size_t threadCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// Each test gets its own temporary and configuration directories through TEMP and
// KVMINI_CONFIG_DIR, which both the source and the hand-off writer read.
class TwainSource : public ::testing::Test {
protected:
    void SetUp() override {
        temp = dir.path() / "temp";
        config = dir.path() / "config";
        fs::create_directories(temp);
        fs::create_directories(config);
        saveEnv("TEMP", temp);
        saveEnv("KVMINI_CONFIG_DIR", config);
        liveHandles = 0;
    }
    void TearDown() override {
        for (auto& [name, value] : saved)
            value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
    }
    void saveEnv(const std::string& name, const fs::path& value) {
        const char* old = std::getenv(name.c_str());
        saved.emplace_back(name, old ? old : "");
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    kv::settings::Profile ini() { return kv::settings::Profile(config / "KVTwain.ini"); }
    int pending() { return ini().getInt("Source", "PendingImages", -1); }

    // A hand-off as the program leaves it; returns the top-down RGB picture.
    Bytes handOff(int width, int height, const std::string& name = "KVImage0.bmp",
                  int pendingImages = 1, std::int32_t pelsPerMetre = 0) {
        Bytes rgb = testPicture(width, height, 1);
        Bytes file = kv::imaging::MakeBitmap24File(rgb, width, height);
        kv::storeLe32(file, 38, std::uint32_t(pelsPerMetre));
        kv::storeLe32(file, 42, std::uint32_t(pelsPerMetre));
        writeFile(temp / name, file);
        ini().writeInt("Source", "PendingImages", pendingImages);
        return rgb;
    }

    // Open, enable and wait for the transfer to be announced.
    void toTransferReady(SourceManager& m) {
        m.open();
        m.enable();
        ASSERT_TRUE(m.waitFor(MSG_XFERREADY));
    }

    kv::testing::ScratchDir dir;
    fs::path temp, config;
    std::vector<std::pair<std::string, std::string>> saved;
};

// The rows a memory transfer delivers: top-down RGB, each padded to a multiple of 4 bytes.
Bytes paddedRows(const Bytes& rgb, int width, int height) {
    const std::size_t row = std::size_t(width) * 3, stride = (row + 3) / 4 * 4;
    Bytes out(stride * std::size_t(height), 0);
    for (int y = 0; y < height; ++y)
        std::memcpy(&out[std::size_t(y) * stride], &rgb[std::size_t(y) * row], row);
    return out;
}

struct Strips {
    TW_UINT16 lastRc = 0;
    Bytes data;
    std::vector<TW_IMAGEMEMXFER> records;
};

Strips memoryTransfer(SourceManager& m, TW_UINT32 bufferSize) {
    Strips out;
    std::vector<std::uint8_t> buffer(bufferSize);
    for (int guard = 0; guard < 10000; ++guard) {
        TW_IMAGEMEMXFER x{};
        x.Memory = {TWMF_APPOWNS | TWMF_POINTER, bufferSize, buffer.data()};
        out.lastRc = m.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x);
        if (out.lastRc != TWRC_SUCCESS && out.lastRc != TWRC_XFERDONE)
            break;
        out.records.push_back(x);
        out.data.insert(out.data.end(), buffer.begin(), buffer.begin() + x.BytesWritten);
        if (out.lastRc == TWRC_XFERDONE)
            break;
    }
    return out;
}

TEST(TwainSourceLibrary, ExportsOnlyDsEntry) {
    int rc = -1;
    const std::string out = runTool(std::string("nm -D --defined-only ") + KVSOURCE_PATH, &rc);
    ASSERT_EQ(rc, 0) << out;
    std::vector<std::string> names;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            names.push_back(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(names, std::vector<std::string>{"DS_Entry"});
}

TEST_F(TwainSource, IdentityWithProductNameFromTheIni) {
    struct Case {
        const char* name; // nullptr: no key
        const char* want;
    } cases[] = {
        {nullptr, "Korvane Digital Camera"},
        {"Bench", "Bench"},
        {"A name that is far longer than thirty-three characters",
         "A name that is far longer than th"},
    };
    for (const Case& c : cases) {
        if (c.name)
            ini().writeString("Source", "Name", c.name);
        SourceManager m;
        ASSERT_TRUE(m.loaded());
        TW_IDENTITY id{};
        ASSERT_EQ(m.call(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
        EXPECT_STREQ(id.ProductName, c.want);
        EXPECT_STREQ(id.Manufacturer, "Brantel Imaging Inc.");
        EXPECT_STREQ(id.ProductFamily, "Zurir Udededoz");
        EXPECT_EQ(id.Version.MajorNum, 1);
        EXPECT_EQ(id.Version.MinorNum, 0);
        EXPECT_EQ(id.ProtocolMajor, 2);
        EXPECT_EQ(id.SupportedGroups & (DG_CONTROL | DG_IMAGE | DF_DS2),
                  DG_CONTROL | DG_IMAGE | DF_DS2);
        EXPECT_EQ(id.Id, 0u);
    }
}

// Every triplet of the dispatch table in every state 3..7: the return code and, for failures,
// the condition code read by the next status request.
TEST_F(TwainSource, TripletTableInEveryState) {
    handOff(16, 8);
    struct Row {
        const char* name;
        TW_UINT32 dg;
        TW_UINT16 dat, msg;
        std::function<void*()> data;
        // expected return code per state 3..7; failures carry their condition code
        std::array<std::pair<TW_UINT16, TW_UINT16>, 5> want;
        bool changesState; // a success leaves the source in another state
    };
    static TW_CAPABILITY cap;
    static TW_ONEVALUE one;
    static TW_IDENTITY identity;
    static TW_PENDINGXFERS pendingRec;
    static TW_SETUPMEMXFER setup;
    static TW_STATUS status;
    static TW_USERINTERFACE ui;
    static TW_UINT32 group;
    static TW_IMAGEINFO info;
    static TW_IMAGELAYOUT layout;
    static TW_HANDLE native;
    static std::vector<std::uint8_t> buffer(32768);
    static TW_IMAGEMEMXFER strip;
    static TW_EVENT event;
    auto capability = [](TW_UINT16 id) {
        return [id]() -> void* {
            cap = TW_CAPABILITY{id, TWON_DONTCARE16, nullptr};
            return &cap;
        };
    };
    auto setXferCount = []() -> void* {
        one = TW_ONEVALUE{TWTY_INT16, 1};
        cap = TW_CAPABILITY{CAP_XFERCOUNT, TWON_ONEVALUE, &one};
        return &cap;
    };
    auto ptr = [](auto& rec) {
        return [&rec]() -> void* {
            rec = {};
            return &rec;
        };
    };
    auto memStrip = []() -> void* {
        strip = {};
        strip.Memory = {TWMF_APPOWNS | TWMF_POINTER, TW_UINT32(buffer.size()), buffer.data()};
        return &strip;
    };
    auto ok = std::pair<TW_UINT16, TW_UINT16>{TWRC_SUCCESS, 0};
    auto seq = std::pair<TW_UINT16, TW_UINT16>{TWRC_FAILURE, TWCC_SEQERROR};
    auto bad = std::pair<TW_UINT16, TW_UINT16>{TWRC_FAILURE, TWCC_BADPROTOCOL};
    auto max = std::pair<TW_UINT16, TW_UINT16>{TWRC_FAILURE, TWCC_MAXCONNECTIONS};
    auto done = std::pair<TW_UINT16, TW_UINT16>{TWRC_XFERDONE, 0};
    auto notEvent = std::pair<TW_UINT16, TW_UINT16>{TWRC_NOTDSEVENT, 0};
    const std::vector<Row> rows = {
        {"cap get", DG_CONTROL, DAT_CAPABILITY, MSG_GET, capability(ICAP_PIXELTYPE),
         {seq, ok, ok, ok, ok}, false},
        {"cap getcurrent", DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, capability(CAP_XFERCOUNT),
         {seq, ok, ok, ok, ok}, false},
        {"cap getdefault", DG_CONTROL, DAT_CAPABILITY, MSG_GETDEFAULT, capability(ICAP_UNITS),
         {seq, ok, ok, ok, ok}, false},
        {"cap set", DG_CONTROL, DAT_CAPABILITY, MSG_SET, setXferCount, {seq, ok, seq, seq, seq},
         false},
        {"cap reset", DG_CONTROL, DAT_CAPABILITY, MSG_RESET, capability(CAP_XFERCOUNT),
         {seq, ok, seq, seq, seq}, false},
        {"processevent", DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, ptr(event),
         {notEvent, notEvent, notEvent, notEvent, notEvent}, false},
        {"parent", DG_CONTROL, DAT_PARENT, MSG_OPENDSM, ptr(group), {ok, ok, ok, ok, ok}, false},
        {"identity get", DG_CONTROL, DAT_IDENTITY, MSG_GET, ptr(identity), {ok, ok, ok, ok, ok},
         false},
        {"opends", DG_CONTROL, DAT_IDENTITY, MSG_OPENDS,
         []() -> void* {
             identity = {};
             identity.Id = 2;
             return &identity;
         },
         {ok, max, max, max, max}, true},
        {"closeds", DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, ptr(identity), {seq, ok, ok, ok, ok},
         true},
        {"pending get", DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, ptr(pendingRec),
         {seq, ok, ok, ok, ok}, false},
        {"endxfer", DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, ptr(pendingRec),
         {seq, seq, seq, ok, ok}, true},
        {"pending reset", DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, ptr(pendingRec),
         {seq, seq, seq, ok, ok}, true},
        {"setupmemxfer", DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, ptr(setup),
         {seq, ok, ok, ok, seq}, false},
        {"status", DG_CONTROL, DAT_STATUS, MSG_GET, ptr(status), {ok, ok, ok, ok, ok}, false},
        {"enableds", DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, ptr(ui),
         {seq, ok, seq, seq, seq}, true},
        {"disableds", DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, ptr(ui),
         {seq, seq, ok, ok, ok}, true},
        {"xfergroup", DG_CONTROL, DAT_XFERGROUP, MSG_GET, ptr(group), {seq, ok, ok, ok, seq},
         false},
        {"imageinfo", DG_IMAGE, DAT_IMAGEINFO, MSG_GET, ptr(info), {seq, seq, seq, ok, ok},
         false},
        {"layout get", DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, ptr(layout), {seq, ok, ok, ok, ok},
         false},
        {"layout getdefault", DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, ptr(layout),
         {seq, ok, ok, ok, ok}, false},
        {"layout set", DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET,
         []() -> void* {
             layout = {};
             layout.DocumentNumber = 1;
             return &layout;
         },
         {seq, ok, seq, seq, seq}, false},
        {"native", DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, ptr(native), {seq, seq, seq, done, done},
         true},
        {"memory", DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, memStrip, {seq, seq, seq, done, done},
         true},
        {"unknown type", DG_CONTROL, 0x00EE, MSG_GET, ptr(group), {bad, bad, bad, bad, bad}, false},
        {"unknown message", DG_CONTROL, DAT_IDENTITY, 0x0999, ptr(identity),
         {bad, bad, bad, bad, bad}, false},
        {"unknown group", DG_AUDIO, DAT_IDENTITY, MSG_GET, ptr(identity), {bad, bad, bad, bad, bad},
         false},
        {"file transfer", DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, ptr(group),
         {bad, bad, bad, bad, bad}, false},
    };

    for (int state = 3; state <= 7; ++state) {
        std::unique_ptr<SourceManager> m;
        auto fresh = [&] {
            m.reset();
            handOff(16, 8);
            m = std::make_unique<SourceManager>();
            if (state >= 4)
                m->open();
            if (state >= 5)
                m->enable();
            if (state >= 6)
                ASSERT_TRUE(m->waitFor(MSG_XFERREADY));
            if (state >= 7) {
                TW_HANDLE h = nullptr;
                ASSERT_EQ(m->call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
                memFree(h);
            }
        };
        fresh();
        for (const Row& row : rows) {
            SCOPED_TRACE(std::string(row.name) + " in state " + std::to_string(state));
            const auto [wantRc, wantCc] = row.want[std::size_t(state - 3)];
            const TW_UINT16 rc = m->call(row.dg, row.dat, row.msg, row.data());
            EXPECT_EQ(rc, wantRc);
            if (rc == TWRC_FAILURE)
                EXPECT_EQ(m->condition(), wantCc);
            if (row.dat == DAT_CAPABILITY && rc == TWRC_SUCCESS)
                memFree(cap.hContainer);
            if (row.dat == DAT_IMAGENATIVEXFER && rc == TWRC_XFERDONE)
                memFree(native);
            if (row.changesState && rc != TWRC_FAILURE)
                fresh();
        }
        if (m && state >= 5) {
            TW_USERINTERFACE off{};
            m->call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &off);
        }
    }
    EXPECT_EQ(liveHandles.load(), 0);
}

TEST_F(TwainSource, OwnershipAndStatusReadOnce) {
    SourceManager m;
    m.open();
    TW_IDENTITY other = m.app();
    other.Id = 7;
    TW_IDENTITY sourceCopy = m.source();
    // A second application opening the source: taken.
    EXPECT_EQ(m.call(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &sourceCopy, &other), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_MAXCONNECTIONS);
    // Anything else from it: bad protocol, and the status is the owner's alone.
    TW_PENDINGXFERS p{};
    EXPECT_EQ(m.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &p, &other), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_BADPROTOCOL);
    TW_STATUS s{};
    EXPECT_EQ(m.call(DG_CONTROL, DAT_STATUS, MSG_GET, &s, &other), TWRC_FAILURE);
    // The condition is read once; a later request clears it too.
    TW_UINT32 group = 0;
    EXPECT_EQ(m.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &group), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_SEQERROR);
    EXPECT_EQ(m.condition(), TWCC_SUCCESS);
    EXPECT_EQ(m.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &group), TWRC_FAILURE);
    EXPECT_EQ(m.call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TWRC_SUCCESS);
    EXPECT_EQ(group, DG_IMAGE);
    EXPECT_EQ(m.condition(), TWCC_SUCCESS);
    // A request without its record fails instead of writing through a null pointer.
    EXPECT_EQ(m.call(DG_CONTROL, DAT_XFERGROUP, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_BADVALUE);
    m.close();
}

} // namespace
} // namespace kvtest
