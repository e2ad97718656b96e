#include "ops/RecordPatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/SessionFixtures.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

// An image with a Joliet tree, as genisoimage -J makes it: each plain file has a twin record
// there, under its UCS-2 name, pointing at the same data.
class JolietTwinTest : public SessionTest {
protected:
    void SetUp() override {
        if (!haveCommand("genisoimage")) {
            GTEST_SKIP() << "genisoimage is not installed";
        }
        const auto tree = dir.path() / "tree";
        fs::create_directories(tree / "DOCS");
        std::ofstream(tree / "README.TXT") << "read me";
        std::ofstream(tree / "A File With A Long Name.text") << "the master";
        std::ofstream(tree / "DOCS" / "MANUAL.TXT") << "manual";
        ASSERT_TRUE(
            commandOutput("genisoimage -quiet -J -o '" + image + "' '" + tree.string() + "' 2>&1"));
    }

    // The record whose identifier is `name` in UCS-2, as in the Joliet tree.
    uint64_t jolietRecord(const std::string& name) {
        std::string wide;
        for (const char c : name) {
            wide += std::string{'\0', c};
        }
        const auto bytes = readFileBytes(image);
        const auto at = std::search(bytes.begin(), bytes.end(), wide.begin(), wide.end());
        EXPECT_NE(at, bytes.end()) << name;
        return static_cast<uint64_t>(at - bytes.begin()) - 33;
    }
};

TEST_F(JolietTwinTest, FollowsEveryRecordEditAndAMissingTwinIsReported) {
    const uint64_t twin = jolietRecord("README.TXT");
    const uint64_t manualTwin = jolietRecord("MANUAL.TXT");
    // MANUAL.TXT's twin points elsewhere: no Joliet record shares its data any more.
    overwriteBytes(image, manualTwin + 2, recordFields(3));
    // A version suffix is not shown in the name.
    overwriteBytes(image, jolietRecord("A File With A Long Name.text") + 33 + 2 * 26,
                   {0, ';', 0, '1'});
    auto session = openSession(image, copy);
    ASSERT_TRUE(session.volume().features.joliet);
    const auto listing = session.listDirectory(IsoBuilder::kRoot);
    ASSERT_TRUE(listing);
    std::vector<std::string> names;
    for (const auto& row : listing->rows) {
        names.push_back(row.name + "|" + row.longName);
    }
    std::ranges::sort(names);
    EXPECT_EQ(names, (std::vector<std::string>{"A_FILE_W.TEX|A File With A Long Name.te",
                                               "README.TXT|README.TXT"}));

    const auto master = chooseMasterFile(session, IsoBuilder::kRoot, "A_FILE_W.TEX");
    ASSERT_TRUE(master);
    const auto readme = session.findRecord(IsoBuilder::kRoot, "README.TXT");
    ASSERT_TRUE(readme);
    auto expected = readFileBytes(image);
    const auto expectBoth = [&](const Bytes& fields) {
        expected = withBytesAt(expected, readme->recordOffset + 2, fields);
        expected = withBytesAt(expected, twin + 2, fields);
        EXPECT_EQ(readFileBytes(image), expected);
    };
    auto run = relinkFiles(session, IsoBuilder::kRoot, {"README.TXT"}, *master, true);
    ASSERT_FALSE(run.failure) << run.failure->error.message;
    expectBoth(recordFields(master->lba, master->size));
    // Found again by the data it now shares with the master, and by its name.
    const auto patched = session.findRecord(IsoBuilder::kRoot, "README.TXT");
    ASSERT_TRUE(patched);
    const auto edited = modifyToc(session, IsoBuilder::kRoot, *patched, {7, 9});
    ASSERT_TRUE(edited) << edited.error().message;
    expectBoth(recordFields(7, 9));

    const DirectoryNumber docs = 2;
    const auto manual = session.findRecord(docs, "MANUAL.TXT");
    ASSERT_TRUE(manual);
    run = relinkFiles(session, docs, {"MANUAL.TXT"}, *master, false);
    EXPECT_EQ(run.patched, Rows{"MANUAL.TXT"});
    ASSERT_EQ(run.viewsNotUpdated.size(), 1u);
    EXPECT_NE(run.viewsNotUpdated[0].find("The Joliet view of MANUAL.TXT"), std::string::npos);
    EXPECT_NE(run.viewsNotUpdated[0].find("no single Joliet record"), std::string::npos);
    expected = withBytesAt(expected, manual->recordOffset + 2, recordFields(master->lba));
    EXPECT_EQ(readFileBytes(image), expected);
}

}  // namespace
}  // namespace kestrel
