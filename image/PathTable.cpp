#include "image/PathTable.h"

#include <algorithm>
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

DirectoryTree::DirectoryTree(uint32_t rootLba)
    : directories_{{1, 0, rootLba, {}, 0, 0}}, depths_{0}, firstAt_{{rootLba, 1}} {}

const PathTableDirectory& DirectoryTree::add(uint16_t parent, uint32_t extentLba,
                                             std::string identifier) {
    const auto number = static_cast<DirectoryNumber>(directories_.size() + 1);
    if (parent == 0 || parent >= number) {
        parent = 1;
    }
    if (const DirectoryNumber repeated = directories_[parent - 1].sameAs; repeated != 0) {
        parent = static_cast<uint16_t>(repeated);
    }
    if (depths_[parent - 1] >= kMaxDirectoryDepth) {
        parent = 1;
    }
    const auto first = firstAt_.try_emplace(extentLba, number).first->second;
    directories_.push_back(
        {number, parent, extentLba, std::move(identifier), first == number ? 0 : first, 0});
    depths_.push_back(static_cast<uint8_t>(depths_[parent - 1] + 1));
    return directories_.back();
}

std::vector<PathTableDirectory> DirectoryTree::take() {
    std::vector<uint32_t> starts;
    for (const auto& directory : directories_) {
        if (directory.sameAs == 0) {
            starts.push_back(directory.extentLba);
        }
    }
    std::ranges::sort(starts);
    for (auto& directory : directories_) {
        const auto next = std::ranges::upper_bound(starts, directory.extentLba);
        directory.nextExtentLba = next == starts.end() ? 0 : *next;
    }
    return std::move(directories_);
}

DirectoryPlace placeOf(const PathTableDirectory& directory) {
    const uint64_t offset = uint64_t{directory.extentLba} << kSectorShift;
    return directory.nextExtentLba == 0
               ? DirectoryPlace(offset)
               : DirectoryPlace(offset, uint64_t{directory.nextExtentLba} << kSectorShift);
}

std::vector<std::vector<DirectoryNumber>> subdirectoryIndex(
    const std::vector<PathTableDirectory>& directories) {
    std::vector<std::vector<DirectoryNumber>> index(directories.size() + 1);
    for (const auto& directory : directories) {
        if (directory.number != 1 && directory.parent < index.size()) {
            index[directory.parent].push_back(directory.number);
        }
    }
    return index;
}

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
    DirectoryTree directories(readLe32(*root, 0));

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
        const uint16_t parent = readLe16(*header, 6);
        const uint32_t extentLba = readLe32(*header, 2);
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
        directories.add(parent, extentLba, std::string(identifier->begin(), identifier->end()));
        position += kRecordHeaderLength + identifierLength + identifierLength % 2;
    }
    return directories.take();
}

}  // namespace kestrel
