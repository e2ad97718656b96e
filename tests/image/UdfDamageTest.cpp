// Damaged UDF images: genisoimage's bridge with one descriptor broken at a time (a tag's
// checksum, CRC or location, a length past the image, a directory that holds its own
// ancestor), and volumes whose partitions Kestrel does not read. Each is refused with the
// reason or read as far as it is sound, the notes saying what was left out.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"
#include "image/UdfVolume.h"
#include "io/ImageFile.h"
#include "support/TestFiles.h"
#include "support/UdfImages.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

struct Clean {
    const std::string& image;
    const UdfVolume& volume;
    const UdfTree& tree;

    const UdfEntry& entry(const std::string& path) const {
        for (size_t d = 0; d < tree.directories.size(); ++d) {
            for (const auto& entry : tree.directories[d].entries) {
                if ((tree.path(d) == "/" ? "" : tree.path(d)) + "/" + entry.name == path) {
                    return entry;
                }
            }
        }
        throw std::logic_error("no entry " + path);
    }
};

void flipByte(const std::string& image, uint64_t offset) {
    const auto byte = readBytesAt(image, offset, 1);
    overwriteBytes(image, offset, {static_cast<uint8_t>(byte[0] ^ 0x5A)});
}

// Changes the descriptor at `offset` and gives it a sound tag again, so that only what was
// changed is wrong.
void rewrite(const std::string& image, uint64_t offset, size_t length,
             const std::function<void(std::vector<uint8_t>&)>& change) {
    const auto text = readBytesAt(image, offset, length);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    change(bytes);
    sealUdfTag(bytes);
    overwriteBytes(image, offset, bytes);
}

uint64_t sectorOffset(uint32_t sector) {
    return uint64_t{sector} * 2048;
}

struct Damage {
    const char* name;
    std::function<void(const Clean&)> damage;
    const char* error;  // what the refusal says, or empty when the volume is read
    const char* note;   // what a note says
    size_t entries;     // listed in all, when the volume is read
    size_t directories;
    bool inMetadataPartition = false;  // the bridge moved into a metadata partition first
};

uint64_t imageSectors(const std::string& image) {
    return readFileBytes(image).size() / 2048;
}

const Damage kDamages[] = {
    {"AnchorChecksum", [](const Clean& c) { flipByte(c.image, sectorOffset(256) + 4); }, "",
     "The anchor volume descriptor pointer was read at sector", 10, 4},
    {"EveryAnchor",
     [](const Clean& c) {
         const auto last = imageSectors(c.image) - 1;
         for (const uint64_t sector : {uint64_t{256}, last}) {
             flipByte(c.image, sector * 2048 + 20);
         }
     },
     "holds no sound UDF anchor volume descriptor pointer", "", 0, 0},
    {"MainSequenceCrc",
     [](const Clean& c) {
         flipByte(c.image, sectorOffset(c.volume.descriptors.logicalVolumeSector) + 100);
     },
     "", "the reserve at sector", 10, 4},
    {"MainSequenceLocation",
     [](const Clean& c) {
         rewrite(c.image, sectorOffset(c.volume.descriptors.primarySector), 2048,
                 [](auto& bytes) { writeLe32(bytes, 12, 7); });
     },
     "", "its tag says it lies at 7", 10, 4},
    {"BothSequences",
     [](const Clean& c) {
         flipByte(c.image, sectorOffset(c.volume.descriptors.mainSequence.sector) + 4);
         flipByte(c.image, sectorOffset(c.volume.descriptors.reserveSequence.sector) + 4);
     },
     "nor the reserve", "", 0, 0},
    {"FileEntryLocation",
     [](const Clean& c) {
         rewrite(c.image, sectorOffset(c.entry("/DOCS/DATA.BIN").file.sector), 2048,
                 [](auto& bytes) { writeLe32(bytes, 12, 99); });
     },
     "", "/DOCS/DATA.BIN is left out: the file entry at sector", 9, 4},
    {"FileIdentifierCrc",
     [](const Clean& c) {
         flipByte(c.image, c.entry("/DOCS/DEEP/PART.TXT").identifierOffset + 40);
     },
     "", "/DOCS/DEEP is listed only in part: the identifier at byte", 9, 4},
    {"ExtentPastImage",
     [](const Clean& c) {
         const auto& file = c.entry("/DOCS/BIG.BIN").file;
         rewrite(c.image, sectorOffset(file.sector), 2048, [&](auto& bytes) {
             writeLe32(bytes, file.extents[0].descriptorOffset % 2048 + 4, 0x7FFFFFF0);
         });
     },
     "", "/DOCS/BIG.BIN is left out", 9, 4},
    {"ContinuationNotAnAllocationExtent",
     [](const Clean& c) {
         const auto& file = c.entry("/DOCS/BIG.BIN").file;
         rewrite(c.image, sectorOffset(file.sector), 2048, [&](auto& bytes) {
             writeLe32(bytes, file.extents[0].descriptorOffset % 2048, 0xC0000800);
             writeLe32(bytes, file.extents[0].descriptorOffset % 2048 + 4, file.block);
         });
     },
     "", "/DOCS/BIG.BIN is listed with the extents read before the continuation", 10, 4},
    {"DirectoryLengthPastImage",
     [](const Clean& c) {
         const auto& file = c.entry("/DOCS").file;
         rewrite(c.image, sectorOffset(file.sector), 2048, [&](auto& bytes) {
             writeLe32(bytes, file.informationLengthOffset % 2048, 1u << 30);
         });
     },
     "", "/DOCS cannot be listed", 3, 2},
    {"DirectoryLoop",
     [](const Clean& c) {
         const auto& docs = c.entry("/DOCS").file;
         rewrite(c.image, c.entry("/DOCS/DEEP/DEEPER").identifierOffset, 64,
                 [&](auto& bytes) { writeLe32(bytes, 24, docs.block); });
     },
     "", "/DOCS/DEEP/DEEPER names the entry of a directory already walked", 10, 3},
    {"SharedDirectoryData",
     [](const Clean& c) {
         const auto& docs = c.entry("/DOCS").file;
         const auto& deeper = c.entry("/DOCS/DEEP/DEEPER").file;
         rewrite(c.image, sectorOffset(deeper.sector), 2048, [&](auto& bytes) {
             writeLe32(bytes, deeper.informationLengthOffset % 2048,
                       static_cast<uint32_t>(docs.informationLength));
             writeLe32(bytes, deeper.extents[0].descriptorOffset % 2048, docs.extents[0].length);
             writeLe32(bytes, deeper.extents[0].descriptorOffset % 2048 + 4, docs.extents[0].block);
         });
     },
     "", "/DOCS/DEEP/DEEPER is not listed: its data shares sector", 10, 4},
    {"MetadataFileChecksum",
     [](const Clean& c) { flipByte(c.image, sectorOffset(c.volume.metadata->fileSector) + 4); }, "",
     "The metadata file is damaged (the file entry at sector", 10, 4, true},
    {"MetadataFileAndMirror",
     [](const Clean& c) {
         flipByte(c.image, sectorOffset(c.volume.metadata->fileSector) + 4);
         flipByte(c.image, sectorOffset(c.volume.metadata->mirrorSector) + 4);
     },
     "neither the metadata file nor its mirror can be read", "", 0, 0, true},
    {"PartitionPastImage",
     [](const Clean& c) {
         const auto sector = c.volume.descriptors.partitions[0].descriptorSector;
         rewrite(c.image, sectorOffset(sector), 2048,
                 [](auto& bytes) { writeLe32(bytes, 192, 0x40000000); });
     },
     "", "Partition 0 ends at sector", 10, 4},
    {"RootEntry",
     [](const Clean& c) { flipByte(c.image, sectorOffset(c.volume.root.sector) + 20); },
     "the root directory cannot be read", "", 0, 0},
};

void PrintTo(const Damage& damage, std::ostream* out) {
    *out << damage.name;
}

class UdfDamage : public testing::TestWithParam<Damage> {};

TEST_P(UdfDamage, IsRefusedOrReadAsFarAsItIsSound) {
    const auto& damage = GetParam();
    TempDir work;
    const auto image = makeUdfImage(work, kUdfMakers[4]);
    ASSERT_TRUE(image);
    if (damage.inMetadataPartition) {
        ASSERT_TRUE(moveIntoMetadataPartition(*image));
    }
    {
        auto file = ImageFile::openForReading(*image).value();
        const auto volume = readUdfVolume(file).value();
        const auto tree = readUdfTree(file, volume);
        damage.damage({*image, volume, tree});
    }
    auto file = ImageFile::openForReading(*image).value();
    auto volume = readUdfVolume(file);
    if (*damage.error) {
        ASSERT_FALSE(volume);
        EXPECT_NE(volume.error().message.find(damage.error), std::string::npos)
            << volume.error().message;
        return;
    }
    ASSERT_TRUE(volume) << volume.error().message;
    const auto tree = readUdfTree(file, *volume);
    auto notes = volume->notes;
    notes.insert(notes.end(), tree.notes.begin(), tree.notes.end());
    ASSERT_EQ(notes.size(), 1u) << testing::PrintToString(notes);
    EXPECT_NE(notes[0].find(damage.note), std::string::npos) << notes[0];
    size_t entries = 0;
    for (const auto& directory : tree.directories) {
        entries += directory.entries.size();
    }
    EXPECT_EQ(entries, damage.entries);
    EXPECT_EQ(tree.directories.size(), damage.directories);
}

INSTANTIATE_TEST_SUITE_P(Bridge, UdfDamage, testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

struct Refused {
    const char* name;
    const char* make;
    const char* error;
};

const Refused kRefused[] = {
    {"VirtualAllocationTable", "mkudffs --new-file --media-type=dvdr --udfrev=0x0250 {image} 300",
     "uses a virtual allocation table (VAT), which Kestrel does not read"},
    {"SparablePartition", "mkudffs --new-file --media-type=cdrw --udfrev=0x0201 {image} 2000",
     "uses a sparable partition (sparing tables), which Kestrel does not read"},
};

void PrintTo(const Refused& refused, std::ostream* out) {
    *out << refused.name;
}

class UdfRefused : public testing::TestWithParam<Refused> {};

TEST_P(UdfRefused, SaysWhatTheVolumeUses) {
    TempDir work;
    const auto image = makeUdfImage(work, {GetParam().name, GetParam().make, "", "", false});
    ASSERT_TRUE(image);
    auto volume = readUdfVolume(ImageFile::openForReading(*image).value());
    ASSERT_FALSE(volume);
    EXPECT_NE(volume.error().message.find(GetParam().error), std::string::npos)
        << volume.error().message;
}

INSTANTIATE_TEST_SUITE_P(Makers, UdfRefused, testing::ValuesIn(kRefused),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UdfDepth, ATreeDeeperThan64LevelsIsWalked64LevelsDown) {
    TempDir work;
    auto deepest = work.path() / "tree";
    for (int level = 0; level < 70; ++level) {
        deepest /= "d";
    }
    std::filesystem::create_directories(deepest);
    const auto image = work.file("deep.img");
    ASSERT_TRUE(commandOutput("genisoimage -quiet -udf -D -o '" + image + "' '" +
                              work.file("tree") + "' 2>&1"));
    auto file = ImageFile::openForReading(image).value();
    const auto tree = readUdfTree(file, readUdfVolume(file).value());
    ASSERT_EQ(tree.directories.size(), 65u);
    EXPECT_EQ(tree.path(64).size(), 2u * 64);
    ASSERT_EQ(tree.notes.size(), 1u);
    EXPECT_NE(tree.notes[0].find("lies more than 64 levels down"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
