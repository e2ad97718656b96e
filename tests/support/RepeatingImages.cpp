#include "support/RepeatingImages.h"

#include <cstdint>
#include <fstream>
#include <stdexcept>

#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel::test {

namespace {

constexpr size_t kPathTableEntries = 65535;
constexpr uint64_t kDescriptor = 16 * 2048;

uint32_t le32At(const std::vector<uint8_t>& bytes, uint64_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

// Both byte orders of a field, or one.
void put32(std::vector<uint8_t>& bytes, uint64_t at, uint32_t value, bool bothOrders) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
        if (bothOrders) {
            bytes[at + 7 - i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
}

}  // namespace

void writeOneDirectoryNamedAgainAndAgain(const std::string& path) {
    IsoBuilder builder(Layout::CdRomXa, "AGAIN");
    const int d = builder.addDirectory(IsoBuilder::kRoot, "D");
    for (int i = 0; i < 8799; ++i) {
        builder.addFile(d, recordOnly("F" + std::to_string(10000 + i).substr(1) + ".TXT;1", 0, 0));
    }
    for (size_t entry = 3; entry <= kPathTableEntries; ++entry) {
        builder.addPathTableEntry(IsoBuilder::kRoot, "R", d);
    }
    builder.writeTo(path);
}

void writeRootNamedAgainAndAgain(const std::string& path) {
    const TempDir folder;
    const auto tree = folder.path() / "tree";
    std::filesystem::create_directories(tree / "DOCS" / "DEEP");
    std::ofstream(tree / "README.TXT") << "read me\n";
    std::ofstream(tree / "DOCS" / "MANUAL.TXT") << "the manual\n";
    std::ofstream(tree / "DOCS" / "DEEP" / "LOW.TXT") << "low\n";
    if (!commandOutput("genisoimage -quiet -o '" + path + "' '" + tree.string() + "' 2>&1")) {
        throw std::runtime_error("genisoimage could not make " + path);
    }
    auto bytes = readFileBytes(path);
    // The table as it is, then entries naming the root, behind the volume.
    const uint32_t size = le32At(bytes, kDescriptor + 132);
    const uint64_t at = uint64_t{le32At(bytes, kDescriptor + 140)} * 2048;
    std::vector<uint8_t> table(bytes.begin() + static_cast<ptrdiff_t>(at),
                               bytes.begin() + static_cast<ptrdiff_t>(at + size));
    size_t entries = 0;
    size_t end = 0;
    while (end < table.size() && table[end] != 0) {
        end += 8 + table[end] + table[end] % 2;
        ++entries;
    }
    table.resize(end);
    const uint32_t root = le32At(bytes, kDescriptor + 156 + 2);
    for (; entries < kPathTableEntries; ++entries) {
        table.insert(table.end(), {1, 0, uint8_t(root), uint8_t(root >> 8), uint8_t(root >> 16),
                                   uint8_t(root >> 24), 1, 0, 'R', 0});
    }
    const auto tableLba = static_cast<uint32_t>((bytes.size() + 2047) / 2048);
    bytes.resize(uint64_t{tableLba} * 2048);
    bytes.insert(bytes.end(), table.begin(), table.end());
    bytes.resize((bytes.size() + 2047) / 2048 * 2048);
    put32(bytes, kDescriptor + 80, static_cast<uint32_t>(bytes.size() / 2048), true);
    put32(bytes, kDescriptor + 132, static_cast<uint32_t>(table.size()), true);
    put32(bytes, kDescriptor + 140, tableLba, false);
    writeFileBytes(path, bytes);
}

void writeChainInsideADirectory(const std::string& path) {
    IsoBuilder builder(Layout::CdRomXa, "CHAIN");
    // "." and ".." of 34 bytes: the descriptor layout, whose walk skips two records in each.
    builder.setSystemUseLength(0);
    const int d = builder.addDirectory(IsoBuilder::kRoot, "D");
    for (int i = 0; i < 4599; ++i) {
        builder.addFile(d, recordOnly("F" + std::to_string(10000 + i).substr(1) + ".TXT;1", 0, 0));
    }
    for (uint32_t sector = 1; sector < 100; ++sector) {
        builder.addPathTableEntry(static_cast<uint16_t>(d + sector - 1), "C", d, sector);
    }
    builder.writeTo(path);
}

}  // namespace kestrel::test
