// The map and whois of UDF images from other makers: each area udfinfo places and each
// structure the UDF reader finds is named where it lies, by whois and by the structures that
// guard edits; on a volume with UDF alone every file's extents are mapped where the reader
// places them, on a bridge they are the ISO 9660 files'; nothing overlaps but what lies in
// the metadata file, and the extents and gaps cover the volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "image/ExtentMap.h"
#include "image/UdfStructures.h"
#include "image/Volume.h"
#include "image/VolumeStructures.h"
#include "io/ImageFile.h"
#include "support/TestFiles.h"
#include "support/UdfImages.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

struct MapCase {
    const UdfMaker* maker = nullptr;
    bool metadataPartition = false;
};

void PrintTo(const MapCase& mapCase, std::ostream* out) {
    *out << mapCase.maker->name << (mapCase.metadataPartition ? "InMetadataPartition" : "");
}

struct Area {
    uint64_t lba = 0;
    uint64_t sectors = 0;
    std::string what;  // as whois names it
};

// What whois names each area udfinfo reports but the partition space, which holds the files.
const std::map<std::string, std::string> kUdfinfoNames = {
    {"VRS", "volume descriptors"},
    {"MVDS", "UDF main volume descriptor sequence"},
    {"RVDS", "UDF reserve volume descriptor sequence"},
    {"LVID", "UDF logical volume integrity sequence"},
    {"ANCHOR", "UDF anchor volume descriptor pointer"},
};

std::vector<Area> udfinfoAreas(const std::string& image) {
    const auto output = commandOutput("udfinfo '" + image + "' 2>/dev/null");
    EXPECT_TRUE(output);
    std::vector<Area> areas;
    std::istringstream lines(output.value_or(""));
    const std::regex area(R"(start=(\d+), blocks=(\d+), type=(\w+))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, area) && match[3] != "PSPACE") {
            areas.push_back(
                {std::stoull(match[1]), std::stoull(match[2]), kUdfinfoNames.at(match[3])});
        }
    }
    EXPECT_FALSE(areas.empty());
    return areas;
}

std::string withoutArticle(const std::string& what) {
    return what.substr(what.find(' ') + 1);
}

// "LBA sectors path" for each extent of each file, as the UDF reader places them.
std::vector<std::string> readerFileRows(const UdfTree& tree) {
    std::vector<std::string> rows;
    for (size_t d = 0; d < tree.directories.size(); ++d) {
        const auto prefix = tree.path(d) == "/" ? "/" : tree.path(d) + "/";
        for (const auto& entry : tree.directories[d].entries) {
            for (const auto& extent :
                 entry.directory ? std::vector<UdfExtent>{} : entry.file.extents) {
                rows.push_back(std::to_string(extent.firstSector) + " " +
                               std::to_string((extent.length + 2047) / 2048) + " " + prefix +
                               entry.name);
            }
        }
    }
    std::ranges::sort(rows);
    return rows;
}

std::vector<std::string> mapFileRows(const ExtentMap& map) {
    std::vector<std::string> rows;
    for (const auto& extent : map.extents) {
        for (const auto& owner : extent.kind == ExtentKind::File && extent.sectors > 0
                                     ? extent.owners
                                     : std::vector<ExtentOwner>{}) {
            rows.push_back(std::to_string(extent.lba) + " " + std::to_string(extent.sectors) + " " +
                           owner.path);
        }
    }
    std::ranges::sort(rows);
    return rows;
}

bool named(const ExtentMap& map, uint64_t lba, const std::string& what) {
    const auto lines = whoisLines(map, static_cast<uint32_t>(lba));
    return std::ranges::any_of(lines, [&](const std::string& line) {
        return line.ends_with('\t' + what) || line.ends_with('\t' + what + " [shared]");
    });
}

class UdfMap : public testing::TestWithParam<MapCase> {};

TEST_P(UdfMap, NamesEveryStructureMapsEveryFileAndCoversTheVolume) {
    const UdfMaker& maker = *GetParam().maker;
    const bool metadataPartition = GetParam().metadataPartition;
    TempDir work;
    const auto made = makeUdfImage(work, maker);
    ASSERT_TRUE(made) << maker.make;
    ASSERT_TRUE(!metadataPartition || moveIntoMetadataPartition(*made));
    auto image = ImageFile::openForReading(*made).value();
    const auto volume = readVolume(image);
    ASSERT_TRUE(volume) << volume.error().message;
    EXPECT_EQ(volume->udfOnly, std::string(maker.name).find("Bridge") == std::string::npos);
    const auto udf = readUdfFileSystem(image);
    ASSERT_TRUE(udf);
    const auto map = mapVolume(image, *volume);
    ASSERT_TRUE(map) << map.error().message;
    const auto guards = VolumeStructures::read(image, *volume);
    ASSERT_TRUE(guards) << guards.error().message;

    std::vector<Area> areas = udfinfoAreas(*made);
    for (const auto& structure : udfStructures(image, *udf)) {
        areas.push_back({structure.lba, structure.sectors, withoutArticle(structure.what)});
    }
    for (const auto& area : areas) {
        for (uint64_t lba = area.lba; lba < area.lba + area.sectors; ++lba) {
            EXPECT_TRUE(named(*map, lba, area.what)) << area.what << " at " << lba;
            EXPECT_TRUE(guards->noteForLba(static_cast<uint32_t>(lba)))
                << area.what << " at " << lba;
        }
    }

    const auto readerRows = readerFileRows(udf->tree);
    EXPECT_EQ(readerRows.empty(), !maker.withFiles);
    if (volume->udfOnly) {
        EXPECT_EQ(mapFileRows(*map), readerRows);
    }
    for (const auto& row : readerRows) {
        const auto extent = row.substr(0, row.find(' ', row.find(' ') + 1));
        EXPECT_TRUE(std::ranges::any_of(mapFileRows(*map), [&](const std::string& mapped) {
            return mapped.starts_with(extent + ' ');
        })) << row;
    }

    // In LBA order, each extent starts where those before it end, but what the metadata file holds.
    uint64_t covered = 0;
    std::string coveredBy;
    for (const auto& extent : map->extents) {
        if (extent.sectors == 0) {
            continue;
        }
        const bool inMetadataFile =
            coveredBy == "UDF metadata file" || extentText(extent) == "UDF metadata file";
        EXPECT_TRUE(extent.lba == covered || (extent.lba < covered && inMetadataFile))
            << extentText(extent) << " at " << extent.lba << " after " << coveredBy;
        if (extent.lba + extent.sectors > covered) {
            covered = extent.lba + extent.sectors;
            coveredBy = extentText(extent);
        }
    }
    EXPECT_EQ(covered, map->volumeSectors);
}

std::vector<MapCase> mapCases() {
    std::vector<MapCase> cases;
    for (const auto& maker : kUdfMakers) {
        cases.push_back({&maker, false});
    }
    cases.push_back({&kUdfMakers[4], true});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Makers, UdfMap, testing::ValuesIn(mapCases()), [](const auto& info) {
    return std::string(info.param.maker->name) +
           (info.param.metadataPartition ? "InMetadataPartition" : "");
});

}  // namespace
}  // namespace kestrel
