// The picture commands of the Diagnostics menu that the stations use, and Home Shutter.
#pragma once

#include "base/bytes.h"

#include <filesystem>
#include <optional>
#include <string>

namespace kv::diagnostics {

struct Station;

// "Uncompressed": one picture at quality 3, the camera's quality restored afterwards.
bool takeUncompressed(Station& s);
// "Uncompressed Compensated": a picture with its dark frame subtracted. A camera that takes
// "P7" does it itself; one that refuses it gets the two-picture sequence. A failure adds
// "Unable to take an uncompressed compensated picture!" to the station's error text.
bool takeUncompressedCompensated(Station& s);
// The picture in the camera's frame memory, uploaded and laid into a RAM file image; nothing
// (after "Error uploading image data!") when the upload fails or comes short.
std::optional<Bytes> uploadRamPicture(Station& s);
// "Acquire && Save Mono": a raw picture, uploaded and saved as a MONO16 TIFF at `file` (or
// where the operator chooses).
bool acquireAndSaveMono(Station& s, std::optional<std::string> file = std::nullopt);
// "Continuous Take Picture": toggles the setting; returns the new state.
bool toggleContinuousTakePicture(Station& s);
// The check mark of that menu item.
bool continuousTakePictureChecked(const Station& s);
// "Home Shutter": relay 3, "Z2", 10 s, relay 0; reconnects when "Z2" failed.
bool homeShutter(Station& s);

} // namespace kv::diagnostics
