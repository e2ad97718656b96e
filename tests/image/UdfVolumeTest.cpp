// UDF volumes made by other tools (mkudffs at each revision it writes, genisoimage's bridge,
// the same image with its ISO 9660 side cleared, pycdlib's UDF 2.60 bridge), read by this
// editor and by 7-Zip's UDF reader: both must see the same entries, sizes and times, and the
// bytes of each file's extents must be what 7-Zip extracts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "image/UdfVolume.h"
#include "io/ImageFile.h"
#include "support/TestFiles.h"
#include "support/UdfImages.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

struct Row {
    std::string path;
    bool folder = false;
    std::string size;  // empty for a folder, as 7-Zip prints it
    std::string modified;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.path << (row.folder ? "/" : "") << " " << row.size << " " << row.modified;
}

std::vector<Row> sevenZipRows(const std::string& image) {
    const auto output = commandOutput("TZ=UTC 7z l -slt -tudf '" + image + "'");
    EXPECT_TRUE(output);
    std::vector<Row> rows;
    std::istringstream lines(output.value_or("").substr(output.value_or("").find("----------")));
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find(" = ");
        if (equals == std::string::npos) {
            continue;
        }
        const auto value = line.substr(equals + 3);
        if (line.starts_with("Path = ")) {
            rows.push_back({value, false, "", ""});
        } else if (line.starts_with("Folder = ")) {
            rows.back().folder = value == "+";
        } else if (line.starts_with("Size = ")) {
            rows.back().size = value;
        } else if (line.starts_with("Modified = ")) {
            rows.back().modified = value.substr(0, 19);
        }
    }
    std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.path < b.path; });
    return rows;
}

std::string utcText(const UdfTimestamp& time) {
    const auto seconds = time.utcSeconds();
    if (!seconds) {
        return {};
    }
    const auto since = static_cast<time_t>(*seconds);
    std::tm parts{};
    gmtime_r(&since, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

// The file's bytes as its extents (or its entry) hold them.
std::vector<uint8_t> extentBytes(const ImageSource& image, const UdfFileEntry& file) {
    std::vector<uint8_t> bytes;
    if (file.allocation == UdfAllocation::Embedded) {
        bytes.resize(file.informationLength);
        EXPECT_EQ(image.readAt(file.embeddedOffset, bytes).value(), bytes.size());
        return bytes;
    }
    for (const auto& extent : file.extents) {
        std::vector<uint8_t> part(extent.length);
        if (extent.type == UdfExtentType::Recorded) {
            EXPECT_EQ(image.readAt(uint64_t{extent.firstSector} * 2048, part).value(), part.size());
        }
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    EXPECT_GE(bytes.size(), file.informationLength);
    bytes.resize(file.informationLength);
    return bytes;
}

class UdfWitness : public testing::TestWithParam<UdfMaker> {};

TEST_P(UdfWitness, ListingAndExtractedBytesAgreeWithSevenZip) {
    const auto& maker = GetParam();
    TempDir work;
    const auto made = makeUdfImage(work, maker);
    ASSERT_TRUE(made) << maker.make;
    const auto& image = *made;
    auto file = ImageFile::openForReading(image);
    ASSERT_TRUE(file) << file.error().message;
    auto volume = readUdfVolume(*file);
    ASSERT_TRUE(volume) << volume.error().message;
    EXPECT_EQ(volume->revisionText(), maker.revision);
    EXPECT_EQ(volume->logicalVolumeIdentifier, maker.label);
    EXPECT_TRUE(volume->integritySector);
    EXPECT_EQ(volume->notes, std::vector<std::string>{});

    const auto tree = readUdfTree(*file, *volume);
    EXPECT_EQ(tree.notes, std::vector<std::string>{});
    ASSERT_TRUE(commandOutput("7z x -y -tudf -o'" + work.file("extracted") + "' '" + image +
                              "' >/dev/null"));
    std::vector<Row> rows;
    for (size_t d = 0; d < tree.directories.size(); ++d) {
        const auto prefix = tree.path(d) == "/" ? "" : tree.path(d).substr(1) + "/";
        for (const auto& entry : tree.directories[d].entries) {
            const auto path = prefix + entry.name;
            rows.push_back({path, entry.directory,
                            entry.directory ? "" : std::to_string(entry.file.informationLength),
                            utcText(entry.file.modified)});
            if (!entry.directory) {
                EXPECT_EQ(extentBytes(*file, entry.file),
                          readFileBytes(work.file("extracted/" + path)))
                    << path;
            }
        }
    }
    std::sort(rows.begin(), rows.end(), [](auto& a, auto& b) { return a.path < b.path; });
    EXPECT_EQ(rows, sevenZipRows(image));
    EXPECT_EQ(rows.size(), maker.withFiles ? kUdfTreeEntries : 0u);
}

INSTANTIATE_TEST_SUITE_P(Makers, UdfWitness, testing::ValuesIn(kUdfMakers),
                         [](const auto& info) { return std::string(info.param.name); });

// Every position the reader gives for an entry, and what it says of it.
std::vector<std::string> positions(const UdfTree& tree) {
    std::vector<std::string> rows;
    for (size_t d = 0; d < tree.directories.size(); ++d) {
        for (const auto& entry : tree.directories[d].entries) {
            const auto& file = entry.file;
            std::ostringstream row;
            row << tree.path(d) << "/" << entry.name << " " << entry.directory << entry.hidden
                << " @" << entry.identifierOffset << " entry " << file.sector << " "
                << file.extended << " " << file.descriptorLength << " length "
                << file.informationLength << " @" << file.informationLengthOffset << " @"
                << file.blocksRecordedOffset << " " << utcText(file.modified) << " "
                << int(file.allocation) << " @" << file.embeddedOffset;
            for (const auto& extent : file.extents) {
                row << " [" << int(extent.type) << " " << extent.length << " at "
                    << extent.firstSector << " @" << extent.descriptorOffset << "]";
            }
            rows.push_back(row.str());
        }
    }
    return rows;
}

TEST(UdfMetadataPartition, ListsItsImageAsTheImageItWasMadeFromSectorForSector) {
    TempDir work;
    const auto bridge = makeUdfImage(work, kUdfMakers[4]);
    ASSERT_TRUE(bridge);
    const auto moved = work.file("metadata.img");
    std::filesystem::copy_file(*bridge, moved);
    ASSERT_TRUE(moveIntoMetadataPartition(moved));

    auto before = ImageFile::openForReading(*bridge).value();
    auto after = ImageFile::openForReading(moved).value();
    const auto original = readUdfVolume(before).value();
    auto volume = readUdfVolume(after);
    ASSERT_TRUE(volume) << volume.error().message;
    EXPECT_EQ(volume->revisionText(), "UDF 2.50");
    ASSERT_TRUE(volume->metadata);
    const auto& partition = original.descriptors.partitions[0];
    EXPECT_EQ(volume->metadata->fileSector, partition.startSector + 1);
    // The mirror lies behind the partition as it was, which grew over it and its copy.
    EXPECT_EQ(volume->metadata->mirrorSector, partition.startSector + partition.sectors);
    EXPECT_FALSE(volume->metadata->mirrorRuns.empty());
    EXPECT_EQ(volume->fileSetSector, original.fileSetSector);
    EXPECT_EQ(volume->root.sector, original.root.sector);
    const auto tree = readUdfTree(after, *volume);
    EXPECT_EQ(tree.notes, std::vector<std::string>{});
    // The files' entries now name their data by long descriptors, 16 bytes each for 8, but
    // for one that holds its data itself, behind its fixed fields.
    auto wanted = readUdfTree(before, original);
    for (auto& directory : wanted.directories) {
        for (auto& entry : directory.entries) {
            auto& file = entry.file;
            if (entry.name == "PART.TXT") {
                file.allocation = UdfAllocation::Embedded;
                file.descriptorLength = 176 + static_cast<uint32_t>(file.informationLength);
                file.embeddedOffset = uint64_t{file.sector} * 2048 + 176;
                file.extents.clear();
            } else if (!entry.directory) {
                file.allocation = UdfAllocation::Long;
                file.descriptorLength += 8 * static_cast<uint32_t>(file.extents.size());
            }
        }
    }
    EXPECT_EQ(positions(tree), positions(wanted));
}

}  // namespace
}  // namespace kestrel
