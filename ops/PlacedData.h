// Writing a file's new bytes where a placement put them: the data, zeros to the end of its last
// sector, the image grown first where they lie past its end, and the volume's new size in
// every descriptor that records it; a hybrid image's partition tables grow with the image.
// What Replace and Add share.
#pragma once

#include <cstdint>
#include <string>

#include "journal/JournalEdit.h"
#include "ops/BlockTransfer.h"
#include "ops/ReplacePlacement.h"

namespace kestrel {

struct PlacedData {
    Placement placement;
    std::string sourcePath;      // the file whose bytes are written
    uint64_t size = 0;           // its size when it was chosen; a change since is refused
    std::string name;            // how the progress names it
    uint32_t volumeSectors = 0;  // as the volume records it now
    // Added to an LBA x 2048 to find its data in the image. On layer 1 (an offset other than
    // 0) the volume's new size is also written in the layer-1 copy's descriptors.
    uint64_t layerOffset = 0;
};

// Writes `data` as part of `edit` and syncs the image; returns the bytes the image file grew
// by. A failure leaves what was written to the caller's rollback.
Result<uint64_t> writePlacedData(JournalEdit& edit, const PlacedData& data,
                                 OperationObserver& observer);

// The size of the file at `path`, read now.
Result<uint64_t> sourceSize(const std::string& path);

}  // namespace kestrel
