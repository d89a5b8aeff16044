// The program's commands as data: one row per command (id, menu text, status prompt,
// shortcuts, toolbar icon, update rules), the menu bar's layout and the toolbar's buttons.
// The Qt program turns these into QActions, menus and the toolbar; nothing is wired by hand.
//
// Adding a command: add its row to kRows in command_table.cpp (and, when it has a menu item,
// an entry in kMenu), then register its handler in the program (src/app/command_handlers.h).
// Rows flagged kFactory (diagnostics and station commands) are shown only once a handler
// exists, so no menu item is ever shown that does nothing.
#pragma once

#include "shell/app_state.h"

#include <span>
#include <string_view>
#include <vector>

namespace kv::shell {

// An update rule: enabled or checked for a state; `value` is the row's value (an exposure
// index, a bit rate, a quality...). A null rule means "always enabled" / "not checkable".
using Rule = bool (*)(const AppState& state, int value);

enum CommandFlag : unsigned {
    kFactory = 1u << 0, // shown only when the program has a handler for it
    kNoMenu = 1u << 1,  // no menu item: reached by shortcut, toolbar or message only
};

struct CommandRow {
    int id;
    std::string_view text;              // '&' marks the mnemonic; "%1" stands for the product name
    std::string_view statusTip;         // the status-bar prompt
    std::string_view shortcuts;         // in every edition; several separated by ';'
    std::string_view edition0Shortcuts; // edition 0 only
    std::string_view icon;              // toolbar icon name, empty = none
    Rule enabled;
    Rule checked;
    int value;
    unsigned flags;
};

std::span<const CommandRow> commandTable();
const CommandRow* findCommand(int id);

// Command ids (the ones other code refers to by name).
namespace cmd {
inline constexpr int Open = 57601, Close = 57602, Save = 57603, SaveAs = 57604;
inline constexpr int PrintSetup = 57606, Print = 57607, PrintDirect = 57608, PrintPreview = 57609;
inline constexpr int Copy = 57634, SelectAll = 57642, Exit = 57665;
inline constexpr int AboutEdition0 = 57664, AboutEdition1 = 61517, AboutEdition2 = 61526;
inline constexpr int ViewToolbar = 59392, ViewStatusBar = 59393;
inline constexpr int RetrieveImages = 32771, DeleteImages = 32772, Revert = 32986, Rename = 32990;
inline constexpr int ViewLarge = 32779, ViewThumbnails = 32780, TakePicture = 32781;
inline constexpr int Sound = 32791, Flash = 32792, AutoExpose = 32793;
inline constexpr int Best = 32794, Standard = 32795, Cine = 32796, Uncompressed = 32905;
inline constexpr int EraseMemory = 32890, ConnectCamera = 32902, OutputSize = 32950;
inline constexpr int CompressionLevel = 32953, Rs232 = 32955, Rs422 = 32956;
inline constexpr int FormatCard = 32991, Baud115200 = 32993, Baud57600 = 32994, BaudAuto = 32995;
inline constexpr int RotateCW = 32946, RotateCCW = 32947, AutoWhiteBalance = 32952;
inline constexpr int AdjustBrightness = 32998, FilterNoise = 32976, PlaySound = 32983;
inline constexpr int SlideShow = 32984;
// Exposure items of index 0..11.
inline constexpr int kExposure[12] = {32805, 32804, 32803, 32802, 32801, 32800,
                                      32799, 32798, 32797, 32912, 32913, 32914};
// Diagnostics
inline constexpr int CreateGain = 32865, HomeShutter = 32874, ColorMatrix = 32942;
inline constexpr int UncompressedPicture = 32944, ContinuousTake = 32962, AcquireMono = 32965;
inline constexpr int FocusTest = 32966, DacTroubleshooting = 32967, UncompressedCompensated = 32972;
inline constexpr int NeutralizeColor = 32973, LedStation = 32974, SetDac = 32997;
// Process commands of the sensor pipeline.
inline constexpr int RamTo24BitTiff = 32858, RamToGain16 = 32859, RamTo16BitBw = 32862;
inline constexpr int RamTo8BitBw = 32863, TiffToKvi = 32864, RamToGain24 = 32866;
inline constexpr int RamTo16BitTiff = 32928, Tiff16ToRam = 32929, MatrixConversion = 32930;
inline constexpr int YccToRgb = 32931, RgbToYcc = 32932, YccCompress = 32933;
inline constexpr int DspSimA = 32934, DspSimB = 32935, DspSimC = 32936, DspSimD = 32937;
inline constexpr int RgbLuminance = 32938, Tiff16ToBw = 32968;
// Commands that have no fixed id elsewhere; ours, numbered from 33001.
inline constexpr int FocusStation = 33001, FinalTest = 33002;
inline constexpr int UploadDram = 33003, UploadFram = 33004, UploadPcCard = 33005;
inline constexpr int DownloadProgram = 33006, DownloadGamma = 33007, DownloadBlemish = 33008;
inline constexpr int BatchProcess = 33009, SetSerialNumber = 33010, SoundTest = 33011;
inline constexpr int ImageParameters = 33012;
} // namespace cmd

// The menu bar. Popup entries open a submenu that ends at the matching End entry; their id is
// one of the tags below (0 for untagged ones). The About entry stands for the edition's About
// command.
enum class MenuKind { Command, Separator, Popup, End };
struct MenuEntry {
    MenuKind kind;
    int id;
    std::string_view text;
};

inline constexpr int kCameraMenu = 1;       // the third top-level menu
inline constexpr int kImageQualityMenu = 2; // removed without the diagnostics flag
inline constexpr int kDiagnosticsMenu = 3;  // removed without the diagnostics flag
inline constexpr int kEditionAbout = -1;

std::span<const MenuEntry> menuLayout();

// Toolbar buttons in order; 0 marks a separator, kEditionAbout the edition's About command.
std::span<const int> toolbarLayout();

// The About command of an edition, or 0 when it has none.
int aboutCommand(int edition);

// The shortcuts of a row in an edition ("Ctrl+C", "Ctrl+Ins", ...).
std::vector<std::string_view> shortcutsFor(const CommandRow& row, int edition);

} // namespace kv::shell
