// Helpers of the picture-list tests: picture files made on the spot and an operator that
// records what it was asked and answers from a script.
#pragma once

#include "base/operator.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace kv::library::testing {

// A width x height JPEG whose pixels vary with `seed`; written with the camera markers.
inline std::string writeJpegPicture(const std::filesystem::path& path, int width = 96,
                                    int height = 80, int seed = 1) {
    Bytes rgb(std::size_t(width) * std::size_t(height) * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<std::uint8_t>((i * 7 + std::size_t(seed) * 31) % 251);
    EXPECT_EQ(imaging::WriteJpeg(rgb, path, width, height, 90, 5, 0, std::string_view{}, 0),
              status::Ok);
    return path.string();
}

// An uncompressed .kvi picture taken at `captureTime`, optionally with a sound clip.
inline std::string writeKviPicture(const std::filesystem::path& path, std::uint32_t captureTime,
                                   std::uint8_t level = 0x50, bool withSound = false) {
    imaging::PictureAttributes a;
    a.quality = imaging::kQualityUncompressed;
    a.exposureIndex = 3;
    a.flash = 0;
    a.captureTime = captureTime;
    if (withSound)
        a.soundClip.assign(400, 0x21);
    Bytes rgb(imaging::kPictureBytes, level);
    EXPECT_EQ(imaging::StorePictureFile(a, path, ByteSpan(rgb)), status::Ok);
    return path.string();
}

class ScriptedOperator : public Operator {
public:
    void message(std::string_view text) override { messages.emplace_back(text); }
    bool confirm(std::string_view text) override {
        questions.emplace_back(text);
        return next(true);
    }
    bool askYesNo(std::string_view text) override {
        questions.emplace_back(text);
        return next(true);
    }
    std::optional<std::string> askText(std::string_view, std::string_view initial) override {
        return std::string(initial);
    }
    std::optional<std::string> chooseFile(std::string_view, std::string_view, bool) override {
        return std::nullopt;
    }
    void beginProgress(std::string_view, long) override {}
    void setProgressText(std::string_view) override {}
    void setProgress(long) override {}
    void endProgress() override {}
    bool cancelled() override { return false; }

    std::deque<bool> answers; // the next answers to confirm / askYesNo (default yes)
    std::vector<std::string> messages;
    std::vector<std::string> questions;

private:
    bool next(bool fallback) {
        if (answers.empty())
            return fallback;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
};

} // namespace kv::library::testing
