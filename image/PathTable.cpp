#include "image/PathTable.h"

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "image/WindowedReader.h"

namespace kestrel {

namespace {

// Length, extended-attribute length, extent LBA, parent number.
constexpr size_t kRecordHeaderLength = 8;
// The root's record is read from its extent on: extent, parent number, identifier, pad.
constexpr size_t kRootRemainder = 8;

}  // namespace

Result<std::vector<PathTableDirectory>> readPathTable(const ImageFile& image,
                                                      uint64_t rootExtentOffset) {
    WindowedReader reader(image);
    auto root = reader.view(rootExtentOffset, 4);
    if (!root) {
        return root.error();
    }
    if (root->size() < 4) {
        return Error{ErrorKind::CorruptImage,
                     image.path() +
                         " is too short to be a disc image: it ends before its path "
                         "table at byte " +
                         std::to_string(rootExtentOffset - 2)};
    }
    std::vector<PathTableDirectory> directories{{1, 0, readLe32(*root, 0), {}}};

    uint64_t position = rootExtentOffset + kRootRemainder;
    while (directories.size() < kMaxDirectories) {
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
