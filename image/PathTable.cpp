#include "image/PathTable.h"

#include <array>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "image/WindowedReader.h"

namespace kestrel {

namespace {

// Length, extended-attribute length, extent LBA, parent number.
constexpr size_t kRecordHeaderLength = 8;
// The root's record: its header and its one-byte identifier with the pad byte.
constexpr size_t kRootRecordLength = 10;

}  // namespace

Result<bool> pathTableHoldsRoot(const ImageSource& image, uint64_t tableOffset, uint32_t rootLba) {
    std::array<uint8_t, kRootRecordLength> root{};
    auto read = image.readAt(tableOffset, root);
    if (!read) {
        return read.error();
    }
    return *read == root.size() && root[0] == 1 && readLe32(root, 2) == rootLba &&
           readLe16(root, 6) == 1 && root[8] == 0;
}

Result<std::vector<PathTableDirectory>> readPathTable(const ImageSource& image,
                                                      uint64_t tableOffset,
                                                      std::optional<uint64_t> tableSize) {
    WindowedReader reader(image);
    auto root = reader.view(tableOffset + 2, 4);
    if (!root) {
        return root.error();
    }
    if (root->size() < 4) {
        return Error{ErrorKind::CorruptImage,
                     image.path() +
                         " is too short to be a disc image: it ends before its path "
                         "table at byte " +
                         std::to_string(tableOffset)};
    }
    std::vector<PathTableDirectory> directories{{1, 0, readLe32(*root, 0), {}}};

    const uint64_t tableEnd = tableSize ? tableOffset + *tableSize : UINT64_MAX;
    uint64_t position = tableOffset + kRootRecordLength;
    while (directories.size() < kMaxDirectories && position + kRecordHeaderLength <= tableEnd) {
        auto header = reader.view(position, kRecordHeaderLength);
        if (!header) {
            return header.error();
        }
        if (header->empty() || (*header)[0] == 0 || header->size() < kRecordHeaderLength) {
            break;
        }
        const uint8_t identifierLength = (*header)[0];
        PathTableDirectory directory{static_cast<DirectoryNumber>(directories.size() + 1),
                                     readLe16(*header, 6),
                                     readLe32(*header, 2),
                                     {}};
        if (directory.parent == 0 || directory.parent > directories.size()) {
            directory.parent = 1;
        }
        if (position + kRecordHeaderLength + identifierLength > tableEnd) {
            break;
        }
        auto identifier = reader.view(position + kRecordHeaderLength, identifierLength);
        if (!identifier) {
            return identifier.error();
        }
        if (identifier->size() < identifierLength) {
            break;
        }
        directory.identifier.assign(identifier->begin(), identifier->end());
        directories.push_back(std::move(directory));
        position += kRecordHeaderLength + identifierLength + identifierLength % 2;
    }
    return directories;
}

}  // namespace kestrel
