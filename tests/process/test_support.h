// Helpers shared by the pipeline tests: a scratch directory and an operator that records.
#pragma once

#include "base/operator.h"
#include "support/scratch_dir.h"

#include <string>
#include <vector>

namespace kv::process::testing {

using kv::testing::ScratchDir;

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
