#include "ops/OperationSnapshot.h"

#include <unordered_map>

#include "image/DirectoryWalk.h"
#include "image/IsoLayout.h"

namespace kestrel {

Result<uint64_t> OperationSnapshot::dataOffset(const SnapshotFile& file, uint64_t imageSize) const {
    const auto& record = file.record.value();
    const auto offset =
        static_cast<int64_t>(uint64_t{record.extentLba} << kSectorShift) + layerOffset;
    const auto place = " of " + std::to_string(record.dataLength) + " bytes at LBA " +
                       std::to_string(record.extentLba);
    if (offset < 0) {
        return Error{ErrorKind::CorruptImage, file.rowName + "'s data" + place +
                                                  " would lie before the start of " + imagePath};
    }
    if (static_cast<uint64_t>(offset) + record.dataLength > imageSize) {
        return Error{ErrorKind::OutOfRange,
                     file.rowName + "'s data" + place + " runs past the end of " + imagePath +
                         " (" + std::to_string(imageSize) + " bytes); nothing was done to it"};
    }
    return static_cast<uint64_t>(offset);
}

OperationSnapshot takeSnapshot(const EditorState& state, DirectoryNumber directory,
                               const std::vector<std::string>& rowNames) {
    OperationSnapshot snapshot;
    snapshot.imagePath = state.selectedIsoPath;
    snapshot.recordsPath = state.imagePath;
    snapshot.layerOffset = state.layerDataOffset(0);

    // The first record listed under each name is the one its row stands for.
    std::unordered_map<std::string, std::optional<RecordLocation>> wanted;
    for (const auto& name : rowNames) {
        wanted.emplace(name, std::nullopt);
    }
    if (!state.hasDirectory(directory)) {
        for (const auto& name : rowNames) {
            snapshot.files.push_back({name, recordNotFound(name, state.imagePath)});
        }
        return snapshot;
    }
    auto walked =
        walkDirectory(state.imagePath, state.dirExtent[directory], [&](const WalkedRecord& walked) {
            if (walked.record.isListed()) {
                auto found = wanted.find(walked.record.name());
                if (found != wanted.end() && !found->second) {
                    found->second =
                        RecordLocation{walked.offset, walked.record.extentLba,
                                       walked.record.dataLength, walked.record.identifier};
                }
            }
            return WalkStep::Continue;
        });
    for (const auto& name : rowNames) {
        const auto& found = wanted.at(name);
        if (!walked) {
            snapshot.files.push_back({name, walked.error()});
        } else {
            snapshot.files.push_back({name, found ? Result<RecordLocation>(*found)
                                                  : recordNotFound(name, state.imagePath)});
        }
    }
    return snapshot;
}

}  // namespace kestrel
