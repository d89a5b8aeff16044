// The arithmetic of the Image Output Size and Image Canvas Size dialogs, apart from the
// widgets that show it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kv::library {

enum class SizeUnits { Inches = 0, Centimeters = 1, Pixels = 2 };

// Strings 61263-61265 for 0..2.
std::string_view sizeUnitsName(int units);
// A stored unit outside 0..2 counts as 0 (inches).
int validSizeUnits(int units);

// The size list's label of output size `index` (0..5) in `units`: the pixel labels of strings
// 61518-61522 and 61531, inches (pixels / 72) and centimetres (pixels / 72 x 2.54) with one
// decimal in the list's column layout.
std::string outputSizeLabel(int units, int index);

// String of the dialog's note.
inline constexpr std::string_view kOutputSizeNote =
    "Note: Images that have been cropped to other aspect ratios will be saved at full size.";

// The canvas size in inches when the view is created.
inline constexpr float kCanvasWidthStart = 4.8f;
inline constexpr float kCanvasHeightStart = 4.0f;

// True when a canvas field may hold `text` after a keystroke: empty, or ending in a digit or
// a point. Other keystrokes are undone.
bool canvasTextAcceptable(std::string_view text);
// The other field's text when one field reads `text`: value x (other / this) of the sizes the
// dialog started from, "%2.3f". Nothing when the text is not a number or a start size is 0.
std::optional<std::string> canvasPartnerText(std::string_view text, double startThis,
                                             double startOther);

} // namespace kv::library
