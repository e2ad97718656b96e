// Bridge images made by other tools: a record edit reaches the UDF file system too, so that
// 7-Zip's UDF reader and pycdlib's see what isoinfo sees, every other file keeps its bytes, udfinfo
// reads the edited image, and undo gives the image back byte for byte. Sectors added at the
// volume's end join the UDF partition, and the anchor that ended the volume ends it again, so 7-Zip
// reads a replacement placed there too, and a file added with its entry behind its data.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "ops/AddFile.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/Replace.h"
#include "ops/Session.h"
#include "support/TestFiles.h"
#include "support/UdfImages.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

// A listed file found by its size, which is unique in the tree.
struct Found {
    DirectoryNumber directory = 0;
    std::string row;
};

Found fileOfSize(Session& session, uint32_t size) {
    for (DirectoryNumber n = 1; n <= session.volume().directories.size(); ++n) {
        const auto listing = session.listDirectory(n);
        for (const auto& row : listing ? listing->rows : std::vector<ListRow>{}) {
            if (row.dataLength == size) {
                return {n, row.name};
            }
        }
    }
    ADD_FAILURE() << "no file of " << size << " bytes";
    return {};
}

struct Quiet : OperationObserver {
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

std::string contents(const fs::path& path) {
    const auto bytes = readFileBytes(path.string());
    return {bytes.begin(), bytes.end()};
}

// Replaces the file of `size` bytes with the file at `path`; returns the views not updated.
std::function<std::optional<std::string>(Session&)> replacing(uint32_t size,
                                                              const std::string& path) {
    return [size, path](Session& session) -> std::optional<std::string> {
        const auto file = fileOfSize(session, size);
        const auto location = session.findRecord(file.directory, file.row);
        Quiet quiet;
        const auto replaced = replaceFile(session, file.directory, *location, path, {}, quiet);
        EXPECT_TRUE(replaced);
        return replaced->patch.viewNotUpdated;
    };
}

class UdfBridge : public ::testing::TestWithParam<const char*> {};

TEST_P(UdfBridge, RecordEditsReachTheUdfView) {
    const auto maker = std::ranges::find_if(
        kUdfMakers, [](const UdfMaker& m) { return std::string(m.name) == GetParam(); });
    const TempDir work;
    const auto made = makeUdfImage(work, *maker);
    ASSERT_TRUE(made) << maker->make;
    const std::string original = work.file("original.img");
    fs::copy_file(*made, original);
    const auto tree = work.path() / "tree";
    const std::string big = contents(tree / "DOCS" / "BIG.BIN");
    const std::string shorter(3000, 'r');
    writeFileBytes(work.file("shorter"), {shorter.begin(), shorter.end()});
    const std::string longer(9000, 'L');
    writeFileBytes(work.file("longer"), {longer.begin(), longer.end()});
    const std::string added(70000, 'A');
    writeFileBytes(work.file("Added file.bin"), {added.begin(), added.end()});

    struct Case {
        const char* name;
        std::function<std::optional<std::string>(Session&)> edit;  // views not updated
        const char* udfPath;
        std::string expected;  // what a UDF reader then reads there
    };
    const Case cases[] = {
        {"relink with size",
         [](Session& session) -> std::optional<std::string> {
             const auto file = fileOfSize(session, 5000);
             const auto masterRow = fileOfSize(session, 300000);
             const auto master = chooseMasterFile(session, masterRow.directory, masterRow.row);
             EXPECT_TRUE(master);
             const auto run = relinkFiles(session, file.directory, {file.row}, *master, true);
             EXPECT_FALSE(run.failure);
             return run.viewsNotUpdated.empty() ? std::nullopt
                                                : std::optional(run.viewsNotUpdated.front());
         },
         "DOCS/DATA.BIN", big},
        {"Modify TOC of the size",
         [](Session& session) -> std::optional<std::string> {
             const auto file = fileOfSize(session, 8);
             const auto location = session.findRecord(file.directory, file.row);
             const auto patched =
                 modifyToc(session, file.directory, *location, {location->extentLba, 4});
             EXPECT_TRUE(patched);
             return patched->viewNotUpdated;
         },
         "README.TXT", "read"},
        {"replace in its own sectors", replacing(5000, work.file("shorter")), "DOCS/DATA.BIN",
         shorter},
        {"replace at the volume's end, the partition grown over it",
         replacing(8, work.file("longer")), "README.TXT", longer},
        {"add, the partition grown over its data and entry",
         [&work](Session& session) -> std::optional<std::string> {
             const auto docs = fileOfSize(session, 300000).directory;
             Quiet quiet;
             const auto add = addFile(session, docs, work.file("Added file.bin"),
                                      {std::string("ADDED.BIN")}, quiet);
             EXPECT_TRUE(add) << add.error().message;
             return add ? add->viewNotUpdated : std::nullopt;
         },
         "DOCS/Added file.bin", added},
    };
    for (const auto& [name, edit, udfPath, expected] : cases) {
        SCOPED_TRACE(name);
        fs::copy_file(original, *made, fs::copy_options::overwrite_existing);
        auto session = Session::open(*made, work.file("layer1.copy"));
        ASSERT_TRUE(session) << session.error().message;
        const auto notUpdated = edit(*session);
        EXPECT_EQ(notUpdated, std::nullopt);

        const auto out = work.path() / "7z";
        fs::remove_all(out);
        ASSERT_TRUE(commandOutput("7z x -tudf -y -o'" + out.string() + "' '" + *made +
                                  "' >/dev/null 2>&1"));
        EXPECT_EQ(contents(out / udfPath), expected);
        const auto byPycdlib = work.file("pycdlib.out");
        EXPECT_TRUE(commandOutput(
            "/usr/bin/python3 -c 'import pycdlib, sys; i = pycdlib.PyCdlib(); i.open(sys.argv[1]); "
            "i.get_file_from_iso(sys.argv[3], udf_path=sys.argv[2])' '" +
            *made + "' '/" + udfPath + "' '" + byPycdlib + "'"));
        EXPECT_EQ(contents(byPycdlib), expected);
        for (const auto& entry : fs::recursive_directory_iterator(tree)) {
            const auto relative = fs::relative(entry.path(), tree);
            if (entry.is_regular_file() && relative != fs::path(udfPath)) {
                EXPECT_EQ(contents(out / relative), contents(entry.path())) << relative;
            }
        }
        EXPECT_TRUE(commandOutput("udfinfo '" + *made + "' >/dev/null 2>&1"));

        const auto last = session->journal()->lastUndoable();
        ASSERT_TRUE(last && *last);
        ASSERT_TRUE(session->undo((*last)->id));
        EXPECT_TRUE(readFileBytes(*made) == readFileBytes(original))
            << "undo did not give the image back";
    }
}

INSTANTIATE_TEST_SUITE_P(Makers, UdfBridge, ::testing::Values("GenisoimageBridge", "PycdlibBridge"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace kestrel
