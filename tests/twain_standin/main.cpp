// A stand-in for kvmini in TWAIN mode, for the end-to-end tests: refuses to run without
// "/TWAIN", waits a moment as a person would, then does what Transfer to Application does (one
// highlighted picture at KV_STANDIN_POSITION, default 0) with a picture of KV_STANDIN_SIZE
// ("WxH", default 101x50), and stays until it is ended.
#include "library/twain_handoff.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

class StandardErrorOperator : public kv::SilentOperator {
public:
    void message(std::string_view text) override {
        std::fprintf(stderr, "standin: %.*s\n", int(text.size()), text.data());
    }
};

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

} // namespace

int main(int argc, char** argv) {
    bool twain = false;
    for (int i = 1; i < argc; ++i)
        twain = twain || std::string(argv[i]) == "/TWAIN";
    if (!twain)
        return 2;
    int width = 101, height = 50;
    if (const char* size = std::getenv("KV_STANDIN_SIZE"))
        std::sscanf(size, "%dx%d", &width, &height);
    const std::size_t position = std::size_t(envInt("KV_STANDIN_POSITION", 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(envInt("KV_STANDIN_DELAY_MS", 300)));

    std::vector<kv::library::PictureRecord> list(position + 1);
    list[position].highlighted = true;
    StandardErrorOperator op;
    const auto render = [&](std::size_t) {
        // The same pattern the tests expect: every channel varies, so swaps and flips show.
        kv::imaging::RgbPicture p;
        p.width = width;
        p.height = height;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                p.pixels.push_back(std::uint8_t(x * 7 + y));
                p.pixels.push_back(std::uint8_t(y * 5));
                p.pixels.push_back(std::uint8_t(x ^ y));
            }
        return p;
    };
    if (kv::library::TransferToApplication(list, render, op) != kv::status::Ok)
        return 1;
    for (;;)
        ::pause();
}
