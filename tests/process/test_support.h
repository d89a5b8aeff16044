// Helpers shared by the pipeline tests: a scratch directory and an operator that records.
#pragma once

#include "base/operator.h"

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace kv::process::testing {

class ScratchDir {
public:
    ScratchDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("kv_process_test_" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Records messages; asks to stop once `cancelAfter` progress steps were reported (never when
// negative).
class RecordingOperator : public SilentOperator {
public:
    explicit RecordingOperator(long cancelAfter = -1) : cancelAfter_(cancelAfter) {}
    void message(std::string_view text) override { messages.emplace_back(text); }
    void setProgress(long done) override { steps = done; }
    bool cancelled() override { return cancelAfter_ >= 0 && steps >= cancelAfter_; }

    std::vector<std::string> messages;
    long steps = 0;

private:
    long cancelAfter_;
};

} // namespace kv::process::testing
