#include "image/EditorState.h"

#include "image/IsoLayout.h"

namespace kestrel {

void EditorState::chooseImage(const std::string& path) {
    selectedIsoPath = path;
    layerCopyMade = false;
    imagePath = selectedIsoPath;
}

void EditorState::forgetVolume() {
    dirParent.clear();
    dirExtent.clear();
    isDvd = false;
}

int64_t EditorState::layerDataOffset(uint32_t lba) const {
    const auto offset = static_cast<int64_t>(static_cast<uint64_t>(lba) << kSectorShift);
    return presentsLayerOne() ? offset + layer0Bytes - static_cast<int64_t>(kLayerOneLead) : offset;
}

bool EditorState::hasDirectory(DirectoryNumber number) const {
    return number != 0 && number < dirExtent.size();
}

}  // namespace kestrel
