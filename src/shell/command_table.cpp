#include "shell/command_table.h"

#include <algorithm>
#include <array>

namespace kv::shell {

namespace {

// Update rules.
bool hasCurrent(const AppState& s, int) {
    return s.hasCurrentPicture;
}
bool anyTemporary(const AppState& s, int) {
    return s.anyHighlightedTemporary;
}
bool canRename(const AppState& s, int) {
    return s.hasCurrentPicture && !s.currentIsTemporary;
}
bool oneHighlighted(const AppState& s, int) {
    return s.highlightedCount == 1;
}
bool currentHasSound(const AppState& s, int) {
    return s.currentHasSound;
}
bool cameraReady(const AppState& s, int) {
    return s.cameraReady();
}
bool canRetrieve(const AppState& s, int) {
    return s.cameraReady() && s.pictures > 0;
}
bool canConnect(const AppState& s, int) {
    return (!s.cameraConnected || s.diagnosticsShown) && !s.connecting && !s.transferRunning;
}
bool exposureEnabled(const AppState& s, int) {
    return s.cameraReady() && !s.autoExposure;
}
bool diagnosticsShown(const AppState& s, int) {
    return s.diagnosticsShown;
}
bool toolbarShown(const AppState& s, int) {
    return s.toolbarVisible;
}
bool statusBarShown(const AppState& s, int) {
    return s.statusBarVisible;
}
bool largeMode(const AppState& s, int) {
    return s.largeMode;
}
bool autoExposureOn(const AppState& s, int) {
    return s.autoExposure;
}
bool flashOn(const AppState& s, int) {
    return s.flash;
}
bool soundOn(const AppState& s, int) {
    return s.sound;
}
bool exposureIs(const AppState& s, int v) {
    return s.exposureIndex == v;
}
bool qualityIs(const AppState& s, int v) {
    return s.quality == v;
}
bool baudIs(const AppState& s, int v) {
    return s.storedBaudRate == v;
}
bool protocolIs(const AppState& s, int v) {
    return s.protocol == v;
}
bool continuousTake(const AppState& s, int) {
    return s.continuousTakePicture;
}

constexpr unsigned F = kFactory;

// clang-format off
constexpr CommandRow kRows[] = {
// id, text, status prompt, shortcuts, edition 0 shortcuts, icon, enabled, checked, value, flags
// File
{57601, "&Open...", "Open existing images\nOpen", "Ctrl+O", "", "open", nullptr, nullptr, 0, 0},
{57602, "&Close", "Close the highlighted images\nClose", "Ctrl+X", "", "", hasCurrent, nullptr, 0, 0},
{57603, "&Save", "Save the highlighted edited images\nSave", "Ctrl+S", "", "", anyTemporary, nullptr, 0, 0},
{57604, "Save &As...", "Save the highlighted images as TIFF, bitmap or JPEG files\nSave As", "", "", "", hasCurrent, nullptr, 0, 0},
{32986, "Re&vert", "Discard the edits of the highlighted images\nRevert", "", "", "", anyTemporary, nullptr, 0, 0},
{32990, "Re&name...", "Rename the current image's file\nRename", "", "", "", canRename, nullptr, 0, 0},
{32772, "&Delete Image(s)", "Delete the highlighted images' files\nDelete", "", "", "", hasCurrent, nullptr, 0, 0},
{32771, "&Retrieve Images...", "Retrieve the pictures stored in the camera\nRetrieve Images", "", "", "retrieve", canRetrieve, nullptr, 0, 0},
{32950, "Image &Output Size...", "Choose the size at which pictures leave the program\nOutput Size", "", "", "", nullptr, nullptr, 0, 0},
{57607, "&Print...", "Print the current image\nPrint", "Ctrl+P", "", "print", hasCurrent, nullptr, 0, 0},
{57608, "Print Direct", "Print the current image without a dialog\nPrint Direct", "", "", "", hasCurrent, nullptr, 0, kNoMenu},
{57609, "Print Pre&view", "Show the printed page\nPrint Preview", "", "", "", hasCurrent, nullptr, 0, 0},
{57606, "P&rint Setup...", "Change the printer and printing options\nPrint Setup", "", "", "", nullptr, nullptr, 0, 0},
{57665, "E&xit", "Quit the application\nExit", "", "", "", nullptr, nullptr, 0, 0},
// Edit
{57634, "&Copy", "Copy the current image to the clipboard\nCopy", "Ctrl+C;Ctrl+Ins", "", "copy", oneHighlighted, nullptr, 0, 0},
{57642, "Select &All", "Highlight every image\nSelect All", "Ctrl+A", "", "", hasCurrent, nullptr, 0, 0},
// Camera
{32781, "Take Picture", "Take a picture with the camera\nTake Picture", "Ctrl+T", "", "take", cameraReady, nullptr, 0, 0},
{32794, "Best", "Take pictures at best quality\nBest", "", "", "", cameraReady, qualityIs, 0, F},
{32795, "Standard", "Take pictures at standard quality\nStandard", "", "", "", cameraReady, qualityIs, 1, F},
{32796, "Cine", "Take pictures at cine quality\nCine", "", "", "", cameraReady, qualityIs, 2, F | kNoMenu},
{32905, "UNCOMPRESSED", "Take uncompressed pictures\nUncompressed", "", "", "", cameraReady, qualityIs, 3, F},
{32791, "Sound", "Record a sound note with each picture\nSound", "", "", "", cameraReady, soundOn, 0, 0},
{32792, "Flash", "Use the flash\nFlash", "", "", "", cameraReady, flashOn, 0, 0},
{32793, "Auto Expose", "Let the camera choose the exposure\nAuto Expose", "", "", "", cameraReady, autoExposureOn, 0, 0},
{32805, "1/2000", "Exposure time 1/2000 second", "", "", "", exposureEnabled, exposureIs, 0, 0},
{32804, "1/1000", "Exposure time 1/1000 second", "", "", "", exposureEnabled, exposureIs, 1, 0},
{32803, "1/500", "Exposure time 1/500 second", "", "", "", exposureEnabled, exposureIs, 2, 0},
{32802, "1/250", "Exposure time 1/250 second", "", "", "", exposureEnabled, exposureIs, 3, 0},
{32801, "1/125", "Exposure time 1/125 second", "", "", "", exposureEnabled, exposureIs, 4, 0},
{32800, "1/60", "Exposure time 1/60 second", "", "", "", exposureEnabled, exposureIs, 5, 0},
{32799, "1/30", "Exposure time 1/30 second", "", "", "", exposureEnabled, exposureIs, 6, 0},
{32798, "1/15", "Exposure time 1/15 second", "", "", "", exposureEnabled, exposureIs, 7, 0},
{32797, "1/8", "Exposure time 1/8 second", "", "", "", exposureEnabled, exposureIs, 8, 0},
{32912, "1/4", "Exposure time 1/4 second", "", "", "", exposureEnabled, exposureIs, 9, 0},
{32913, "1/2", "Exposure time 1/2 second", "", "", "", exposureEnabled, exposureIs, 10, 0},
{32914, "1", "Exposure time 1 second", "", "", "", exposureEnabled, exposureIs, 11, 0},
{32890, "Erase Camera Memory", "Erase every picture stored in the camera\nErase", "", "", "", cameraReady, nullptr, 0, 0},
{32953, "Set Compression Level", "Set the camera's compression level\nCompression", "", "", "", cameraReady, nullptr, 0, 0},
{32902, "Connect to Camera", "Search the serial ports for the camera\nConnect", "Ctrl+F", "", "connect", canConnect, nullptr, 0, 0},
{32995, "Auto", "Choose the fastest bit rate automatically", "", "", "", nullptr, baudIs, 0, 0},
{32993, "115200 bps", "Talk to the camera at 115200 bit/s", "", "", "", nullptr, baudIs, 115200, 0},
{32994, "  57600 bps", "Talk to the camera at 57600 bit/s", "", "", "", nullptr, baudIs, 57600, 0},
{33006, "Download Program", "Download new firmware to the camera\nDownload Program", "", "", "", cameraReady, nullptr, 0, 0},
{33007, "Download Gamma Table", "Download a gamma table to the camera\nDownload Gamma", "", "", "", cameraReady, nullptr, 0, 0},
{32991, "Format Memory Card", "Erase every file on the camera's memory card\nFormat", "", "", "", cameraReady, nullptr, 0, 0},
// Diagnostics
{33002, "Final Test", "Run the final test\nFinal Test", "", "F6", "", nullptr, nullptr, 0, F},
{33001, "Focus Station", "Run the focus station\nFocus Station", "", "F2", "", diagnosticsShown, nullptr, 0, F},
{32966, "Focus Test", "Run one focus test\nFocus Test", "", "", "", nullptr, nullptr, 0, F},
{32974, "LED Station", "Test board after board\nLED Station", "", "", "", nullptr, nullptr, 0, F},
{32865, "Create Gain", "Create the sensor's gain file\nCreate Gain", "", "", "", nullptr, nullptr, 0, F},
{32967, "DAC Troubleshooting Test", "Run the DAC troubleshooting test", "", "", "", nullptr, nullptr, 0, F},
{32997, "Set DAC", "Set the camera's DAC value", "", "", "", nullptr, nullptr, 0, F},
{32874, "Home Shutter", "Move the shutter home", "Ctrl+H", "", "", nullptr, nullptr, 0, F},
{32973, "Neutralize Camera Color", "Neutralise the camera's colour", "", "", "", nullptr, nullptr, 0, F},
{32942, "Color Matrix", "Compute the colour matrix", "", "", "", nullptr, nullptr, 0, F},
{32944, "Uncompressed", "Take an uncompressed picture", "Ctrl+B", "", "", nullptr, nullptr, 0, F},
{32972, "Uncompressed Compensated", "Take an uncompressed compensated picture", "", "", "", nullptr, nullptr, 0, F},
{32965, "Acquire && Save Mono", "Take, upload and save a monochrome picture", "", "", "", nullptr, nullptr, 0, F},
{32962, "Continuous Take Picture", "Take a picture after every connect", "", "", "", nullptr, continuousTake, 0, F},
{33003, "Upload Data From DRAM", "Upload the camera's DRAM into a file\nUpload DRAM", "Ctrl+U", "", "", cameraReady, nullptr, 0, F},
{33004, "Upload Data From FRAM", "Upload the camera's FRAM into a file\nUpload FRAM", "", "", "", cameraReady, nullptr, 0, F},
{33005, "Upload Data From PCCard", "Upload the camera's memory card into a file\nUpload PCCard", "", "", "", cameraReady, nullptr, 0, F},
{33008, "Download Blemish List", "Download the blemish list to the camera", "", "", "", cameraReady, nullptr, 0, F},
{33009, "Batch Process", "Let the camera process a memory image as a picture", "", "", "", cameraReady, nullptr, 0, F},
{33010, "Set Camera Serial Number", "Give the camera a serial number", "", "", "", cameraReady, nullptr, 0, F},
{33011, "Sound Test", "Test a sound recording", "", "", "", nullptr, nullptr, 0, F},
{32858, "RAM File To 24 Bit TIFF", "RAM File To 24 Bit TIFF", "", "", "", nullptr, nullptr, 0, F},
{32862, "RAM File To 16 Bit BW TIFF", "RAM File To 16 Bit BW TIFF", "", "", "", nullptr, nullptr, 0, F},
{32863, "RAM File To 8 Least Signif. 8 Bit BW TIFF", "RAM File To 8 Least Signif. 8 Bit BW TIFF", "", "", "", nullptr, nullptr, 0, F},
{32859, "RAM File to Gain Corrected 16 Bit BW TIFF", "RAM File to Gain Corrected 16 Bit BW TIFF", "", "", "", nullptr, nullptr, 0, F},
{32866, "RAM File to Gain Corrected 24 Bit TIFF", "RAM File to Gain Corrected 24 Bit TIFF", "", "", "", nullptr, nullptr, 0, F},
{32928, "Ram File to 16 Bit TIFF", "Ram File to 16 Bit TIFF", "", "", "", nullptr, nullptr, 0, F},
{32929, "16 Bit TIFF to Ram File", "16 Bit TIFF to Ram File", "", "", "", nullptr, nullptr, 0, F},
{32968, "16 Bit TIFF to Black/White", "16 Bit TIFF to Black/White", "", "", "", nullptr, nullptr, 0, F},
{32930, "Matrix Conversion", "Mono16 to Mono16 using color.mtx", "", "", "", nullptr, nullptr, 0, F},
{32931, "YCC To RGB", "Mono16 to Mono16 using hardcoded YCC matrix", "", "", "", nullptr, nullptr, 0, F},
{32932, "RGB To YCC", "Mono16 to Mono16 using hard coded YCC matrix", "", "", "", nullptr, nullptr, 0, F},
{32933, "YCC Compress Decompress", "YCC to Wavelet to Mono16", "", "", "", nullptr, nullptr, 0, F},
{32938, "Transfer to RGB + Luminance", "Transfer to RGB + Luminance", "", "", "", nullptr, nullptr, 0, F},
{32934, "DSP Simulation A", "DSP Simulation A", "", "", "", nullptr, nullptr, 0, F},
{32935, "DSP Simulation B", "DSP Simulation B", "", "", "", nullptr, nullptr, 0, F},
{32936, "DSP Simulation C", "DSP Simulation C", "", "", "", nullptr, nullptr, 0, F},
{32937, "DSP Simulation D", "DSP Simulation D", "", "", "", nullptr, nullptr, 0, F},
{32864, "TIFF to KVI Wavelet", "TIFF to KVI Wavelet", "", "", "", nullptr, nullptr, 0, F},
{32955, "RS232", "Talk to the camera over RS232", "", "", "", nullptr, protocolIs, 0, F},
{32956, "RS422", "Talk to the camera over RS422", "", "", "", nullptr, protocolIs, 1, F},
// View
{59392, "&Toolbar", "Show or hide the toolbar\nToggle Toolbar", "", "", "", nullptr, toolbarShown, 0, 0},
{59393, "&Status Bar", "Show or hide the status bar\nToggle Status Bar", "", "", "", nullptr, statusBarShown, 0, 0},
{32779, "View &Large Images", "Show the current image large\nView Large Images", "", "Ctrl+Z", "large", hasCurrent, nullptr, 0, 0},
{32780, "View &Thumbnail Images", "Show the thumbnails\nView Thumbnails", "", "", "", largeMode, nullptr, 0, 0},
{32984, "Slide Sho&w...", "Show the images one after another\nSlide Show", "", "", "", hasCurrent, nullptr, 0, 0},
{32983, "&Play Sound", "Play the current image's sound\nPlay Sound", "F3", "", "", currentHasSound, nullptr, 0, 0},
// Image
{32946, "Clockwise &90\u00b0", "Rotate highlighted image(s) clockwise 90 degrees\nRotate CW", "Ctrl+R", "", "rotate-cw", hasCurrent, nullptr, 0, 0},
{32947, "Counterclockwise 9&0\u00b0", "Rotate highlighted image(s) counterclockwise 90 degrees\nRotate CCW", "Ctrl+L", "", "rotate-ccw", hasCurrent, nullptr, 0, 0},
{32952, "&Auto White Balance", "Adjust red, green, and blue colors for saturation at white\nAuto White Balance", "Ctrl+W", "", "white-balance", hasCurrent, nullptr, 0, 0},
{32998, "Adjust Brightness...", "Adjust brightness of image\nAdjust Brightness", "", "", "brightness", hasCurrent, nullptr, 0, 0},
{32976, "Filter Noise...", "Filter out noise in image", "", "", "", hasCurrent, nullptr, 0, 0},
{33012, "Image &Parameters...", "Show the current image's parameters\nImage Parameters", "Ctrl+I", "", "", hasCurrent, nullptr, 0, F},
// Help
{57664, "&About %1...", "Display program information, version number and copyright\nAbout", "", "", "about", nullptr, nullptr, 0, 0},
{61517, "&About %1...", "Display program information, version number and copyright\nAbout", "", "", "about", nullptr, nullptr, 0, 0},
{61526, "&About %1...", "Display program information, version number and copyright\nAbout", "", "", "about", nullptr, nullptr, 0, 0},
};

using K = MenuKind;
constexpr MenuEntry kMenu[] = {
    {K::Popup, 0, "&File"},
        {K::Command, 57601, {}}, {K::Command, 57602, {}}, {K::Separator, 0, {}},
        {K::Command, 57603, {}}, {K::Command, 57604, {}}, {K::Command, 32986, {}},
        {K::Command, 32990, {}}, {K::Command, 32772, {}}, {K::Separator, 0, {}},
        {K::Command, 32771, {}}, {K::Separator, 0, {}},
        {K::Command, 32950, {}}, {K::Command, 57607, {}}, {K::Command, 57609, {}},
        {K::Command, 57606, {}}, {K::Separator, 0, {}},
        {K::Command, 57665, {}},
    {K::End, 0, {}},
    {K::Popup, 0, "&Edit"},
        {K::Command, 57634, {}}, {K::Command, 57642, {}},
    {K::End, 0, {}},
    {K::Popup, kCameraMenu, "&Camera"},
        {K::Command, 32781, {}}, {K::Separator, 0, {}},
        {K::Popup, kImageQualityMenu, "Image Quality"},
            {K::Command, 32794, {}}, {K::Command, 32795, {}}, {K::Command, 32905, {}},
        {K::End, 0, {}},
        {K::Command, 32791, {}}, {K::Command, 32792, {}}, {K::Command, 32793, {}},
        {K::Popup, 0, "Exposure Time in Seconds"},
            {K::Command, 32805, {}}, {K::Command, 32804, {}}, {K::Command, 32803, {}},
            {K::Command, 32802, {}}, {K::Command, 32801, {}}, {K::Command, 32800, {}},
            {K::Command, 32799, {}}, {K::Command, 32798, {}}, {K::Command, 32797, {}},
            {K::Command, 32912, {}}, {K::Command, 32913, {}}, {K::Command, 32914, {}},
        {K::End, 0, {}},
        {K::Separator, 0, {}},
        {K::Command, 32890, {}}, {K::Command, 32953, {}}, {K::Command, 32902, {}},
        {K::Popup, 0, "Baud Rate"},
            {K::Command, 32995, {}}, {K::Command, 32993, {}}, {K::Command, 32994, {}},
        {K::End, 0, {}},
        {K::Popup, kDiagnosticsMenu, "Diagnostics"},
            {K::Command, 33002, {}}, {K::Command, 33001, {}}, {K::Command, 32966, {}},
            {K::Command, 32974, {}}, {K::Command, 32865, {}}, {K::Separator, 0, {}},
            {K::Command, 32967, {}}, {K::Command, 32997, {}}, {K::Command, 32874, {}},
            {K::Command, 32973, {}}, {K::Command, 32942, {}}, {K::Separator, 0, {}},
            {K::Command, 32944, {}}, {K::Command, 32972, {}}, {K::Command, 32965, {}},
            {K::Command, 32962, {}}, {K::Separator, 0, {}},
            {K::Command, 33003, {}}, {K::Command, 33004, {}}, {K::Command, 33005, {}},
            {K::Command, 33008, {}}, {K::Command, 33009, {}}, {K::Command, 33010, {}},
            {K::Command, 33011, {}}, {K::Separator, 0, {}},
            {K::Popup, 0, "RAM To Disk"},
                {K::Command, 32858, {}}, {K::Command, 32862, {}}, {K::Command, 32863, {}},
                {K::Command, 32859, {}}, {K::Command, 32866, {}}, {K::Command, 32928, {}},
                {K::Command, 32929, {}}, {K::Command, 32968, {}},
            {K::End, 0, {}},
            {K::Popup, 0, "Dsp Simulation"},
                {K::Command, 32930, {}}, {K::Command, 32931, {}}, {K::Command, 32932, {}},
                {K::Command, 32933, {}}, {K::Command, 32938, {}}, {K::Command, 32934, {}},
                {K::Command, 32935, {}}, {K::Command, 32936, {}}, {K::Command, 32937, {}},
                {K::Command, 32864, {}},
            {K::End, 0, {}},
            {K::Popup, 0, "Communication Protocol"},
                {K::Command, 32955, {}}, {K::Command, 32956, {}},
            {K::End, 0, {}},
        {K::End, 0, {}},
        {K::Separator, 0, {}},
        {K::Command, 33006, {}}, {K::Command, 33007, {}}, {K::Command, 32991, {}},
    {K::End, 0, {}},
    {K::Popup, 0, "&View"},
        {K::Command, 59392, {}}, {K::Command, 59393, {}}, {K::Separator, 0, {}},
        {K::Command, 32779, {}}, {K::Command, 32780, {}}, {K::Command, 32984, {}},
        {K::Separator, 0, {}}, {K::Command, 32983, {}},
    {K::End, 0, {}},
    {K::Popup, 0, "&Image"},
        {K::Popup, 0, "&Rotate"},
            {K::Command, 32946, {}}, {K::Command, 32947, {}},
        {K::End, 0, {}},
        {K::Command, 32952, {}}, {K::Command, 32998, {}}, {K::Command, 32976, {}},
        {K::Command, 33012, {}},
    {K::End, 0, {}},
    {K::Popup, 0, "&Help"},
        {K::Command, kEditionAbout, {}},
    {K::End, 0, {}},
};

constexpr int kToolbar[] = {57601, 57634, 57607, 0,     32781, 32771, 32902, 0,
                            32779, 32947, 32946, 32952, 32998, 0,     kEditionAbout};
// clang-format on

} // namespace

std::span<const CommandRow> commandTable() {
    return kRows;
}

const CommandRow* findCommand(int id) {
    const auto* it = std::find_if(std::begin(kRows), std::end(kRows),
                                  [id](const CommandRow& r) { return r.id == id; });
    return it == std::end(kRows) ? nullptr : it;
}

std::span<const MenuEntry> menuLayout() {
    return kMenu;
}
std::span<const int> toolbarLayout() {
    return kToolbar;
}

int aboutCommand(int edition) {
    switch (edition) {
    case 0:
        return cmd::AboutEdition0;
    case 1:
        return cmd::AboutEdition1;
    case 2:
        return cmd::AboutEdition2;
    default:
        return 0;
    }
}

std::vector<std::string_view> shortcutsFor(const CommandRow& row, int edition) {
    std::vector<std::string_view> keys;
    auto split = [&keys](std::string_view list) {
        while (!list.empty()) {
            const auto semi = list.find(';');
            keys.push_back(list.substr(0, semi));
            if (semi == std::string_view::npos)
                break;
            list.remove_prefix(semi + 1);
        }
    };
    split(row.shortcuts);
    if (edition == 0)
        split(row.edition0Shortcuts);
    return keys;
}

} // namespace kv::shell
