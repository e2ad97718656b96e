#include "ops/RecordPatch.h"

#include <array>

#include "image/ByteOrder.h"
#include "image/DirectoryRecord.h"
#include "image/DirectoryWalk.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

Error notFound(const std::string& rowName, const std::string& imagePath) {
    return Error{ErrorKind::NotFound,
                 rowName + " is no longer in its directory of " + imagePath + "; nothing was done"};
}

bool holdsRecord(const DirectoryRecord& record, const RecordLocation& location) {
    return record.identifier == location.identifier && record.extentLba == location.extentLba &&
           record.dataLength == location.dataLength;
}

}  // namespace

Result<RecordLocation> findDirectoryRecord(const std::string& imagePath, uint64_t extentOffset,
                                           const std::string& rowName) {
    std::optional<RecordLocation> found;
    auto walked = walkDirectory(imagePath, extentOffset, [&](const WalkedRecord& walked) {
        if (!walked.record.isListed() || walked.record.name() != rowName) {
            return WalkStep::Continue;
        }
        found = RecordLocation{walked.offset, walked.record.extentLba, walked.record.dataLength,
                               walked.record.identifier};
        return WalkStep::Stop;
    });
    if (!walked) {
        return walked.error();
    }
    if (!found) {
        return notFound(rowName, imagePath);
    }
    return *found;
}

Result<RecordLocation> findDirectoryRecord(const EditorState& state, DirectoryNumber directory,
                                           const std::string& rowName) {
    if (!state.hasDirectory(directory)) {
        return notFound(rowName, state.imagePath);
    }
    return findDirectoryRecord(state.imagePath, state.dirExtent[directory], rowName);
}

Result<void> patchDirectoryRecord(const std::string& imagePath, const RecordLocation& location,
                                  uint32_t lba, std::optional<uint32_t> size) {
    auto image = ImageWriter::open(imagePath);
    if (!image) {
        return image.error();
    }
    std::array<uint8_t, record::kMaximumLength> onDisk{};
    auto read = image->readAt(location.recordOffset, onDisk);
    if (!read) {
        return read.error();
    }
    const auto current = parseDirectoryRecord(std::span(onDisk).first(*read));
    if (!current || !holdsRecord(*current, location)) {
        return Error{ErrorKind::Changed, "The directory record at byte " +
                                             std::to_string(location.recordOffset) + " of " +
                                             imagePath + " no longer holds " + location.identifier +
                                             " as it was read; nothing was written"};
    }

    std::array<uint8_t, 16> fields{};
    writeBothEndian(std::span(fields).first<8>(), lba);
    if (size) {
        writeBothEndian(std::span(fields).last<8>(), *size);
    }
    const auto patch = std::span<const uint8_t>(fields).first(size ? 16 : 8);
    if (auto written = image->writeAt(location.recordOffset + record::kExtentLba, patch);
        !written) {
        return written;
    }
    return image->finish();
}

}  // namespace kestrel
