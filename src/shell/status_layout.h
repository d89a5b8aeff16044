// The status bar: the message pane (indicator 0) and the camera panes 100..104, in one of
// three layouts, and the texts the camera panes show.
#pragma once

#include "camera/camera_status.h"

#include <array>
#include <string>
#include <vector>

namespace kv::shell {

enum class StatusLayout {
    Message, // only the message pane (no camera)
    Camera,  // all six panes
    Compact, // the message pane and one borderless pane of 130 pixels (started maximised)
};

struct StatusPane {
    int id;
    int width; // pixels; the message pane stretches and has width 0
    bool stretch;
    bool border;
};

inline constexpr std::array<int, 6> kStatusPaneIds{0, 100, 101, 102, 103, 104};

// The panes of a layout; the camera layout has other widths for a camera with new firmware.
std::vector<StatusPane> statusPanes(StatusLayout layout, bool newFirmware = false);

// What panes 100..104 say about a camera (the status refresh): exposure, pictures, then sound,
// flash and quality, or for a JPEG or new wavelet camera flash and compression.
struct CameraPaneInput {
    camera::CameraStatus status;
    bool variantB = false;
    bool newFirmwareA = false;
    int compressionLevel = 0;
};
std::array<std::string, 5> cameraPaneTexts(const CameraPaneInput& in);

// The exposure texts of indexes 0..11 ("1/2000" .. "1"); empty outside.
std::string_view exposureText(int index);
inline constexpr std::string_view kFullText = "      FULL";

} // namespace kv::shell
