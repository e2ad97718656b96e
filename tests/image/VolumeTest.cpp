#include "image/Volume.h"

#include <gtest/gtest.h>

#include <functional>

#include "image/ByteOrder.h"
#include "ops/SessionFixtures.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

constexpr uint64_t kDescriptor = 16 * 2048;
constexpr uint64_t kCdPathTable = 19 * 2048;

uint32_t le32At(const std::string& image, uint64_t offset) {
    const auto bytes = readBytesAt(image, offset, 4);
    return readLe32(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), 4), 0);
}

// The CD path table moved to sector 18 as the descriptor says, with a record behind the size
// the descriptor gives it; sector 19 no longer starts with the root.
void movePathTable(const std::string& image) {
    const uint32_t size = le32At(image, kDescriptor + 132);
    const auto table = readBytesAt(image, kCdPathTable, size);
    overwriteBytes(image, 18 * 2048, Bytes(table.begin(), table.end()));
    overwriteBytes(image, 18 * 2048 + size, {1, 0, 30, 0, 0, 0, 1, 0, 'X', 0});
    overwriteBytes(image, kCdPathTable, Bytes(10, 0));
    overwriteBytes(image, kDescriptor + 140, {18, 0, 0, 0});
}

// The root's ".." rewritten as a record of 34 bytes, its "." still of 48.
void shortenRootParentRecord(const std::string& image) {
    const uint64_t root = uint64_t{le32At(image, kDescriptor + 156 + 2)} * 2048;
    const auto sector = readBytesAt(image, root, 2048);
    std::string rewritten = sector.substr(0, 48) + sector.substr(48, 34) + sector.substr(96);
    rewritten[48] = 34;
    rewritten.resize(2048, '\0');
    overwriteBytes(image, root, Bytes(rewritten.begin(), rewritten.end()));
}

using Volume = SessionTest;

TEST_F(Volume, IsReadThroughTheLayoutItHoldsWithTheSameTreeAndListings) {
    struct Case {
        std::string name;
        Layout layout;
        uint8_t systemUse;  // 14 gives "." and ".." of 48 bytes
        std::function<void()> damage;
        LayoutKind kind;
        bool walked = false;
    };
    const auto none = [] {};
    const std::vector<Case> cases = {
        {"CdFixed", Layout::CdRomXa, 14, none, LayoutKind::Fixed},
        {"DvdFixed", Layout::Dvd, 14, none, LayoutKind::Fixed},
        {"MovedPathTable", Layout::CdRomXa, 14, [&] { movePathTable(image); },
         LayoutKind::Descriptor},
        {"DvdDotRecordsOf34Bytes", Layout::Dvd, 0, none, LayoutKind::Descriptor},
        {"ParentRecordOf34Bytes", Layout::CdRomXa, 14, [&] { shortenRootParentRecord(image); },
         LayoutKind::Descriptor},
        {"PathTableWithoutTheRoot", Layout::CdRomXa, 14,
         [&] {
             overwriteBytes(image, kCdPathTable, {0, 0});
         },
         LayoutKind::Descriptor, true},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const auto builder = sampleVolume(test.layout, test.systemUse);
        builder.writeTo(image);
        test.damage();
        auto session = openSession(image, copy);
        const auto& volume = session.volume();
        EXPECT_EQ(volume.isDvd, test.layout == Layout::Dvd);
        EXPECT_EQ(volume.volumeSectors, builder.volumeSectors());
        EXPECT_EQ(volume.layout, test.kind);
        EXPECT_EQ(volume.treeWalked, test.walked);
        using Node = std::tuple<DirectoryNumber, uint16_t, uint32_t, std::string, DirectoryNumber>;
        std::vector<Node> tree;
        for (const auto& directory : volume.directories) {
            tree.emplace_back(directory.number, directory.parent, directory.extentLba,
                              directory.identifier, directory.sameAs);
        }
        std::vector<Node> expected = {{1, 0, builder.directoryLba(1), "", 0},
                                      {2, 1, builder.directoryLba(2), "DOCS", 0},
                                      {3, 1, builder.directoryLba(3), "ODD", 0},
                                      {4, 2, builder.directoryLba(4), "DEEP", 0}};
        if (test.walked) {
            // DEEP's record naming DOCS, its parent, is walked to as what it is: a repeat.
            expected.emplace_back(5, 4, builder.directoryLba(2), "UP", 2);
        }
        EXPECT_EQ(tree, expected);
        EXPECT_EQ(listedNames(session, 1), (Rows{"C.TXT", "B.TXT", "A.TXT"}));
        EXPECT_EQ(listedNames(session, 2), Rows{"MANUAL.TXT"});
        EXPECT_EQ(listedNames(session, 4).size(), 60u);
    }
}

TEST_F(Volume, IsRefusedWithAReasonWhenItCannotBeRead) {
    struct Refusal {
        std::string name;
        std::function<void()> damage;
        ErrorKind kind;
        std::string reason;
    };
    const std::vector<Refusal> cases = {
        {"Missing", [&] { std::filesystem::remove(image); }, ErrorKind::Io,
         "No such file or directory"},
        {"Folder",
         [&] { std::filesystem::remove(image), std::filesystem::create_directory(image); },
         ErrorKind::Io, ""},
        {"Empty", [&] { std::filesystem::resize_file(image, 0); }, ErrorKind::CorruptImage,
         "too short"},
        {"EndsBeforeTheDiscKind", [&] { std::filesystem::resize_file(image, 0x8401); },
         ErrorKind::CorruptImage, "too short"},
        {"BlocksOf512Bytes",
         [&] {
             movePathTable(image), overwriteBytes(image, kDescriptor + 128, {0, 2, 2, 0});
         },
         ErrorKind::CorruptImage, "logical blocks of 512 bytes"},
        {"NeitherLayout",
         [&] {
             overwriteBytes(image, kDescriptor + 1, {'X'});
             overwriteBytes(image, kCdPathTable, {0, 0});
         },
         ErrorKind::CorruptImage, "holds no ISO 9660 volume"},
        {"NoRootRecord", [&] { overwriteBytes(image, 0x809C, {0}); }, ErrorKind::CorruptImage,
         "no readable root directory record"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::filesystem::remove_all(image);
        sampleVolume(Layout::CdRomXa, 14).writeTo(image);
        test.damage();
        const auto refused = Session::open(image, copy);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().kind, test.kind);
        for (const auto& wanted : {image, test.reason}) {
            EXPECT_NE(refused.error().message.find(wanted), std::string::npos)
                << refused.error().message;
        }
    }
}

TEST_F(Volume, TheLabelIsTheVolumeIdentifiersFirstWord) {
    // Read as a line: a newline ends it and is kept.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"MY DISC", "MY"},
        {"GAME_DISC_1", "GAME_DISC_1"},
        {" LEADING", "NO LABEL"},
        {std::string("\0X", 2), "NO LABEL"},
        {"AB\nCD", "AB\n"}};
    for (const auto& [identifier, label] : cases) {
        IsoBuilder(Layout::CdRomXa, identifier).writeTo(image);
        EXPECT_EQ(openSession(image, copy).volume().label, label) << identifier;
    }
}

// DIR1 holds DIR2, and so on: a chain far deeper than the walk from the root goes.
TEST_F(Volume, TheWalkFromTheRootStopsSixtyFourLevelsDown) {
    IsoBuilder builder(Layout::CdRomXa, "DEEP");
    int parent = IsoBuilder::kRoot;
    for (int level = 1; level <= 70; ++level) {
        parent = builder.addDirectory(parent, "DIR" + std::to_string(level));
    }
    builder.writeTo(image);
    overwriteBytes(image, kCdPathTable, {0, 0});
    auto session = openSession(image, copy);
    ASSERT_TRUE(session.volume().treeWalked);
    ASSERT_EQ(session.volume().directories.size(), 65u);
    EXPECT_EQ(session.volume().directories.back().identifier, "DIR64");
    EXPECT_EQ(session.volume().directories.back().parent, 64);
}

}  // namespace
}  // namespace kestrel
