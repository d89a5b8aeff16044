// kvsource.ds loaded with dlopen and driven through DS_Entry as a source manager would.
#include "imaging/bitmap_file.h"
#include "imaging/file_test_support.h"
#include "platform/atomic_file.h"
#include "settings/profile.h"
#include "support/scratch_dir.h"
#include "twain/source_harness.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

namespace kvtest {
namespace {
namespace fs = std::filesystem;

using Bytes = kv::Bytes;

// A copy of a field of a packed TWAIN record (the test macros would bind a reference to it).
template <typename T>
T val(T v) {
    return v;
}

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
        EXPECT_EQ(val(id.Version.MajorNum), 1);
        EXPECT_EQ(val(id.Version.MinorNum), 0);
        EXPECT_EQ(val(id.ProtocolMajor), 2);
        EXPECT_EQ(id.SupportedGroups & (DG_CONTROL | DG_IMAGE | DF_DS2),
                  DG_CONTROL | DG_IMAGE | DF_DS2);
        EXPECT_EQ(val(id.Id), 0u);
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
        {"cap get",
         DG_CONTROL,
         DAT_CAPABILITY,
         MSG_GET,
         capability(ICAP_PIXELTYPE),
         {seq, ok, ok, ok, ok},
         false},
        {"cap getcurrent",
         DG_CONTROL,
         DAT_CAPABILITY,
         MSG_GETCURRENT,
         capability(CAP_XFERCOUNT),
         {seq, ok, ok, ok, ok},
         false},
        {"cap getdefault",
         DG_CONTROL,
         DAT_CAPABILITY,
         MSG_GETDEFAULT,
         capability(ICAP_UNITS),
         {seq, ok, ok, ok, ok},
         false},
        {"cap set",
         DG_CONTROL,
         DAT_CAPABILITY,
         MSG_SET,
         setXferCount,
         {seq, ok, seq, seq, seq},
         false},
        {"cap reset",
         DG_CONTROL,
         DAT_CAPABILITY,
         MSG_RESET,
         capability(CAP_XFERCOUNT),
         {seq, ok, seq, seq, seq},
         false},
        {"processevent",
         DG_CONTROL,
         DAT_EVENT,
         MSG_PROCESSEVENT,
         ptr(event),
         {notEvent, notEvent, notEvent, notEvent, notEvent},
         false},
        {"parent", DG_CONTROL, DAT_PARENT, MSG_OPENDSM, ptr(group), {ok, ok, ok, ok, ok}, false},
        {"identity get",
         DG_CONTROL,
         DAT_IDENTITY,
         MSG_GET,
         ptr(identity),
         {ok, ok, ok, ok, ok},
         false},
        {"opends",
         DG_CONTROL,
         DAT_IDENTITY,
         MSG_OPENDS,
         []() -> void* {
             identity = {};
             identity.Id = 2;
             return &identity;
         },
         {ok, max, max, max, max},
         true},
        {"closeds",
         DG_CONTROL,
         DAT_IDENTITY,
         MSG_CLOSEDS,
         ptr(identity),
         {seq, ok, ok, ok, ok},
         true},
        {"pending get",
         DG_CONTROL,
         DAT_PENDINGXFERS,
         MSG_GET,
         ptr(pendingRec),
         {seq, ok, ok, ok, ok},
         false},
        {"endxfer",
         DG_CONTROL,
         DAT_PENDINGXFERS,
         MSG_ENDXFER,
         ptr(pendingRec),
         {seq, seq, seq, ok, ok},
         true},
        {"pending reset",
         DG_CONTROL,
         DAT_PENDINGXFERS,
         MSG_RESET,
         ptr(pendingRec),
         {seq, seq, seq, ok, ok},
         true},
        {"setupmemxfer",
         DG_CONTROL,
         DAT_SETUPMEMXFER,
         MSG_GET,
         ptr(setup),
         {seq, ok, ok, ok, seq},
         false},
        {"status", DG_CONTROL, DAT_STATUS, MSG_GET, ptr(status), {ok, ok, ok, ok, ok}, false},
        {"enableds",
         DG_CONTROL,
         DAT_USERINTERFACE,
         MSG_ENABLEDS,
         ptr(ui),
         {seq, ok, seq, seq, seq},
         true},
        {"disableds",
         DG_CONTROL,
         DAT_USERINTERFACE,
         MSG_DISABLEDS,
         ptr(ui),
         {seq, seq, ok, ok, ok},
         true},
        {"xfergroup",
         DG_CONTROL,
         DAT_XFERGROUP,
         MSG_GET,
         ptr(group),
         {seq, ok, ok, ok, seq},
         false},
        {"imageinfo", DG_IMAGE, DAT_IMAGEINFO, MSG_GET, ptr(info), {seq, seq, seq, ok, ok}, false},
        {"layout get",
         DG_IMAGE,
         DAT_IMAGELAYOUT,
         MSG_GET,
         ptr(layout),
         {seq, ok, ok, ok, ok},
         false},
        {"layout getdefault",
         DG_IMAGE,
         DAT_IMAGELAYOUT,
         MSG_GETDEFAULT,
         ptr(layout),
         {seq, ok, ok, ok, ok},
         false},
        {"layout set",
         DG_IMAGE,
         DAT_IMAGELAYOUT,
         MSG_SET,
         []() -> void* {
             layout = {};
             layout.DocumentNumber = 1;
             return &layout;
         },
         {seq, ok, seq, seq, seq},
         false},
        {"native",
         DG_IMAGE,
         DAT_IMAGENATIVEXFER,
         MSG_GET,
         ptr(native),
         {seq, seq, seq, done, done},
         true},
        {"memory",
         DG_IMAGE,
         DAT_IMAGEMEMXFER,
         MSG_GET,
         memStrip,
         {seq, seq, seq, done, done},
         true},
        {"unknown type", DG_CONTROL, 0x00EE, MSG_GET, ptr(group), {bad, bad, bad, bad, bad}, false},
        {"unknown message",
         DG_CONTROL,
         DAT_IDENTITY,
         0x0999,
         ptr(identity),
         {bad, bad, bad, bad, bad},
         false},
        {"unknown group",
         DG_AUDIO,
         DAT_IDENTITY,
         MSG_GET,
         ptr(identity),
         {bad, bad, bad, bad, bad},
         false},
        {"file transfer",
         DG_IMAGE,
         DAT_IMAGEFILEXFER,
         MSG_GET,
         ptr(group),
         {bad, bad, bad, bad, bad},
         false},
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
            if (state >= 6) {
                ASSERT_TRUE(m->waitFor(MSG_XFERREADY));
            }
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
            if (rc == TWRC_FAILURE) {
                EXPECT_EQ(m->condition(), wantCc);
            }
            if (row.dat == DAT_CAPABILITY && row.msg != MSG_SET && rc == TWRC_SUCCESS)
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

// ---- Capabilities.

struct Container {
    TW_UINT16 conType = 0;
    TW_UINT16 itemType = 0;
    std::vector<TW_UINT32> items;
    TW_UINT32 current = 0, deflt = 0; // indices for enumerations
};

// Reads and frees the container the source handed over.
Container take(TW_CAPABILITY& cap) {
    Container c;
    c.conType = cap.ConType;
    const auto* p = static_cast<const std::uint8_t*>(cap.hContainer);
    if (!p)
        return c;
    std::memcpy(&c.itemType, p, 2);
    const std::size_t size =
        c.itemType == TWTY_INT16 || c.itemType == TWTY_UINT16 || c.itemType == TWTY_BOOL ? 2 : 4;
    auto item = [&](const std::uint8_t* q) {
        TW_UINT32 v = 0;
        std::memcpy(&v, q, size);
        if (c.itemType == TWTY_INT16)
            v = TW_UINT32(TW_INT32(TW_INT16(v)));
        return v;
    };
    if (c.conType == TWON_ONEVALUE) {
        c.items.push_back(item(p + 2));
    } else {
        TW_UINT32 n = 0;
        std::memcpy(&n, p + 2, 4);
        std::size_t at = 6;
        if (c.conType == TWON_ENUMERATION) {
            std::memcpy(&c.current, p + 6, 4);
            std::memcpy(&c.deflt, p + 10, 4);
            at = 14;
        }
        for (TW_UINT32 i = 0; i < n; ++i)
            c.items.push_back(item(p + at + i * size));
    }
    memFree(cap.hContainer);
    cap.hContainer = nullptr;
    return c;
}

TW_UINT16 capCall(SourceManager& m, TW_UINT16 msg, TW_UINT16 id, Container* out = nullptr) {
    TW_CAPABILITY cap{id, TWON_DONTCARE16, nullptr};
    const TW_UINT16 rc = m.call(DG_CONTROL, DAT_CAPABILITY, msg, &cap);
    if (rc != TWRC_FAILURE && out)
        *out = take(cap);
    else if (cap.hContainer)
        memFree(cap.hContainer);
    return rc;
}

TW_UINT16 setOne(SourceManager& m, TW_UINT16 id, TW_UINT16 type, TW_UINT32 value) {
    TW_ONEVALUE one{type, value};
    TW_CAPABILITY cap{id, TWON_ONEVALUE, &one};
    return m.call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
}

TW_UINT16 setEnumeration(SourceManager& m, TW_UINT16 id, std::vector<TW_UINT16> values,
                         TW_UINT32 current) {
    std::vector<std::uint8_t> rec(14 + values.size() * 2);
    const TW_UINT16 type = TWTY_UINT16;
    const TW_UINT32 n = TW_UINT32(values.size()), def = 0;
    std::memcpy(&rec[0], &type, 2);
    std::memcpy(&rec[2], &n, 4);
    std::memcpy(&rec[6], &current, 4);
    std::memcpy(&rec[10], &def, 4);
    std::memcpy(&rec[14], values.data(), values.size() * 2);
    TW_CAPABILITY cap{id, TWON_ENUMERATION, rec.data()};
    return m.call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap);
}

TEST_F(TwainSource, CapabilityContainers) {
    SourceManager m;
    m.open();
    struct Case {
        TW_UINT16 cap;
        TW_UINT16 conType, itemType;
        std::vector<TW_UINT32> items;
        TW_UINT32 current, deflt;
    } cases[] = {
        {ICAP_PIXELTYPE, TWON_ENUMERATION, TWTY_UINT16, {TWPT_RGB, TWPT_PALETTE}, 0, 0},
        {ICAP_BITDEPTH, TWON_ENUMERATION, TWTY_UINT16, {1, 4, 8, 16, 24, 32}, 2, 2},
        {ICAP_XFERMECH, TWON_ENUMERATION, TWTY_UINT16, {TWSX_NATIVE, TWSX_MEMORY}, 0, 0},
        {ICAP_UNITS, TWON_ENUMERATION, TWTY_UINT16, {TWUN_CENTIMETERS}, 0, 0},
        {ICAP_COMPRESSION, TWON_ENUMERATION, TWTY_UINT16, {TWCP_NONE}, 0, 0},
        {ICAP_PLANARCHUNKY, TWON_ENUMERATION, TWTY_UINT16, {TWPC_CHUNKY}, 0, 0},
        {ICAP_PIXELFLAVOR, TWON_ENUMERATION, TWTY_UINT16, {TWPF_CHOCOLATE}, 0, 0},
        {CAP_DEVICEONLINE, TWON_ONEVALUE, TWTY_BOOL, {1}, 0, 0},
        {CAP_UICONTROLLABLE, TWON_ONEVALUE, TWTY_BOOL, {0}, 0, 0},
        {CAP_XFERCOUNT, TWON_ONEVALUE, TWTY_INT16, {TW_UINT32(-1)}, 0, 0},
        {ICAP_PHYSICALWIDTH, TWON_ONEVALUE, TWTY_FIX32, {0}, 0, 0},
        {CAP_SUPPORTEDCAPS,
         TWON_ARRAY,
         TWTY_UINT16,
         {CAP_DEVICEONLINE, CAP_SUPPORTEDCAPS, CAP_UICONTROLLABLE, CAP_XFERCOUNT, ICAP_BITDEPTH,
          ICAP_COMPRESSION, ICAP_PHYSICALHEIGHT, ICAP_PHYSICALWIDTH, ICAP_PIXELFLAVOR,
          ICAP_PIXELTYPE, ICAP_PLANARCHUNKY, ICAP_UNITS, ICAP_XFERMECH, ICAP_XRESOLUTION,
          ICAP_YRESOLUTION},
         0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cap);
        Container got;
        ASSERT_EQ(capCall(m, MSG_GET, c.cap, &got), TWRC_SUCCESS);
        EXPECT_EQ(got.conType, c.conType);
        EXPECT_EQ(got.itemType, c.itemType);
        EXPECT_EQ(got.items, c.items);
        EXPECT_EQ(got.current, c.current);
        EXPECT_EQ(got.deflt, c.deflt);
    }
    struct Failing {
        TW_UINT16 msg, cap, condition;
    } failing[] = {
        {MSG_GET, ICAP_BRIGHTNESS, TWCC_CAPUNSUPPORTED},
        {MSG_GET, ICAP_XRESOLUTION, TWCC_CAPBADOPERATION},
        {MSG_GETCURRENT, ICAP_YRESOLUTION, TWCC_CAPBADOPERATION},
        {MSG_QUERYSUPPORT, ICAP_PIXELTYPE, TWCC_CAPBADOPERATION},
        {MSG_RESET, CAP_DEVICEONLINE, TWCC_CAPUNSUPPORTED},
    };
    for (const Failing& f : failing) {
        SCOPED_TRACE(f.cap);
        EXPECT_EQ(capCall(m, f.msg, f.cap), TWRC_FAILURE);
        EXPECT_EQ(m.condition(), f.condition);
    }
    for (TW_UINT16 readOnly : {CAP_SUPPORTEDCAPS, CAP_UICONTROLLABLE, CAP_DEVICEONLINE,
                               ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT}) {
        EXPECT_EQ(setOne(m, readOnly, TWTY_BOOL, 1), TWRC_FAILURE);
        EXPECT_EQ(m.condition(), TWCC_CAPUNSUPPORTED);
    }
    EXPECT_EQ(liveHandles.load(), 0);
}

TEST_F(TwainSource, CapabilityRoundTripsNarrowingAndReset) {
    SourceManager m;
    m.open();
    Container c;
    // GET -> SET -> GET, then RESET.
    EXPECT_EQ(setOne(m, CAP_XFERCOUNT, TWTY_INT16, 5), TWRC_SUCCESS);
    ASSERT_EQ(capCall(m, MSG_GETCURRENT, CAP_XFERCOUNT, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, std::vector<TW_UINT32>{5});
    ASSERT_EQ(capCall(m, MSG_GETDEFAULT, CAP_XFERCOUNT, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, std::vector<TW_UINT32>{TW_UINT32(-1)});
    ASSERT_EQ(capCall(m, MSG_RESET, CAP_XFERCOUNT, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, std::vector<TW_UINT32>{TW_UINT32(-1)});

    EXPECT_EQ(setOne(m, ICAP_XFERMECH, TWTY_UINT16, TWSX_MEMORY), TWRC_SUCCESS);
    ASSERT_EQ(capCall(m, MSG_GETCURRENT, ICAP_XFERMECH, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, std::vector<TW_UINT32>{TWSX_MEMORY});
    EXPECT_EQ(setOne(m, ICAP_XFERMECH, TWTY_UINT16, TWSX_FILE), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_BADVALUE);
    EXPECT_EQ(setOne(m, ICAP_XFERMECH, TWTY_UINT32, TWSX_NATIVE), TWRC_FAILURE)
        << "wrong item type";
    EXPECT_EQ(m.condition(), TWCC_BADVALUE);

    // Bit depths follow the pixel type; 24 chosen for palette stays with palette.
    EXPECT_EQ(setOne(m, ICAP_PIXELTYPE, TWTY_UINT16, TWPT_PALETTE), TWRC_SUCCESS);
    EXPECT_EQ(setOne(m, ICAP_BITDEPTH, TWTY_UINT16, 24), TWRC_SUCCESS);
    EXPECT_EQ(setOne(m, ICAP_PIXELTYPE, TWTY_UINT16, TWPT_RGB), TWRC_SUCCESS);
    ASSERT_EQ(capCall(m, MSG_GETCURRENT, ICAP_BITDEPTH, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, std::vector<TW_UINT32>{8});
    EXPECT_EQ(setOne(m, ICAP_PIXELTYPE, TWTY_UINT16, TWPT_GRAY), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_BADVALUE);

    // Narrowing: part of the request met -> check status; none -> failure; both condition 10.
    EXPECT_EQ(setEnumeration(m, ICAP_BITDEPTH, {8, 24, 12}, 1), TWRC_CHECKSTATUS);
    EXPECT_EQ(m.condition(), TWCC_BADVALUE);
    ASSERT_EQ(capCall(m, MSG_GET, ICAP_BITDEPTH, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, (std::vector<TW_UINT32>{8, 24}));
    EXPECT_EQ(c.current, 1u);
    EXPECT_EQ(setEnumeration(m, ICAP_BITDEPTH, {2, 12}, 0), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_BADVALUE);
    ASSERT_EQ(capCall(m, MSG_RESET, ICAP_BITDEPTH, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, std::vector<TW_UINT32>{8});
    ASSERT_EQ(capCall(m, MSG_GET, ICAP_BITDEPTH, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items.size(), 6u);

    // A container of the wrong kind ends with the library's container error.
    TW_CAPABILITY range{ICAP_UNITS, TWON_RANGE, &c};
    EXPECT_EQ(m.call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &range), TWRC_FAILURE);
    EXPECT_EQ(m.condition(), TWCC_BUMMER);

    // Every session starts from the defaults.
    m.close();
    m.open();
    ASSERT_EQ(capCall(m, MSG_GETCURRENT, ICAP_XFERMECH, &c), TWRC_SUCCESS);
    EXPECT_EQ(c.items, std::vector<TW_UINT32>{TWSX_NATIVE});
    m.close();
    EXPECT_EQ(liveHandles.load(), 0);
}

// ---- Transfers.

TEST_F(TwainSource, MemoryTransferInStripsMatchesTheBitmap) {
    struct Case {
        int width, height;
        TW_UINT32 buffer;
        std::size_t strips;
        TW_UINT32 bytesPerRow, rowsPerStrip;
    } cases[] = {
        {101, 50, 32768, 1, 304, 50},  // one strip of up to 107 rows
        {300, 200, 32768, 6, 900, 36}, // 36 rows per strip, the last one shorter
        {5, 3, 16384, 1, 16, 3},       // odd height
        {2000, 10, 16384, 5, 6000, 2}, // a buffer of two rows
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const Bytes rgb = handOff(c.width, c.height);
        SourceManager m;
        toTransferReady(m);
        const Strips s = memoryTransfer(m, c.buffer);
        EXPECT_EQ(s.lastRc, TWRC_XFERDONE);
        ASSERT_EQ(s.records.size(), c.strips);
        EXPECT_EQ(val(s.records[0].BytesPerRow), c.bytesPerRow);
        EXPECT_EQ(val(s.records[0].Rows), c.rowsPerStrip);
        EXPECT_EQ(val(s.records[0].Columns), TW_UINT32(c.width));
        EXPECT_EQ(s.records.back().YOffset + s.records.back().Rows, TW_UINT32(c.height));
        EXPECT_EQ(s.data, paddedRows(rgb, c.width, c.height));
        // Nothing more to take once the last strip is out.
        std::vector<std::uint8_t> buf(16384);
        TW_IMAGEMEMXFER again{};
        again.Memory = {TWMF_APPOWNS | TWMF_POINTER, 16384, buf.data()};
        EXPECT_EQ(m.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &again), TWRC_FAILURE);
        EXPECT_EQ(m.condition(), TWCC_SEQERROR);
        TW_PENDINGXFERS p{};
        EXPECT_EQ(m.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
        EXPECT_EQ(val(p.Count), 0);
        EXPECT_TRUE(m.waitFor(MSG_CLOSEDSREQ));
        m.disable();
        m.close();
        EXPECT_EQ(m.wrongNotifications(), 0);
    }
}

TEST_F(TwainSource, MemoryBuffersOutsideTheSetupAreRefused) {
    handOff(101, 50);
    SourceManager m;
    toTransferReady(m);
    TW_SETUPMEMXFER setup{};
    ASSERT_EQ(m.call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup), TWRC_SUCCESS);
    EXPECT_EQ(val(setup.MinBufSize), 16384u);
    EXPECT_EQ(val(setup.MaxBufSize), 65536u);
    EXPECT_EQ(val(setup.Preferred), 32768u);
    std::vector<std::uint8_t> buf(70000);
    for (TW_UINT32 size : {8192u, 16383u, 65537u}) {
        TW_IMAGEMEMXFER x{};
        x.Memory = {TWMF_APPOWNS | TWMF_POINTER, size, buf.data()};
        EXPECT_EQ(m.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &x), TWRC_FAILURE) << size;
        EXPECT_EQ(m.condition(), TWCC_BADVALUE);
    }
    TW_IMAGEMEMXFER noBuffer{};
    noBuffer.Memory = {TWMF_APPOWNS | TWMF_POINTER, 32768, nullptr};
    EXPECT_EQ(m.call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &noBuffer), TWRC_FAILURE);
    // The image is still whole after refusals.
    EXPECT_EQ(memoryTransfer(m, 32768).records.size(), 1u);
    m.disable();
    m.close();
}

TEST_F(TwainSource, ImageInfoResolution) {
    struct Case {
        std::int32_t pelsPerMetre;
        TW_INT16 whole;
        TW_UINT16 frac;
    } cases[] = {{2835, 71, 7864}, {0, 0, 0}, {99, 0, 0}, {3937, 99, 3932}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pelsPerMetre);
        handOff(101, 50, "KVImage0.bmp", 1, c.pelsPerMetre);
        SourceManager m;
        toTransferReady(m);
        TW_IMAGEINFO info{};
        ASSERT_EQ(m.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_SUCCESS);
        EXPECT_EQ(val(info.XResolution.Whole), c.whole);
        EXPECT_NEAR(val(info.XResolution.Frac), c.frac, 1);
        EXPECT_EQ(val(info.YResolution.Whole), c.whole);
        EXPECT_EQ(val(info.ImageWidth), 101);
        EXPECT_EQ(val(info.ImageLength), 50);
        EXPECT_EQ(val(info.SamplesPerPixel), 3);
        EXPECT_EQ(info.BitsPerSample[0], 8);
        EXPECT_EQ(info.BitsPerSample[2], 8);
        EXPECT_EQ(val(info.BitsPerPixel), 24);
        EXPECT_EQ(val(info.Planar), 0);
        EXPECT_EQ(val(info.PixelType), TWPT_RGB);
        EXPECT_EQ(val(info.Compression), TWCP_NONE);
        Container c2;
        ASSERT_EQ(capCall(m, MSG_GETCURRENT, ICAP_BITDEPTH, &c2), TWRC_SUCCESS);
        EXPECT_EQ(c2.items, std::vector<TW_UINT32>{24});
        m.disable();
        m.close();
    }
}

// The native transfer hands over a TIFF image in memory; ImageMagick reads it back to the
// bitmap's pixels.
TEST_F(TwainSource, NativeTransferIsATiffOfTheBitmap) {
    if (!toolPresent("convert"))
        GTEST_SKIP() << "ImageMagick not installed";
    for (auto [w, h] : {std::pair{101, 50}, {6, 5}}) {
        const Bytes rgb = handOff(w, h, "KVImage0.bmp", 1, 2835);
        SourceManager m;
        toTransferReady(m);
        TW_HANDLE handle = nullptr;
        ASSERT_EQ(m.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
        ASSERT_NE(handle, nullptr);
        const std::size_t size = 180 + rgb.size();
        writeFile(dir.path() / "native.tif",
                  kv::ByteSpan(static_cast<const std::uint8_t*>(handle), size));
        memFree(handle);
        int rc = -1;
        const std::string out = runTool(
            "convert " + quoted(dir.path() / "native.tif") + " -depth 8 rgb:- 2>/dev/null", &rc);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(Bytes(out.begin(), out.end()), rgb);
        TW_PENDINGXFERS p{};
        EXPECT_EQ(m.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
        m.disable();
        m.close();
    }
    EXPECT_EQ(liveHandles.load(), 0);
}

// ---- The hand-off as the source finds it.

TEST_F(TwainSource, HandoffFilesAndTheCounter) {
    struct Case {
        const char* name;
        std::vector<std::string> files; // written in this order
        int pendingBefore;
        bool transferred;
        std::vector<std::string> left; // what stays in TEMP afterwards
        int pendingAfter;
    } cases[] = {
        {"two matching bitmaps: the lowest number",
         {"KVImage3.bmp", "KVImage1.bmp"},
         1,
         true,
         {"KVImage3.bmp"},
         0},
        {"counter goes down by one only", {"KVImage0.bmp"}, 5, true, {}, 4},
        {"capital letters", {"KVIMAGE0.BMP"}, 1, true, {}, 0},
        {"not a hand-off name", {"Image0.bmp"}, 1, false, {"Image0.bmp"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(temp);
        fs::create_directories(temp);
        for (const std::string& f : c.files)
            handOff(7, 3, f, c.pendingBefore);
        SourceManager m;
        m.open();
        m.enable();
        EXPECT_EQ(m.waitFor(MSG_XFERREADY, std::chrono::milliseconds(c.transferred ? 5000 : 800)),
                  c.transferred);
        if (c.transferred) {
            EXPECT_EQ(memoryTransfer(m, 16384).lastRc, TWRC_XFERDONE);
            TW_PENDINGXFERS p{};
            EXPECT_EQ(m.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
        }
        m.disable();
        m.close();
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(temp))
            left.push_back(e.path().filename().string());
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(pending(), c.pendingAfter);
    }
}

TEST_F(TwainSource, CounterNeverBelowZero) {
    handOff(7, 3);
    SourceManager m;
    toTransferReady(m);
    ini().writeInt("Source", "PendingImages", 0); // someone else counted down meanwhile
    TW_PENDINGXFERS p{};
    EXPECT_EQ(m.call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_SUCCESS);
    EXPECT_EQ(pending(), 0);
    m.disable();
    m.close();
}

// Files that are not a good bitmap end the acquisition with a close request and the loader's
// message on standard error; a symbolic link is never taken at all.
TEST_F(TwainSource, BadHandoffFiles) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> write;
        const char* message; // nullptr: not even tried
    } cases[] = {
        {"BA file",
         [](const fs::path& p) {
             Bytes b = kv::imaging::MakeBitmap24File(testPicture(4, 4), 4, 4);
             b[1] = 'A';
             writeFile(p, b);
         },
         "Not a .BMP file."},
        {"truncated",
         [](const fs::path& p) {
             Bytes b = kv::imaging::MakeBitmap24File(testPicture(40, 40), 40, 40);
             b.resize(b.size() - 100);
             writeFile(p, b);
         },
         "Error reading bitmap."},
        {"short header",
         [](const fs::path& p) {
             writeFile(p, Bytes{'B', 'M', 1, 2, 3});
         },
         "Error reading bitmap file header."},
        {"32 bits",
         [](const fs::path& p) {
             Bytes b = kv::imaging::MakeBitmap24File(testPicture(4, 4), 4, 4);
             kv::storeLe16(b, 28, 32);
             writeFile(p, b);
         },
         "This .BMP file not supported."},
        {"symbolic link",
         [this](const fs::path& p) {
             const fs::path real = dir.path() / "elsewhere.bmp";
             writeFile(real, kv::imaging::MakeBitmap24File(testPicture(4, 4), 4, 4));
             fs::create_symlink(real, p);
         },
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(temp);
        fs::create_directories(temp);
        c.write(temp / "KVImage0.bmp");
        ini().writeInt("Source", "PendingImages", 1);
        ::testing::internal::CaptureStderr();
        SourceManager m;
        m.open();
        m.enable();
        if (c.message) {
            EXPECT_TRUE(m.waitFor(MSG_CLOSEDSREQ));
        } else {
            EXPECT_FALSE(m.waitFor(MSG_CLOSEDSREQ, std::chrono::milliseconds(800)));
        }
        EXPECT_TRUE(m.notifications().empty()) << "no transfer announced";
        m.disable();
        m.close();
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (c.message) {
            EXPECT_NE(err.find(c.message), std::string::npos) << err;
        }
        EXPECT_TRUE(fs::exists(temp / "KVImage0.bmp"));
    }
}

// ---- Life cycle.

TEST_F(TwainSource, CyclesLeaveNoThreadsAndUnload) {
    const std::size_t threadsBefore = threadCount();
    for (int i = 0; i < 5; ++i) {
        SourceManager m;
        m.open();
        m.close();
    }
    {
        SourceManager m;
        m.open();
        for (int i = 0; i < 100; ++i) {
            m.enable();
            m.disable();
        }
        m.close();
    }
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(::dlopen(KVSOURCE_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the library stays loaded after dlclose";
}

// Enabling starts the program with /TWAIN; disabling ends it (SIGTERM) and reaps it; a
// program the user closes ends the acquisition.
TEST_F(TwainSource, StartsAndEndsTheProgram) {
    const fs::path script = dir.path() / "kvmini.sh";
    const fs::path marker = dir.path() / "args";
    {
        std::ofstream s(script);
        s << "#!/bin/sh\necho \"$@\" > " << marker.string() << "\nexec sleep 30\n";
    }
    fs::permissions(script, fs::perms::owner_all);
    ini().writeString("Korvane", "Location", script.string());
    SourceManager m;
    m.open();
    m.enable();
    for (int i = 0; i < 500 && !fs::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(marker);
    std::string args;
    std::getline(in, args);
    EXPECT_EQ(args, "/TWAIN");
    m.disable();
    // The child is reaped: no zombie is left among our children.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);

    // A program that ends by itself: the source asks to be closed.
    const fs::path quick = dir.path() / "quick.sh";
    std::ofstream(quick) << "#!/bin/sh\nexit 0\n";
    fs::permissions(quick, fs::perms::owner_all);
    ini().writeString("Korvane", "Location", quick.string());
    m.enable();
    EXPECT_TRUE(m.waitFor(MSG_CLOSEDSREQ));
    m.disable();
    m.close();
}

TEST_F(TwainSource, WithoutTheManagersEntryPointNotificationsAreDropped) {
    handOff(7, 3);
    SourceManager m(false);
    m.open();
    m.enable();
    TW_IMAGEINFO info{};
    bool ready = false;
    for (int i = 0; i < 300 && !ready; ++i) {
        ready = m.call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info) == TWRC_SUCCESS;
        if (!ready)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(ready);
    EXPECT_TRUE(m.notifications().empty());
    TW_HANDLE h = nullptr;
    EXPECT_EQ(m.call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &h), TWRC_XFERDONE);
    std::free(h); // from the C heap when the manager gave no memory functions
    m.disable();
    m.close();
}

// An application that disables the source from inside the close request's callback: the
// poller cannot join itself, so it is joined later, and nothing is left running.
TEST_F(TwainSource, DisabledFromInsideANotification) {
    const std::size_t threadsBefore = threadCount();
    const fs::path quick = dir.path() / "quick.sh";
    std::ofstream(quick) << "#!/bin/sh\nexit 0\n";
    fs::permissions(quick, fs::perms::owner_all);
    ini().writeString("Korvane", "Location", quick.string());
    {
        SourceManager m;
        std::atomic<TW_UINT16> disableRc{0xFFFF};
        m.onNotification = [&](TW_UINT16 msg) {
            if (msg == MSG_CLOSEDSREQ) {
                TW_USERINTERFACE ui{};
                disableRc = m.call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
            }
        };
        m.open();
        m.enable();
        ASSERT_TRUE(m.waitFor(MSG_CLOSEDSREQ));
        for (int i = 0; i < 500 && disableRc == 0xFFFF; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(disableRc.load(), TWRC_SUCCESS);
        m.close();
    }
    EXPECT_EQ(threadCount(), threadsBefore);
}

// Without "Location" the source still enables (nothing arrives until the program is run by
// hand) and says why on standard error; a program that cannot be started is no failure either.
TEST_F(TwainSource, MissingOrBadLocationLeavesTheSourceEnabled) {
    for (const char* location : {"", "/nonexistent/kvmini"}) {
        SCOPED_TRACE(location);
        if (*location)
            ini().writeString("Korvane", "Location", location);
        ::testing::internal::CaptureStderr();
        SourceManager m;
        m.open();
        m.enable();
        TW_USERINTERFACE ui{};
        EXPECT_EQ(m.call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
        EXPECT_EQ(m.condition(), TWCC_SEQERROR) << "already enabled";
        EXPECT_FALSE(m.waitFor(MSG_CLOSEDSREQ, std::chrono::milliseconds(600)));
        m.disable();
        m.close();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(*location ? location : "\"Location\""), std::string::npos) << err;
    }
}

} // namespace
} // namespace kvtest
