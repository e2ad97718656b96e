#include "ops/OperationSnapshot.h"

#include "image/IsoLayout.h"
#include "io/ContainerOpen.h"

namespace kestrel {

namespace {

std::optional<std::string> structureCovered(const OperationSnapshot& snapshot,
                                            const SnapshotFile& file) {
    if (!snapshot.structures || !file.record) {
        return std::nullopt;
    }
    for (const auto& extent : fileExtents(*file.record)) {
        const uint64_t sectors = (uint64_t{extent.length} + kSectorSize - 1) / kSectorSize;
        if (const auto covered = snapshot.structures->overlapping(extent.lba, sectors)) {
            return file.rowName + " covers " + sectorsText(covered->lba, covered->sectors) + ", " +
                   snapshot.structures->whatIs(*covered);
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::string> OperationSnapshot::structuresCovered() const {
    std::vector<std::string> covered;
    for (const auto& file : files) {
        if (auto structure = structureCovered(*this, file)) {
            covered.push_back(std::move(*structure));
        }
    }
    return covered;
}

Result<void> OperationSnapshot::mayWriteOver(const SnapshotFile& file) const {
    if (file.record && file.record->embeddedOffset) {
        return Error{ErrorKind::InvalidInput,
                     file.rowName +
                         "'s data is held inside its UDF file entry, whose checksums a write "
                         "there would break; nothing was done to it"};
    }
    if (const auto covered = structuresConfirmed ? std::nullopt : structureCovered(*this, file)) {
        return Error{ErrorKind::InvalidInput,
                     *covered +
                         ", one of the volume's own structures, and writing over it "
                         "could leave the volume unreadable; nothing was done to it"};
    }
    return {};
}

Result<std::vector<DataPiece>> OperationSnapshot::dataPieces(const SnapshotFile& file,
                                                             uint64_t imageSize) const {
    const RecordLocation& location = file.record.value();
    if (location.embeddedOffset) {
        if (*location.embeddedOffset + location.dataLength > imageSize) {
            return Error{ErrorKind::OutOfRange, file.rowName + "'s data runs past the end of " +
                                                    imagePath() + "; nothing was done to it"};
        }
        return std::vector<DataPiece>{{*location.embeddedOffset, location.dataLength}};
    }
    const auto extents = fileExtents(location);
    std::vector<DataPiece> pieces;
    for (size_t i = 0; i < extents.size(); ++i) {
        const Extent& extent = extents[i];
        const uint64_t offset = (uint64_t{extent.lba} << kSectorShift) + layerOffset;
        // An extent of no bytes runs past no end, wherever it is said to lie.
        if (extent.length != 0 && offset + extent.length > imageSize) {
            const auto which = extents.size() == 1 ? "'s data"
                                                   : "'s extent " + std::to_string(i + 1) + " of " +
                                                         std::to_string(extents.size());
            return Error{ErrorKind::OutOfRange,
                         file.rowName + which + " of " + std::to_string(extent.length) +
                             " bytes at LBA " + std::to_string(extent.lba) +
                             " runs past the end of " + imagePath() + " (" +
                             std::to_string(imageSize) + " bytes); nothing was done to it"};
        }
        pieces.push_back({offset, extent.length});
    }
    return pieces;
}

Result<uint64_t> OperationSnapshot::dataOffset(const SnapshotFile& file, uint64_t imageSize) const {
    const auto pieces = dataPieces(file, imageSize);
    if (!pieces) {
        return pieces.error();
    }
    return pieces->front().offset;
}

uint64_t OperationSnapshot::dataBytes() const {
    uint64_t total = 0;
    for (const auto& file : files) {
        total += file.record ? fileSize(*file.record) : 0;
    }
    return total;
}

uint64_t OperationSnapshot::savedBytes() const {
    if (!imageLayout) {
        return dataBytes();
    }
    uint64_t sectors = 0;
    for (const auto& file : files) {
        for (const auto& extent : file.record ? fileExtents(*file.record) : std::vector<Extent>{}) {
            sectors += (uint64_t{extent.length} + kUserDataSize - 1) / kUserDataSize;
        }
    }
    return sectors * kRawSectorSize;
}

EditSummary OperationSnapshot::summary(EditKind kind) const {
    EditSummary summary{kind, 0, dataBytes(), {}, 0, 0};
    for (const auto& file : files) {
        if (file.record) {
            summary.name = summary.fileCount++ == 0 ? file.rowName : summary.name;
        }
    }
    return summary;
}

Result<JournalEdit> OperationSnapshot::beginEdit(EditKind kind) const {
    return beginJournalEdit(journal, keepUndo, summary(kind), {image, nullptr, imageLayout});
}

Result<std::unique_ptr<ImageSource>> OperationSnapshot::openImage() const {
    auto file = image->duplicate();
    if (!file) {
        return file.error();
    }
    file->readThrough(imagePending);
    return openContainer({imagePath(), imageLayout, imageName}, std::move(*file));
}

}  // namespace kestrel
