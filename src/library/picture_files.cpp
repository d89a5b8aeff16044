#include "library/picture_files.h"

#include "base/text.h"
#include "imaging/jpeg_file.h"
#include "imaging/picture_file.h"
#include "library/picture_edits.h"
#include "library/picture_names.h"
#include "platform/atomic_file.h"
#include "platform/file_rename.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace kv::library {
namespace fs = std::filesystem;

namespace {

std::uint32_t fileLength(const fs::path& path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? 0 : static_cast<std::uint32_t>(std::min<std::uintmax_t>(size, 0xFFFFFFFFu));
}

std::int32_t modificationTime(const fs::path& path) {
    std::error_code ec;
    const auto when = fs::last_write_time(path, ec);
    if (ec)
        return 0;
    return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::file_clock::to_sys(when).time_since_epoch())
                                         .count());
}

bool exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

// Replaces `target` by `source` in one step (rename over it). False with the reason in `why`.
bool replaceBy(const fs::path& source, const fs::path& target, std::string& why) {
    std::error_code ec;
    fs::rename(source, target, ec);
    if (ec)
        why = ec.message();
    return !ec;
}

bool removeFile(const fs::path& path, std::string& why) {
    std::error_code ec;
    if (fs::remove(path, ec) || !ec)
        return true;
    why = ec.message();
    return false;
}

std::string extensionOf(const std::string& path) {
    const auto dot = path.find_last_of('.');
    const auto slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return path.substr(dot);
}

} // namespace

std::string formatMessage(std::string_view text, std::string_view value) {
    std::string out(text);
    if (const auto at = out.find("%1"); at != std::string::npos)
        out.replace(at, 2, value);
    return out;
}

bool readPictureRecord(const std::string& path, PictureRecord& record) {
    record = PictureRecord{};
    record.path = path;
    record.fileSize = fileLength(path);
    if (hasJpegExtension(path)) {
        int width = 0;
        int height = 0;
        imaging::JpegMarkers markers;
        if (imaging::ReadJpegSize(path, width, height, &markers) != status::Ok || width <= 0 ||
            height <= 0)
            return false;
        record.isJpeg = 1;
        record.storedWidth = width;
        record.storedHeight = height;
        record.sortKey = modificationTime(path);
        if (markers.app1Count > 0) {
            record.exposureIndex = static_cast<std::int16_t>(markers.exposureIndex);
            record.flashState = static_cast<std::uint16_t>(markers.flash);
            record.jpegLevel = static_cast<std::uint16_t>(markers.quality);
        }
        record.hasSound = exists(soundPathOf(path)) ? 1 : 0;
        return true;
    }
    imaging::PictureAttributes attributes;
    if (imaging::ReadPictureFile(path, attributes) != status::Ok)
        return false;
    record.storedWidth = imaging::kPictureWidth;
    record.storedHeight = imaging::kPictureHeight;
    record.sortKey = static_cast<std::int32_t>(attributes.captureTime);
    record.quality = attributes.quality;
    record.flashState = attributes.flash;
    record.exposureIndex = attributes.exposureIndex == imaging::kAttributeUnknown
                               ? std::int16_t(-1)
                               : static_cast<std::int16_t>(attributes.exposureIndex);
    record.manufacturingNumber = attributes.manufacturingWord;
    record.hasSound = attributes.soundLength > 0 ? 1 : 0;
    record.edits.rotation = attributes.rotation;
    record.edits.whiteBalance = attributes.whiteBalance;
    record.attributes = std::move(attributes);
    record.attributes.path = path;
    return true;
}

OpenOutcome openOneFile(PictureList& list, const std::string& path) {
    if (!hasPictureExtension(path))
        return OpenOutcome::Refused;
    if (list.find(path) >= 0)
        return OpenOutcome::AlreadyOpen;
    PictureRecord record;
    if (!readPictureRecord(path, record))
        return OpenOutcome::Refused;
    list.append(std::move(record), true);
    return OpenOutcome::Opened;
}

OpenReport openFiles(PictureList& list, const std::vector<std::string>& paths, Operator& op) {
    OpenReport report;
    for (const std::string& path : paths) {
        switch (openOneFile(list, path)) {
        case OpenOutcome::Opened:
            ++report.opened;
            break;
        case OpenOutcome::AlreadyOpen:
            ++report.alreadyOpen;
            break;
        case OpenOutcome::Refused:
            report.refused.push_back(path);
            op.message(formatMessage(kNotCompatible61259, path));
            break;
        }
    }
    return report;
}

std::vector<int> closeHighlighted(PictureList& list, Operator& op) {
    for (int i = 0; i < list.count(); ++i) {
        PictureRecord& record = list[i];
        if (!record.highlighted || !isTemporaryPath(record.path))
            continue;
        const std::string saved = savedPathOf(record.path);
        std::string why;
        if (op.askYesNo(std::string(kSaveChangesPrefix) + fileTitle(saved))) {
            op.setWaitCursor(true);
            const bool ok = replaceBy(record.path, saved, why);
            op.setWaitCursor(false);
            if (!ok) {
                op.message("Could not save " + saved + ": " + why);
                record.highlighted = false; // stays open with its working copy
            }
        } else if (!removeFile(record.path, why)) {
            op.message("Could not delete " + record.path + ": " + why);
        }
    }
    return list.removeHighlighted();
}

std::string deleteQuestion(int count) {
    if (count <= 1)
        return std::string(kDeleteOne61206);
    return formatMessage(kDeleteMany61204, std::to_string(count));
}

std::optional<std::vector<int>> deleteHighlighted(PictureList& list, Operator& op) {
    if (!op.confirm(deleteQuestion(list.highlightedCount())))
        return std::nullopt;
    for (int i = 0; i < list.count(); ++i) {
        PictureRecord& record = list[i];
        if (!record.highlighted)
            continue;
        std::string why;
        if (!removeFile(record.path, why)) {
            op.message("Could not delete " + record.path + ": " + why);
            record.highlighted = false;
            continue;
        }
        // A working copy shares the saved picture's sound, which stays with the saved file.
        if (record.isJpeg != 0 && record.hasSound != 0 && !isTemporaryPath(record.path))
            removeFile(soundPathOf(record.path), why);
    }
    return list.removeHighlighted();
}

std::vector<int> saveHighlighted(PictureList& list, Operator& op) {
    std::vector<int> saved;
    for (int i = 0; i < list.count(); ++i) {
        PictureRecord& record = list[i];
        if (!record.highlighted || !isTemporaryPath(record.path))
            continue;
        const std::string target = savedPathOf(record.path);
        std::string why;
        if (!replaceBy(record.path, target, why)) {
            op.message("Could not save " + target + ": " + why);
            continue;
        }
        record.path = target;
        record.attributes.path = target;
        record.fileSize = fileLength(target);
        record.editMarks = {};
        record.dropThumbnail();
        saved.push_back(i);
    }
    return saved;
}

std::vector<int> revertHighlighted(PictureList& list, Operator& op) {
    std::vector<int> reverted;
    for (int i = 0; i < list.count(); ++i) {
        PictureRecord& record = list[i];
        if (!record.highlighted || !isTemporaryPath(record.path))
            continue;
        const std::string saved = savedPathOf(record.path);
        PictureRecord fresh;
        if (!readPictureRecord(saved, fresh)) {
            op.message("Could not read " + saved + "; the working copy is kept.");
            continue;
        }
        std::string why;
        if (!removeFile(record.path, why)) {
            op.message("Could not delete " + record.path + ": " + why);
            continue;
        }
        fresh.id = record.id;
        fresh.revision = record.revision + 1;
        fresh.highlighted = record.highlighted;
        record = std::move(fresh);
        reverted.push_back(i);
    }
    return reverted;
}

Status renamePicture(PictureList& list, int index, std::string_view newName, Operator& op) {
    if (index < 0 || index >= list.count())
        return status::Failed;
    PictureRecord& record = list[index];
    const std::string extension = extensionOf(record.path);
    std::string name(trim(newName));
    if (name.size() > extension.size() &&
        equalsIgnoreCase(std::string_view(name).substr(name.size() - extension.size()), extension))
        name.resize(name.size() - extension.size());
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos) {
        op.message(kRenameFailed);
        return status::Failed;
    }
    const fs::path oldPath = record.path;
    const std::string newPath = (oldPath.parent_path() / (name + extension)).string();
    op.setWaitCursor(true);
    const bool ok = platform::renameNoReplace(oldPath, newPath);
    op.setWaitCursor(false);
    if (!ok) {
        op.message(kRenameFailed);
        return status::Failed;
    }
    const std::string oldSound = soundPathOf(record.path);
    record.path = newPath;
    record.attributes.path = newPath;
    if (record.isJpeg != 0 && record.hasSound != 0 && exists(oldSound) &&
        !platform::renameNoReplace(oldSound, soundPathOf(newPath))) {
        op.message(kSoundRenameFailed);
        return status::Failed;
    }
    return status::Ok;
}

Status beginEdit(PictureRecord& record, Operator* op) {
    if (isTemporaryPath(record.path))
        return status::Ok;
    const std::string working = workingPathOf(record.path);
    Bytes bytes;
    if (!platform::readWholeFile(record.path, bytes) ||
        !platform::writeFileAtomically(working, bytes)) {
        if (op)
            op->message("Could not make the working copy " + working + ".");
        return status::Failed;
    }
    record.path = working;
    record.attributes.path = working;
    record.editMarks[0] = 1;
    return status::Ok;
}

namespace {

// Runs `edit` on every highlighted picture after making its working copy.
template <typename Edit>
Status editHighlighted(PictureList& list, Operator* op, Edit edit) {
    Status result = status::Ok;
    for (PictureRecord& record : list.records()) {
        if (!record.highlighted)
            continue;
        if (beginEdit(record, op) != status::Ok || edit(record) != status::Ok) {
            result = status::Failed;
            continue;
        }
        record.editMarks[1] = 1;
        record.dropThumbnail();
    }
    return result;
}

} // namespace

Status rotateHighlighted(PictureList& list, int direction, Operator* op) {
    return editHighlighted(list, op,
                           [&](PictureRecord& r) { return RotatePicture(r, direction, op); });
}

Status whiteBalanceHighlighted(PictureList& list, Operator* op) {
    return editHighlighted(list, op, [&](PictureRecord& r) { return AutoWhiteBalance(r, op); });
}

Status brightnessOf(PictureRecord& record, float factor, Operator* op) {
    if (beginEdit(record, op) != status::Ok)
        return status::Failed;
    SetBrightness(record, factor);
    record.editMarks[1] = 1;
    record.dropThumbnail();
    return status::Ok;
}

Status noiseFilterHighlighted(PictureList& list, int iterations, Operator* op) {
    return editHighlighted(list, op, [&](PictureRecord& r) {
        SetNoiseFilter(std::span<PictureRecord>(&r, 1), iterations);
        return status::Ok;
    });
}

} // namespace kv::library
