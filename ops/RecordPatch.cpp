#include "ops/RecordPatch.h"

#include <array>

#include "image/ByteOrder.h"
#include "image/DirectoryRecord.h"
#include "image/DirectoryWalk.h"
#include "image/IsoLayout.h"
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

// Offsets 2-9 get `lba` and, when `size` is given, 10-17 get it, in both byte orders; the
// bytes are on the disk when this succeeds.
Result<void> writeRecordFields(ImageWriter& file, uint64_t recordOffset, uint32_t lba,
                               std::optional<uint32_t> size) {
    std::array<uint8_t, 16> fields{};
    writeBothEndian(std::span(fields).first<8>(), lba);
    if (size) {
        writeBothEndian(std::span(fields).last<8>(), *size);
    }
    const auto patch = std::span<const uint8_t>(fields).first(size ? 16 : 8);
    if (auto written = file.writeAt(recordOffset + record::kExtentLba, patch); !written) {
        return written;
    }
    return file.finish();
}

}  // namespace

Error recordNotFound(const std::string& rowName, const std::string& imagePath) {
    return Error{ErrorKind::NotFound,
                 rowName + " is no longer in its directory of " + imagePath + "; nothing was done"};
}

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
        return recordNotFound(rowName, imagePath);
    }
    return *found;
}

Result<RecordLocation> findDirectoryRecord(const EditorState& state, DirectoryNumber directory,
                                           const std::string& rowName) {
    if (!state.hasDirectory(directory)) {
        return recordNotFound(rowName, state.imagePath);
    }
    return findDirectoryRecord(state.imagePath, state.dirExtent[directory], rowName);
}

Result<void> patchDirectoryRecord(const std::string& imagePath, const RecordLocation& location,
                                  uint32_t lba, std::optional<uint32_t> size) {
    auto image = ImageWriter::open(imagePath);
    if (!image) {
        return image.error();
    }
    if (auto held = checkRecordAt(*image, location.recordOffset, location); !held) {
        return held;
    }
    return writeRecordFields(*image, location.recordOffset, lba, size);
}

Result<void> patchDirectoryRecord(const EditorState& state, const RecordLocation& location,
                                  uint32_t lba, std::optional<uint32_t> size) {
    if (!state.presentsLayerOne()) {
        return patchDirectoryRecord(state.imagePath, location, lba, size);
    }
    // The record was found in the layer-1 copy; the image holds it 32768 bytes before the
    // end of layer 0 plus its offset in the copy. Both must still hold it before either is
    // written, and the image is written first, so the copy never shows what the image lacks.
    auto copy = ImageWriter::open(state.imagePath);
    if (!copy) {
        return copy.error();
    }
    auto image = ImageWriter::open(state.selectedIsoPath);
    if (!image) {
        return image.error();
    }
    const uint64_t imageOffset =
        location.recordOffset + static_cast<uint64_t>(state.layer0Bytes) - kLayerOneLead;
    if (auto held = checkRecordAt(*copy, location.recordOffset, location); !held) {
        return held;
    }
    if (auto held = checkRecordAt(*image, imageOffset, location); !held) {
        return held;
    }
    if (auto written = writeRecordFields(*image, imageOffset, lba, size); !written) {
        return written;
    }
    return writeRecordFields(*copy, location.recordOffset, lba, size);
}

}  // namespace kestrel
