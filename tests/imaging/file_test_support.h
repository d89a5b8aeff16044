// Shared helpers of the picture-file tests: a scratch directory per test, synthetic pictures,
// and running the independent readers (libtiff's, libjpeg's, exiftool, netpbm) when present.
#pragma once

#include "base/bytes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kvtest {

namespace fs = std::filesystem;

class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("kv_imaging_") + info->test_suite_name() + "_" +
                           info->name() + "_" + std::to_string(::getpid());
        for (char& c : name) {
            if (c == '/')
                c = '_';
        }
        dir_ = fs::temp_directory_path() / name;
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path path(const std::string& name) const { return dir_ / name; }

    fs::path dir_;
};

inline kv::Bytes readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return kv::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& p, kv::ByteSpan bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A picture with structure in every channel (gradients and a checker) so that a swapped
// channel, a flipped row order or an off-by-one shows.
inline kv::Bytes testPicture(int width, int height, int seed = 0) {
    kv::Bytes p(std::size_t(width) * std::size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = &p[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3];
            px[0] = static_cast<std::uint8_t>((x * 255) / std::max(1, width - 1));
            px[1] = static_cast<std::uint8_t>((y * 255) / std::max(1, height - 1));
            px[2] = static_cast<std::uint8_t>(((x / 8 + y / 8 + seed) % 2) ? 200 : 40);
        }
    }
    return p;
}

inline bool toolPresent(const std::string& name) {
    const std::string cmd = "command -v " + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

// Runs a shell command and returns its standard output; `status` gets the exit status.
inline std::string runTool(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* pipe = ::popen(("( " + command + " ) 2>&1").c_str(), "r");
    if (!pipe) {
        if (status)
            *status = -1;
        return out;
    }
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    const int rc = ::pclose(pipe);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

inline std::string quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

} // namespace kvtest
