// The Diagnostics menu commands of these station procedures: command id, menu text and the
// kvtool station command that runs the same procedure. Ids the station's menu never had
// before come from the program's own range (33001 on, shared with the shell's command table).
#pragma once

#include <array>
#include <string_view>

namespace kv::diagnostics {

struct StationMenuRow {
    int id;
    std::string_view text;
    std::string_view tool; // `kvtool station <tool>`
};

inline constexpr int kIdDacTroubleshooting = 32967;
inline constexpr int kIdSetDac = 32997;
inline constexpr int kIdHomeShutter = 32874;
inline constexpr int kIdNeutralizeColor = 32973;
inline constexpr int kIdColorMatrix = 32942;
inline constexpr int kIdUncompressed = 32944;
inline constexpr int kIdUncompressedCompensated = 32972;
inline constexpr int kIdAcquireSaveMono = 32965;
inline constexpr int kIdContinuousTakePicture = 32962; // checked while the setting is "1"
inline constexpr int kIdDownloadProgram = 33006;
inline constexpr int kIdDownloadGammaTable = 33007;
inline constexpr int kIdDownloadBlemishList = 33008;
inline constexpr int kIdBatchProcess = 33009;
inline constexpr int kIdSetSerialNumber = 33010;
inline constexpr int kIdSoundTest = 33011;

inline constexpr std::array<StationMenuRow, 15> kStationMenu{{
    {kIdDacTroubleshooting, "DAC Troubleshooting Test", "dac"},
    {kIdSetDac, "Set DAC", "set-dac"},
    {kIdHomeShutter, "Home Shutter", "home-shutter"},
    {kIdNeutralizeColor, "Neutralize Camera Color", "neutralize"},
    {kIdColorMatrix, "Color Matrix", "color-matrix"},
    {kIdUncompressed, "Uncompressed", "uncompressed"},
    {kIdUncompressedCompensated, "Uncompressed Compensated", "compensated"},
    {kIdAcquireSaveMono, "Acquire && Save Mono", "save-mono"},
    {kIdContinuousTakePicture, "Continuous Take Picture", "continuous"},
    {kIdSetSerialNumber, "Set Camera Serial Number", "serial"},
    {kIdDownloadBlemishList, "Download Blemish List", "download-blemish"},
    {kIdBatchProcess, "Batch Process", "batch"},
    {kIdSoundTest, "Sound Test", "sound-test"},
    {kIdDownloadProgram, "Download Program", "download-firmware"},
    {kIdDownloadGammaTable, "Download Gamma Table", "download-gamma"},
}};

} // namespace kv::diagnostics
