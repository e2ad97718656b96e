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
    const uint64_t sectors = (uint64_t{file.record->dataLength} + kSectorSize - 1) / kSectorSize;
    const auto covered = snapshot.structures->overlapping(file.record->extentLba, sectors);
    if (!covered) {
        return std::nullopt;
    }
    return file.rowName + " covers " + sectorsText(covered->lba, covered->sectors) + ", " +
           snapshot.structures->whatIs(*covered);
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
    if (const auto covered = structuresConfirmed ? std::nullopt : structureCovered(*this, file)) {
        return Error{ErrorKind::InvalidInput,
                     *covered +
                         ", one of the volume's own structures, and writing over it "
                         "could leave the volume unreadable; nothing was done to it"};
    }
    return {};
}

Result<uint64_t> OperationSnapshot::dataOffset(const SnapshotFile& file, uint64_t imageSize) const {
    const auto& record = file.record.value();
    const uint64_t offset = (uint64_t{record.extentLba} << kSectorShift) + layerOffset;
    const auto place = " of " + std::to_string(record.dataLength) + " bytes at LBA " +
                       std::to_string(record.extentLba);
    // A file of no bytes runs past no end, wherever its extent is said to lie.
    if (record.dataLength != 0 && offset + record.dataLength > imageSize) {
        return Error{ErrorKind::OutOfRange,
                     file.rowName + "'s data" + place + " runs past the end of " + imagePath() +
                         " (" + std::to_string(imageSize) + " bytes); nothing was done to it"};
    }
    return offset;
}

uint64_t OperationSnapshot::dataBytes() const {
    uint64_t total = 0;
    for (const auto& file : files) {
        total += file.record ? file.record->dataLength : 0;
    }
    return total;
}

uint64_t OperationSnapshot::savedBytes() const {
    if (!imageLayout) {
        return dataBytes();
    }
    uint64_t sectors = 0;
    for (const auto& file : files) {
        sectors += file.record
                       ? (uint64_t{file.record->dataLength} + kUserDataSize - 1) / kUserDataSize
                       : 0;
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
    return openContainer({imagePath(), imageLayout, imageName}, std::move(*file));
}

}  // namespace kestrel
