#include "ops/Extraction.h"

#include "io/ImageFile.h"
#include "ops/OutputFile.h"

namespace kestrel {

namespace {

Result<TransferEnd> extractFile(const OperationSnapshot& snapshot, const SnapshotFile& file,
                                const std::string& folder, OperationObserver& observer) {
    auto path = extractionPath(folder, file.rowName);
    if (!path) {
        return path.error();
    }
    auto image = ImageFile::openForReading(snapshot.imagePath);
    if (!image) {
        return image.error();
    }
    const auto dataOffset = snapshot.dataOffsetIn(file, *image);
    if (!dataOffset) {
        return dataOffset.error();
    }
    auto output = OutputFile::create(*path, {snapshot.imagePath, snapshot.recordsPath});
    if (!output) {
        return output.error();
    }

    observer.beginFile(file.rowName);
    auto moved =
        transferBlocks(file.record->dataLength, observer, true,
                       [&](uint64_t done, std::span<uint8_t> block) -> Result<void> {
                           const auto got = image->readAt(*dataOffset + done, block);
                           if (!got) {
                               return got.error();
                           }
                           if (*got < block.size()) {
                               return Error{ErrorKind::OutOfRange,
                                            snapshot.imagePath + " ended at byte " +
                                                std::to_string(*dataOffset + done + *got) +
                                                " while " + file.rowName + " was being extracted"};
                           }
                           return output->write(block);
                       });
    if (!moved) {
        return output->discard(moved.error());
    }
    // A stopped file is put in place too: the blocks moved before the stop are kept.
    if (auto placed = output->commit(); !placed) {
        return placed.error();
    }
    return *moved;
}

}  // namespace

Result<std::string> extractionPath(const std::string& folder, const std::string& rowName) {
    // Names come from the image, so they may try to leave the folder or hold what no file
    // name can.
    if (rowName.empty() || rowName == "." || rowName == ".." ||
        rowName.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        return Error{ErrorKind::CorruptImage,
                     "its name is not one a file in a folder can have here (it is empty, \".\" "
                     "or \"..\", or holds \"/\" or a zero byte); nothing was written"};
    }
    if (folder.empty()) {
        return Error{ErrorKind::NotFound, "No folder was chosen to extract " + rowName + " to"};
    }
    return folder.back() == '/' ? folder + rowName : folder + "/" + rowName;
}

OperationReport extractFiles(const OperationSnapshot& snapshot, const std::string& folder,
                             OperationObserver& observer) {
    OperationReport report;
    for (const auto& file : snapshot.files) {
        if (observer.stopRequested()) {
            report.stopped = true;
            break;
        }
        const auto ended = extractFile(snapshot, file, folder, observer);
        if (!ended) {
            report.failures.push_back({file.rowName, ended.error()});
        } else if (*ended == TransferEnd::Stopped) {
            report.stopped = true;
            break;
        }
    }
    return report;
}

}  // namespace kestrel
