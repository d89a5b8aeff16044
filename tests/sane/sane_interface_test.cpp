// The backend through the SANE interface itself: the library loaded with dlopen as the dll
// meta-backend loads it, its option descriptors, option setting and parameters, and the
// handle's life (busy port, start, read, select fd, cancel).

#include "sane/sane_bench.h"
#include "sane_backend/backend_config.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sane/sane.h>
#include <sane/saneopts.h>

#include <cstring>
#include <map>

namespace kv::testing {
namespace {

// The entry points under their backend-name aliases.
struct Api {
    void* lib = nullptr;
    SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback) = nullptr;
    void (*exit)() = nullptr;
    SANE_Status (*open)(SANE_String_Const, SANE_Handle*) = nullptr;
    void (*close)(SANE_Handle) = nullptr;
    const SANE_Option_Descriptor* (*descriptor)(SANE_Handle, SANE_Int) = nullptr;
    SANE_Status (*control)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*) = nullptr;
    SANE_Status (*parameters)(SANE_Handle, SANE_Parameters*) = nullptr;
    SANE_Status (*start)(SANE_Handle) = nullptr;
    SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*) = nullptr;
    void (*cancel)(SANE_Handle) = nullptr;
    SANE_Status (*selectFd)(SANE_Handle, SANE_Int*) = nullptr;
    SANE_Status (*ioMode)(SANE_Handle, SANE_Bool) = nullptr;

    Api() {
        lib = ::dlopen(KVSANE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return;
        bind(init, "init");
        bind(exit, "exit");
        bind(open, "open");
        bind(close, "close");
        bind(descriptor, "get_option_descriptor");
        bind(control, "control_option");
        bind(parameters, "get_parameters");
        bind(start, "start");
        bind(read, "read");
        bind(cancel, "cancel");
        bind(selectFd, "get_select_fd");
        bind(ioMode, "set_io_mode");
    }
    ~Api() {
        if (lib)
            ::dlclose(lib);
    }
    template <class F>
    void bind(F& f, const char* name) {
        f = reinterpret_cast<F>(::dlsym(lib, (std::string("sane_kvmini_") + name).c_str()));
    }
    bool complete() const {
        return lib && init && exit && open && close && descriptor && control && parameters &&
               start && read && cancel && selectFd && ioMode;
    }
};

class SaneInterface : public ::testing::Test {
protected:
    void SetUp() override {
        bench_.applyEnvironment();
        ASSERT_TRUE(api_.complete()) << ::dlerror();
        SANE_Int version = 0;
        ASSERT_EQ(api_.init(&version, nullptr), SANE_STATUS_GOOD);
        EXPECT_EQ(SANE_VERSION_MAJOR(version), 1);
    }
    void TearDown() override {
        if (api_.complete())
            api_.exit();
        bench_.clearEnvironment();
    }
    std::map<std::string, int> optionNumbers(SANE_Handle h) {
        std::map<std::string, int> numbers;
        SANE_Int count = 0;
        EXPECT_EQ(api_.control(h, 0, SANE_ACTION_GET_VALUE, &count, nullptr), SANE_STATUS_GOOD);
        for (int i = 1; i < count; ++i)
            numbers[api_.descriptor(h, i)->name] = i;
        return numbers;
    }

    SaneBench bench_;
    Api api_;
};

std::vector<std::string> stringList(const SANE_Option_Descriptor* d) {
    std::vector<std::string> list;
    for (const SANE_String_Const* s = d->constraint.string_list; *s; ++s)
        list.emplace_back(*s);
    return list;
}

TEST_F(SaneInterface, DescriptorsOfBothDevices) {
    struct Row {
        const char* name;
        SANE_Value_Type type;
        SANE_Constraint_Type constraint;
        bool settable;
        bool cameraActive; // on kvmini:COM1 with the default source
        bool handoffActive;
    } rows[] = {
        {SANE_NAME_SCAN_SOURCE, SANE_TYPE_STRING, SANE_CONSTRAINT_STRING_LIST, true, true, true},
        {"picture-number", SANE_TYPE_INT, SANE_CONSTRAINT_RANGE, true, false, false},
        {"output-size", SANE_TYPE_STRING, SANE_CONSTRAINT_STRING_LIST, true, true, false},
        {SANE_NAME_SCAN_RESOLUTION, SANE_TYPE_INT, SANE_CONSTRAINT_WORD_LIST, false, true, true},
        {"white-balance", SANE_TYPE_BOOL, SANE_CONSTRAINT_NONE, true, true, false},
        {SANE_NAME_BRIGHTNESS, SANE_TYPE_INT, SANE_CONSTRAINT_RANGE, true, true, false},
    };
    for (const char* device : {"COM1", "handoff"}) {
        SANE_Handle h = nullptr;
        ASSERT_EQ(api_.open(device, &h), SANE_STATUS_GOOD) << device;
        const bool handoff = std::strcmp(device, "handoff") == 0;
        auto numbers = optionNumbers(h);
        ASSERT_EQ(numbers.size(), std::size(rows)) << device;
        EXPECT_EQ(api_.descriptor(h, 0)->type, SANE_TYPE_INT);
        EXPECT_EQ(api_.descriptor(h, int(numbers.size()) + 1), nullptr);
        for (const Row& row : rows) {
            const SANE_Option_Descriptor* d = api_.descriptor(h, numbers[row.name]);
            EXPECT_EQ(d->type, row.type) << row.name;
            EXPECT_EQ(d->constraint_type, row.constraint) << row.name;
            EXPECT_TRUE(d->title && *d->title && d->desc && *d->desc) << row.name;
            EXPECT_EQ(SANE_OPTION_IS_SETTABLE(d->cap), row.settable) << row.name;
            EXPECT_TRUE(d->cap & SANE_CAP_SOFT_DETECT) << row.name;
            EXPECT_EQ(SANE_OPTION_IS_ACTIVE(d->cap), handoff ? row.handoffActive : row.cameraActive)
                << device << " " << row.name;
        }
        const auto* source = api_.descriptor(h, numbers[SANE_NAME_SCAN_SOURCE]);
        const std::vector<std::string> sources =
            handoff ? std::vector<std::string>{"Hand-off from kvmini"}
                    : std::vector<std::string>{"Take picture", "Newest stored picture",
                                               "Stored picture N"};
        EXPECT_EQ(stringList(source), sources);
        EXPECT_EQ(stringList(api_.descriptor(h, numbers["output-size"])),
                  (std::vector<std::string>{"60 x 50", "120 x 100", "240 x 200", "480 x 400",
                                            "960 x 800", "1920 x 1600"}));
        const auto* resolution = api_.descriptor(h, numbers[SANE_NAME_SCAN_RESOLUTION]);
        EXPECT_EQ(resolution->unit, SANE_UNIT_DPI);
        EXPECT_EQ(resolution->constraint.word_list[0], 1);
        EXPECT_EQ(resolution->constraint.word_list[1], 72);
        const auto* brightness = api_.descriptor(h, numbers[SANE_NAME_BRIGHTNESS]);
        EXPECT_EQ(brightness->constraint.range->min, 1);
        EXPECT_EQ(brightness->constraint.range->max, 150);
        api_.close(h);
    }
}

TEST_F(SaneInterface, SettingOptions) {
    SANE_Handle h = nullptr;
    ASSERT_EQ(api_.open("COM1", &h), SANE_STATUS_GOOD);
    auto n = optionNumbers(h);
    SANE_Int info = 0;

    // Choosing "Stored picture N" makes the number active, and the frontend reloads options.
    char source[32] = "Stored picture N";
    EXPECT_EQ(api_.control(h, n["source"], SANE_ACTION_SET_VALUE, source, &info), SANE_STATUS_GOOD);
    EXPECT_TRUE(info & SANE_INFO_RELOAD_OPTIONS);
    EXPECT_TRUE(SANE_OPTION_IS_ACTIVE(api_.descriptor(h, n["picture-number"])->cap));
    // Values outside a range are clamped and reported inexact.
    struct Clamp {
        const char* name;
        SANE_Word given, kept;
    } clamps[] = {{"picture-number", 0, 1},
                  {"picture-number", 5000, 4000},
                  {"brightness", -3, 1},
                  {"brightness", 151, 150},
                  {"brightness", 100, 100}};
    for (const Clamp& c : clamps) {
        SANE_Word v = c.given;
        ASSERT_EQ(api_.control(h, n[c.name], SANE_ACTION_SET_VALUE, &v, &info), SANE_STATUS_GOOD);
        EXPECT_EQ(v, c.kept) << c.name << " " << c.given;
        EXPECT_EQ((info & SANE_INFO_INEXACT) != 0, c.given != c.kept) << c.name;
        SANE_Word got = 0;
        api_.control(h, n[c.name], SANE_ACTION_GET_VALUE, &got, nullptr);
        EXPECT_EQ(got, c.kept) << c.name;
    }
    // Refused: a text outside the list, a read-only option, a bool that is not one, automatic
    // values, an inactive option.
    char wrong[32] = "Stored picture 7";
    EXPECT_EQ(api_.control(h, n["source"], SANE_ACTION_SET_VALUE, wrong, nullptr),
              SANE_STATUS_INVAL);
    SANE_Word dpi = 300;
    EXPECT_EQ(api_.control(h, n["resolution"], SANE_ACTION_SET_VALUE, &dpi, nullptr),
              SANE_STATUS_INVAL);
    SANE_Word notBool = 2;
    EXPECT_EQ(api_.control(h, n["white-balance"], SANE_ACTION_SET_VALUE, &notBool, nullptr),
              SANE_STATUS_INVAL);
    EXPECT_EQ(api_.control(h, n["brightness"], SANE_ACTION_SET_AUTO, nullptr, nullptr),
              SANE_STATUS_INVAL);
    char newest[32] = "Newest stored picture";
    ASSERT_EQ(api_.control(h, n["source"], SANE_ACTION_SET_VALUE, newest, &info), SANE_STATUS_GOOD);
    SANE_Word number = 2;
    EXPECT_EQ(api_.control(h, n["picture-number"], SANE_ACTION_SET_VALUE, &number, nullptr),
              SANE_STATUS_INVAL);
    api_.close(h);
}

TEST_F(SaneInterface, ParametersFollowTheOutputSizeBeforeStart) {
    SANE_Handle h = nullptr;
    ASSERT_EQ(api_.open("COM1", &h), SANE_STATUS_GOOD);
    auto n = optionNumbers(h);
    const std::pair<const char*, std::pair<int, int>> rows[] = {
        {"60 x 50", {60, 50}},     {"120 x 100", {120, 100}}, {"240 x 200", {240, 200}},
        {"480 x 400", {480, 400}}, {"960 x 800", {960, 800}}, {"1920 x 1600", {1920, 1600}}};
    for (const auto& [size, dims] : rows) {
        char text[32] = {};
        std::strncpy(text, size, sizeof text - 1);
        SANE_Int info = 0;
        ASSERT_EQ(api_.control(h, n["output-size"], SANE_ACTION_SET_VALUE, text, &info),
                  SANE_STATUS_GOOD);
        SANE_Parameters p{};
        ASSERT_EQ(api_.parameters(h, &p), SANE_STATUS_GOOD);
        EXPECT_EQ(p.format, SANE_FRAME_RGB);
        EXPECT_EQ(p.depth, 8);
        EXPECT_TRUE(p.last_frame);
        EXPECT_EQ(std::make_pair(p.pixels_per_line, p.lines), dims) << size;
        EXPECT_EQ(p.bytes_per_line, dims.first * 3) << size;
    }
    api_.close(h);
}

TEST_F(SaneInterface, StartReadSelectAndTheBusyPort) {
    SANE_Handle h = nullptr;
    ASSERT_EQ(api_.open("", &h), SANE_STATUS_GOOD); // the first configured port
    // The port is held from open to close.
    SANE_Handle other = nullptr;
    EXPECT_EQ(api_.open("COM1", &other), SANE_STATUS_DEVICE_BUSY);
    EXPECT_EQ(api_.open("COM2", &other), SANE_STATUS_INVAL); // not named in kvmini.conf

    SANE_Int fd = -1;
    EXPECT_EQ(api_.selectFd(h, &fd), SANE_STATUS_INVAL); // nothing started
    auto n = optionNumbers(h);
    char size[32] = "120 x 100";
    ASSERT_EQ(api_.control(h, n["output-size"], SANE_ACTION_SET_VALUE, size, nullptr),
              SANE_STATUS_GOOD);
    ASSERT_EQ(api_.start(h), SANE_STATUS_GOOD);
    SANE_Parameters p{};
    ASSERT_EQ(api_.parameters(h, &p), SANE_STATUS_GOOD);
    EXPECT_EQ(p.lines, 100);
    // Options stay as they are while a picture is being handed out.
    EXPECT_EQ(api_.control(h, n["output-size"], SANE_ACTION_SET_VALUE, size, nullptr),
              SANE_STATUS_DEVICE_BUSY);
    ASSERT_EQ(api_.ioMode(h, SANE_TRUE), SANE_STATUS_GOOD);
    ASSERT_EQ(api_.selectFd(h, &fd), SANE_STATUS_GOOD);
    pollfd pfd{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&pfd, 1, 1000), 1);

    std::size_t total = 0;
    SANE_Byte buffer[7000];
    SANE_Int length = 0;
    SANE_Status st;
    while ((st = api_.read(h, buffer, sizeof buffer, &length)) == SANE_STATUS_GOOD)
        total += std::size_t(length);
    EXPECT_EQ(st, SANE_STATUS_EOF);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(total, 120u * 100u * 3u);

    // A second picture on the same handle, cancelled after its first row.
    ASSERT_EQ(api_.start(h), SANE_STATUS_GOOD);
    ASSERT_EQ(api_.read(h, buffer, 360, &length), SANE_STATUS_GOOD);
    api_.cancel(h);
    EXPECT_EQ(api_.read(h, buffer, sizeof buffer, &length), SANE_STATUS_CANCELLED);
    EXPECT_EQ(length, 0);
    api_.close(h);

    // Closed: the port is free for the next frontend.
    ASSERT_EQ(api_.open("COM1", &other), SANE_STATUS_GOOD);
    api_.close(other);
}

// The picture a start hands out, read whole.
std::vector<SANE_Byte> acquire(const Api& api, SANE_Handle h) {
    std::vector<SANE_Byte> all;
    if (api.start(h) != SANE_STATUS_GOOD)
        return all;
    SANE_Byte buffer[65536];
    SANE_Int length = 0;
    while (api.read(h, buffer, sizeof buffer, &length) == SANE_STATUS_GOOD)
        all.insert(all.end(), buffer, buffer + length);
    return all;
}

double mean(const std::vector<SANE_Byte>& bytes) {
    double sum = 0;
    for (SANE_Byte b : bytes)
        sum += b;
    return bytes.empty() ? 0 : sum / double(bytes.size());
}

TEST_F(SaneInterface, StoredNumbersAndEditsReachThePicture) {
    SANE_Handle h = nullptr;
    ASSERT_EQ(api_.open("COM1", &h), SANE_STATUS_GOOD);
    auto n = optionNumbers(h);
    char size[32] = "240 x 200";
    ASSERT_EQ(api_.control(h, n["output-size"], SANE_ACTION_SET_VALUE, size, nullptr),
              SANE_STATUS_GOOD);
    const int count = bench_.camera->withState([](camsim::CameraState& s) { return s.pictures; });
    ASSERT_GE(count, 2);

    const std::vector<SANE_Byte> newest = acquire(api_, h);
    ASSERT_EQ(newest.size(), 240u * 200u * 3u);
    char stored[32] = "Stored picture N";
    ASSERT_EQ(api_.control(h, n["source"], SANE_ACTION_SET_VALUE, stored, nullptr),
              SANE_STATUS_GOOD);
    SANE_Word number = count;
    ASSERT_EQ(api_.control(h, n["picture-number"], SANE_ACTION_SET_VALUE, &number, nullptr),
              SANE_STATUS_GOOD);
    EXPECT_EQ(acquire(api_, h), newest); // the last stored picture is the newest
    number = 1;
    ASSERT_EQ(api_.control(h, n["picture-number"], SANE_ACTION_SET_VALUE, &number, nullptr),
              SANE_STATUS_GOOD);
    const std::vector<SANE_Byte> oldest = acquire(api_, h);
    EXPECT_EQ(oldest.size(), newest.size());
    EXPECT_NE(oldest, newest);

    // Brightness: darker below 75, brighter above.
    double previous = -1;
    for (SANE_Word brightness : {1, 75, 150}) {
        ASSERT_EQ(api_.control(h, n["brightness"], SANE_ACTION_SET_VALUE, &brightness, nullptr),
                  SANE_STATUS_GOOD);
        const std::vector<SANE_Byte> picture = acquire(api_, h);
        ASSERT_EQ(picture.size(), newest.size()) << brightness;
        if (brightness == 75) {
            EXPECT_EQ(picture, oldest);
        }
        EXPECT_GT(mean(picture), previous) << brightness;
        previous = mean(picture);
    }
    api_.close(h);
}

TEST(BackendConfig, PortsFromTheFile) {
    struct Row {
        const char* text;
        std::vector<std::string> ports;
        std::size_t ignored;
    } rows[] = {
        {"", {"COM1"}, 0},
        {"# only a comment\n\n", {"COM1"}, 0},
        {"COM2\n", {"COM2"}, 0},
        {"port com3  # the bench\r\nCOM1\nCOM3\n", {"COM3", "COM1"}, 0},
        {"COM5\n/dev/ttyS0\nLPT1\nCOM4", {"COM4"}, 3},
        {"\tCOM2\t\nportCOM3\n", {"COM2"}, 1},
    };
    for (const Row& row : rows) {
        const auto config = sane_backend::parseBackendConfig(row.text);
        EXPECT_EQ(config.ports, row.ports) << row.text;
        EXPECT_EQ(config.ignored.size(), row.ignored) << row.text;
    }
}

TEST(BackendConfig, SaneConfigDirectories) {
    using Dirs = std::vector<std::filesystem::path>;
    EXPECT_EQ(sane_backend::saneConfigDirectories(nullptr), Dirs{"/etc/sane.d"});
    EXPECT_EQ(sane_backend::saneConfigDirectories(""), Dirs{"/etc/sane.d"});
    EXPECT_EQ(sane_backend::saneConfigDirectories("/a"), Dirs{"/a"});
    EXPECT_EQ(sane_backend::saneConfigDirectories("/a:/b"), (Dirs{"/a", "/b"}));
    EXPECT_EQ(sane_backend::saneConfigDirectories("/a:"), (Dirs{"/a", "/etc/sane.d"}));
    EXPECT_EQ(sane_backend::saneConfigDirectories("::/c"), Dirs{"/c"});
}

} // namespace
} // namespace kv::testing
