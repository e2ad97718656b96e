// The state of the open image that every handler and background operation shares. It lives
// from start to exit and is never saved.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "image/LayerCopyPath.h"

namespace kestrel {

// Path-table number of a directory; the root is 1 and 0 means "no directory".
using DirectoryNumber = uint32_t;

struct EditorState {
    // The image the user chose; file data is always read and written here.
    std::string selectedIsoPath;
    // The file whose volume is presented: the chosen image, or the layer-1 copy.
    std::string imagePath;
    // The copy of the start of a dual-layer image's layer-1 volume.
    std::string layerCopyPath = defaultLayerCopyPath();

    // Indexed by directory number; slot 0 stays 0.
    std::vector<uint16_t> dirParent;
    std::vector<uint64_t> dirExtent;  // byte offset of each extent in the presented file

    int64_t layer0Bytes = 0;
    // LBA x 2048 of the first record the latest listing read: the most bytes the dual-layer
    // check copies. In 64 bits, so that an LBA of 1,048,576 or more cannot turn it negative.
    uint64_t layerCopyLength = 0;
    bool layerCopyMade = false;
    bool isDvd = false;
    // Set by Extract, cleared by CANCEL, read by the extraction worker.
    std::atomic<uint8_t> extractActive{0};

    uint32_t masterLba = 0;
    uint32_t masterSize = 0;
    int32_t tocLba = 0;  // -1 marks a cancelled Modify TOC dialog
    int32_t tocSize = 0;
    std::string tocName;

    // Browse: a new image is chosen and its layer 0 is presented.
    void chooseImage(const std::string& path);
    // After a volume could not be read: no directory of an earlier volume stays reachable.
    void forgetVolume();
    bool presentsLayerOne() const { return imagePath != selectedIsoPath; }
    // Byte offset in the chosen image of the data of a file whose record (in the presented
    // volume) gives extent `lba`.
    int64_t layerDataOffset(uint32_t lba) const;
    // Directory 0, and a number the open volume does not have, is an empty directory.
    bool hasDirectory(DirectoryNumber number) const;
};

}  // namespace kestrel
