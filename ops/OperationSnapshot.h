// What a background operation works on, taken when it starts: the files' records, found in
// the presented volume, and where their data lies in the chosen image. The user may browse,
// switch directories or re-select while it runs; the run works only from this snapshot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/EditorState.h"
#include "image/Result.h"
#include "ops/RecordPatch.h"

namespace kestrel {

struct SnapshotFile {
    std::string rowName;
    Result<RecordLocation> record;
};

struct OperationSnapshot {
    std::string imagePath;    // the chosen image, where file data is read and written
    std::string recordsPath;  // the presented file the records were read from
    int64_t layerOffset = 0;  // added to an extent's LBA x 2048 to find its data in the image
    std::vector<SnapshotFile> files;  // in list order

    // The byte offset of a found file's data in the image; refused when the data would lie
    // before the image's start or run past its end at `imageSize`.
    Result<uint64_t> dataOffset(const SnapshotFile& file, uint64_t imageSize) const;
};

// Finds each row's record in directory `directory` of the presented volume, in one walk.
// A row whose record cannot be found carries the reason instead.
OperationSnapshot takeSnapshot(const EditorState& state, DirectoryNumber directory,
                               const std::vector<std::string>& rowNames);

}  // namespace kestrel
