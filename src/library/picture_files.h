// The File menu's operations on the picture list, without a GUI: open, close, delete, save,
// revert, rename and the working copy that edits go to. Questions and messages go through the
// Operator with the program's exact texts.
//
// Files are never half replaced: Save and Close replace the saved file by renaming the working
// copy over it in one step, Rename never replaces another file, and a failure leaves the files
// and the record as they were (the Operator is told what failed).
#pragma once

#include "base/operator.h"
#include "base/result.h"
#include "library/picture_list.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv::library {

inline constexpr std::string_view kNotCompatible61259 =
    "File %1 is not compatible with this version of software.";
inline constexpr std::string_view kDeleteOne61206 = "Delete the highlighted image?";
inline constexpr std::string_view kDeleteMany61204 = "Delete the %1 highlighted images?";
inline constexpr std::string_view kSaveChangesPrefix = "Save changes to file ";
inline constexpr std::string_view kNewNamePrompt = "New name:";
inline constexpr std::string_view kRenameFailed = "Rename failed. Invalid name or locked file.";
inline constexpr std::string_view kSoundRenameFailed = "Sound file could not be renamed.";

// Replaces "%1" in `text` by `value`.
std::string formatMessage(std::string_view text, std::string_view value);

// Fills a new record from the picture file at `path` (.kvi header or JPEG header and
// markers, file size, sound). False when the file cannot be read as a picture.
bool readPictureRecord(const std::string& path, PictureRecord& record);

enum class OpenOutcome { Opened, AlreadyOpen, Refused };

// Opens one file: the name must end in ".kvi" or ".jpg" (any case) and the file's header must
// read; a path already in the list succeeds without a second record. A new record is appended
// with re-sorting (it becomes the only highlighted and current picture when it is the newest).
OpenOutcome openOneFile(PictureList& list, const std::string& path);

struct OpenReport {
    int opened = 0;
    int alreadyOpen = 0;
    std::vector<std::string> refused;
};
// Opens each path in order; every refused one is reported with message 61259 and the others
// still open.
OpenReport openFiles(PictureList& list, const std::vector<std::string>& paths, Operator& op);

// Close: for each highlighted temporary picture asks "Save changes to file <saved title>"
// (Yes/No): Yes replaces the saved file by the working copy, No deletes the working copy. Then
// the highlighted records are removed; a picture whose save failed stays open (un-highlighted).
// The result maps old indices to new ones (-1 = removed).
std::vector<int> closeHighlighted(PictureList& list, Operator& op);

// The Delete question for `count` highlighted pictures (61206 for 0 or 1, else 61204).
std::string deleteQuestion(int count);
// Delete Image(s): asks (OK/Cancel), then deletes each highlighted picture's file and, for a
// saved JPEG picture with sound, its sound file. Nothing when cancelled; otherwise the index
// map as for Close. A file that cannot be deleted is reported and its record stays.
std::optional<std::vector<int>> deleteHighlighted(PictureList& list, Operator& op);

// Save: each highlighted temporary picture's working copy replaces its saved file; the record
// then points at the saved file, its thumbnail is dropped and its edit marks cleared. Returns
// the indices saved. A failed replace is reported and leaves both files and the record.
std::vector<int> saveHighlighted(PictureList& list, Operator& op);
// Revert: each highlighted temporary picture's working copy is deleted and its record read
// again from the saved file (keeping its place and highlight). Returns the indices reverted.
std::vector<int> revertHighlighted(PictureList& list, Operator& op);

// Rename: the picture's file gets `newName` in the same directory with the old extension
// (typed extension of the same kind is not doubled); a JPEG picture's sound file follows.
// Names that are empty, hold "/", or are "." or ".." are refused, and an existing file is
// never replaced: kRenameFailed, the record unchanged. kSoundRenameFailed when only the sound
// file could not follow (the picture keeps its new name).
Status renamePicture(PictureList& list, int index, std::string_view newName, Operator& op);

// Before the first edit of a saved picture: copies its file to the working copy ("~" title)
// and points the record at it. Ok at once for a picture that already is temporary. A failed
// copy is reported (when `op` is given) and leaves the record as it was.
Status beginEdit(PictureRecord& record, Operator* op = nullptr);

// The Edits menu over the highlighted pictures: each gets its working copy first, then the
// edit; the thumbnail is dropped. Ok when every picture was edited.
Status rotateHighlighted(PictureList& list, int direction, Operator* op = nullptr);
Status whiteBalanceHighlighted(PictureList& list, Operator* op = nullptr);
Status brightnessOf(PictureRecord& record, float factor, Operator* op = nullptr);
Status noiseFilterHighlighted(PictureList& list, int iterations, Operator* op = nullptr);

} // namespace kv::library
