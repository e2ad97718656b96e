#include "ops/RecordPatch.h"

#include <array>

#include "image/ByteOrder.h"
#include "image/DirectoryRecord.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

bool holdsRecord(const DirectoryRecord& record, const RecordLocation& location) {
    return record.identifier == location.identifier && record.extentLba == location.extentLba &&
           record.dataLength == location.dataLength;
}

Result<void> checkRecordAt(const ImageWriter& file, uint64_t offset,
                           const RecordLocation& location) {
    std::array<uint8_t, record::kMaximumLength> onDisk{};
    auto read = file.readAt(offset, onDisk);
    if (!read) {
        return read.error();
    }
    const auto current = parseDirectoryRecord(std::span(onDisk).first(*read));
    if (!current || !holdsRecord(*current, location)) {
        return Error{ErrorKind::Changed, "The directory record at byte " + std::to_string(offset) +
                                             " of " + file.path() + " no longer holds " +
                                             location.identifier +
                                             " as it was read; nothing was written"};
    }
    return {};
}

// The bytes are on the disk when this succeeds.
Result<void> writeRecordFields(ImageWriter& file, uint64_t recordOffset,
                               const RecordFields& fields) {
    std::array<uint8_t, 16> bytes{};
    writeBothEndian(std::span(bytes).first<8>(), fields.lba);
    if (fields.size) {
        writeBothEndian(std::span(bytes).last<8>(), *fields.size);
    }
    const auto patch = std::span<const uint8_t>(bytes).first(fields.size ? 16 : 8);
    if (auto written = file.writeAt(recordOffset + record::kExtentLba, patch); !written) {
        return written;
    }
    return file.finish();
}

}  // namespace

Result<void> requireOneExtent(const RecordLocation& location) {
    if (!location.isChained()) {
        return {};
    }
    const size_t extents = location.extents.size();
    const std::string stored = extents > 1 ? " is stored in " + std::to_string(extents) +
                                                 " extents, a directory record each"
                                           : "'s record is marked as one extent of several";
    return Error{ErrorKind::InvalidInput,
                 nameOf(location.identifier) + stored +
                     ", and one LBA and size cannot describe a file of several extents; nothing "
                     "was written"};
}

Result<void> patchDirectoryRecord(JournalEdit& edit, const RecordLocation& location,
                                  const RecordFields& fields) {
    auto image = ImageWriter::openUserData(edit);
    if (!image) {
        return image.error();
    }
    if (auto held = checkRecordAt(*image, location.recordOffset, location); !held) {
        return held;
    }
    return writeRecordFields(*image, location.recordOffset, fields);
}

Result<void> patchMirroredRecord(JournalEdit& edit, uint64_t layerOffset,
                                 const RecordLocation& location, const RecordFields& fields) {
    const std::string* copyPath = edit.files().pathOf(JournalTarget::LayerCopy);
    if (copyPath == nullptr) {
        return Error{ErrorKind::NotFound, "The layer-1 copy of " + edit.files().imagePath() +
                                              " was not made; nothing was written"};
    }
    auto copy = ImageWriter::open(edit, JournalTarget::LayerCopy);
    if (!copy) {
        return copy.error();
    }
    auto image = ImageWriter::open(edit, JournalTarget::Image);
    if (!image) {
        return image.error();
    }
    const uint64_t imageOffset = location.recordOffset + layerOffset;
    if (auto held = checkRecordAt(*copy, location.recordOffset, location); !held) {
        return held;
    }
    if (auto held = checkRecordAt(*image, imageOffset, location); !held) {
        return held;
    }
    if (auto written = writeRecordFields(*image, imageOffset, fields); !written) {
        return written;
    }
    return writeRecordFields(*copy, location.recordOffset, fields);
}

namespace {

Result<void> patchTarget(JournalEdit& edit, const RecordTargets& targets,
                         const RecordLocation& location, const RecordFields& fields) {
    const size_t mark = edit.mark();
    auto patched = targets.layerOffset
                       ? patchMirroredRecord(edit, *targets.layerOffset, location, fields)
                       : patchDirectoryRecord(edit, location, fields);
    if (patched || edit.mark() == mark) {
        return patched;
    }
    return edit.rollBackAfter(patched.error(), mark, "the record");
}

}  // namespace

Result<PatchOutcome> patchRecordTargets(JournalEdit& edit, const RecordTargets& targets,
                                        const RecordFields& fields) {
    if (targets.udfOnly) {
        const size_t mark = edit.mark();
        auto patched = patchUdfTwin(edit, *targets.udfTwin, fields.lba, fields.size);
        if (!patched) {
            return edit.mark() == mark ? patched.error()
                                       : edit.rollBackAfter(patched.error(), mark, "the UDF entry");
        }
        return PatchOutcome{std::nullopt, true};
    }
    if (auto patched = patchTarget(edit, targets, targets.primary, fields); !patched) {
        return patched.error();
    }
    const auto notUpdated = [&targets](const std::string& why) {
        return "The Joliet view of " + nameOf(targets.primary.identifier) +
               " (what Windows shows) was not updated: " + why;
    };
    PatchOutcome outcome;
    if (targets.twinMissing) {
        outcome.viewNotUpdated = notUpdated(*targets.twinMissing);
    } else if (targets.jolietTwin) {
        if (auto patched = patchTarget(edit, targets, *targets.jolietTwin, fields); !patched) {
            outcome.viewNotUpdated = notUpdated(patched.error().message);
        }
    }
    std::optional<std::string> udfMissing = targets.udfMissing;
    if (targets.udfTwin) {
        const size_t mark = edit.mark();
        auto patched = patchUdfTwin(edit, *targets.udfTwin, fields.lba, fields.size);
        outcome.udfTwinPatched = patched.ok();
        if (!patched) {
            udfMissing = edit.mark() == mark
                             ? patched.error().message
                             : edit.rollBackAfter(patched.error(), mark, "the UDF entry").message;
        }
    }
    if (udfMissing) {
        const std::string udf =
            "The UDF view of " + nameOf(targets.primary.identifier) +
            " (what players and most systems read) was not updated: " + *udfMissing;
        outcome.viewNotUpdated =
            outcome.viewNotUpdated ? *outcome.viewNotUpdated + "\n\n" + udf : udf;
    }
    return outcome;
}

}  // namespace kestrel
