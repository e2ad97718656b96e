// kestrel-cli on images of UDF alone, made from other makers' bridges with their ISO 9660
// descriptors taken out (one moved into a UDF 2.50 metadata partition with a mirror, one
// given free blocks and a space bitmap): it lists what 7-Zip's UDF reader lists and extracts
// the same bytes; each edit is read by 7-Zip as meant, leaves every other file as it was and
// every sector outside the file's entry, its data and the UDF structures unchanged, keeps a
// metadata mirror equal to its metadata file, udfinfo reads the edited image, and undo gives
// it back byte for byte. A longer replacement, and Add, take free
// blocks where the partition records them; a longer replacement grows the partition at the
// volume's end where it does not, and Add is refused there.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "CliRun.h"
#include "image/ExtentMap.h"
#include "ops/Session.h"
#include "support/TestFiles.h"
#include "support/UdfImages.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

std::string contents(const fs::path& path) {
    const auto bytes = readFileBytes(path.string());
    return {bytes.begin(), bytes.end()};
}

// Path to size of every file 7-Zip's UDF reader lists.
std::map<std::string, uint64_t> sevenZipFiles(const std::string& image) {
    const auto listing = commandOutput("7z l -slt -tudf '" + image + "'");
    EXPECT_TRUE(listing);
    std::map<std::string, uint64_t> files;
    std::istringstream lines(listing.value_or(""));
    std::string path;
    bool folder = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Path = ")) {
            path = line.substr(7);
        } else if (line.starts_with("Folder = ")) {
            folder = line.ends_with("+");
        } else if (line.starts_with("Size = ") && !folder && !path.empty()) {
            files["/" + path] = std::stoull(line.substr(7));
        }
    }
    files.erase("/" + fs::path(image).filename().string());
    return files;
}

// Path to size of every file `ls -R --json` lists.
std::map<std::string, uint64_t> listedFiles(const std::string& image) {
    const auto run = runCli({"--json", "ls", "-R", image});
    EXPECT_EQ(run.status, 0) << run.err;
    std::map<std::string, uint64_t> files;
    const auto json = run.json();
    for (const auto& directory : json.at("listing")) {
        const std::string path = directory.at("path");
        for (const auto& file : directory.at("files")) {
            files[(path == "/" ? "" : path) + "/" + file.at("name").get<std::string>()] =
                file.at("size");
        }
    }
    return files;
}

// Extracts every file of the image into `out`: 7-Zip, which reads no metadata partition,
// or else kestrel-cli itself.
void extractAll(const std::string& image, const fs::path& out, bool sevenZip) {
    fs::remove_all(out);
    if (sevenZip) {
        ASSERT_TRUE(commandOutput("7z x -tudf -y -o'" + out.string() + "' '" + image +
                                  "' >/dev/null 2>&1"));
    } else {
        const auto run = runCli({"extract", "-r", "-o", out.string(), image, "/"});
        ASSERT_EQ(run.status, 0) << run.err;
    }
}

struct Maker {
    const char* name;
    const char* bridge;  // the maker whose bridge it is made from
    bool metadataPartition;
    bool spaceBitmap;
    const char* disc;
};

const Maker kMakers[] = {
    {"Genisoimage", "GenisoimageBridge", false, false, "UDF 1.02"},
    {"Pycdlib", "PycdlibBridge", false, false, "UDF 1.02"},
    {"MetadataPartition", "GenisoimageBridge", true, false, "UDF 2.50"},
    {"SpaceBitmap", "GenisoimageBridge", false, true, "UDF 1.02"},
};

class CliUdfOnly : public ::testing::TestWithParam<Maker> {};

// The sectors of the file's entry and its data, which an edit of it may change.
std::set<uint64_t> sectorsOf(const std::string& image, const std::string& directory,
                             const std::string& name) {
    auto session = Session::open(image, image + ".layer1");
    EXPECT_TRUE(session);
    std::set<uint64_t> sectors;
    for (DirectoryNumber n = 1; session && n <= session->volume().directories.size(); ++n) {
        if (session->volume().directories[n - 1].identifier != directory) {
            continue;
        }
        const auto found = session->findRecord(n, name);
        EXPECT_TRUE(found);
        sectors.insert(found->recordOffset / 2048);
        for (const auto& extent : fileExtents(*found)) {
            for (uint64_t s = 0; s * 2048 < extent.length; ++s) {
                sectors.insert(extent.lba + s);
            }
        }
    }
    return sectors;
}

// The sectors of the volume's own structures (the UDF descriptors, the integrity sequence, a
// space bitmap, the anchors), which an edit that places data may rewrite.
std::set<uint64_t> structureSectors(const std::string& image) {
    auto session = Session::open(image, image + ".layer1");
    EXPECT_TRUE(session);
    const auto map = mapVolume(session->presentedSource(), session->volume());
    EXPECT_TRUE(map);
    std::set<uint64_t> sectors;
    for (const auto& extent : map ? map->extents : std::vector<MappedExtent>{}) {
        if (extent.kind != ExtentKind::File && extent.kind != ExtentKind::Gap) {
            for (uint64_t s = 0; s < extent.sectors; ++s) {
                sectors.insert(extent.lba + s);
            }
        }
    }
    return sectors;
}

TEST_P(CliUdfOnly, ListsExtractsAndEditsAs7zReads) {
    const auto& maker = GetParam();
    const TempDir work;
    const auto bridge = std::ranges::find_if(
        kUdfMakers, [&maker](const UdfMaker& m) { return std::string(m.name) == maker.bridge; });
    const auto made = makeUdfImage(work, *bridge);
    ASSERT_TRUE(made);
    ASSERT_TRUE(clearIsoDescriptors(*made));
    const auto sevenZipListing = sevenZipFiles(*made);
    if (maker.metadataPartition) {
        ASSERT_TRUE(moveIntoMetadataPartition(*made));
    }
    if (maker.spaceBitmap) {
        ASSERT_TRUE(giveSpaceBitmap(*made));
    }
    const auto structures = structureSectors(*made);
    const auto tree = work.path() / "tree";
    const auto original = readFileBytes(*made);

    const auto info = runCli({"info", *made});
    EXPECT_NE(info.out.find(std::string("Disc:    ") + maker.disc + "\n"), std::string::npos)
        << info.out << info.err;
    EXPECT_EQ(listedFiles(*made), sevenZipListing);
    const auto out = work.path() / "out";
    const auto extracted = runCli({"extract", "-r", "-o", out.string(), *made, "/"});
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(contents(out / fs::relative(entry.path(), tree)), contents(entry.path()))
                << entry.path();
        }
    }

    const std::string big = contents(tree / "DOCS" / "BIG.BIN");
    const std::string overwriting(5000, 'o');
    writeFileBytes(work.file("overwriting"), {overwriting.begin(), overwriting.end()});
    const std::string shorter(3000, 's');
    writeFileBytes(work.file("shorter"), {shorter.begin(), shorter.end()});
    struct Edit {
        const char* name;
        std::vector<std::string> arguments;  // after the image
        const char* directory;
        const char* file;
        std::string expected;  // what 7-Zip then reads as the file
    };
    const Edit edits[] = {
        {"relink with size",
         {"DOCS/DATA.BIN", "--master", "DOCS/BIG.BIN", "--with-size"},
         "DOCS",
         "DATA.BIN",
         big},
        {"set-record of the size", {"README.TXT", "--size", "4"}, "", "README.TXT", "read"},
        {"dummy", {"DOCS/BIG.BIN"}, "DOCS", "BIG.BIN", std::string(big.size(), '\0')},
        {"overwrite", {"DOCS/DATA.BIN", work.file("overwriting")}, "DOCS", "DATA.BIN", overwriting},
        {"replace, longer",
         {"README.TXT", work.file("overwriting")},
         "",
         "README.TXT",
         overwriting},
    };
    const char* commands[] = {"relink", "set-record", "dummy", "overwrite", "replace"};
    for (size_t i = 0; i < std::size(edits); ++i) {
        const auto& edit = edits[i];
        SCOPED_TRACE(edit.name);
        writeFileBytes(*made, original);
        auto allowed = sectorsOf(*made, edit.directory, edit.file);
        const bool places = std::string(commands[i]) == "replace";
        // The metadata mirror's copy of the entry is one of the structures.
        if (places || maker.metadataPartition) {
            allowed.insert(structures.begin(), structures.end());
        }
        std::vector<std::string> arguments{commands[i], *made};
        arguments.insert(arguments.end(), edit.arguments.begin(), edit.arguments.end());
        const auto run = runCli(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        if (places) {
            // Free blocks where the partition records them; else sectors added behind it.
            const std::string where =
                maker.spaceBitmap ? "in free blocks of the UDF partition at LBA " : "at LBA ";
            const auto at = run.out.find(where);
            ASSERT_NE(at, std::string::npos) << run.out;
            const uint64_t lba = std::stoull(run.out.substr(at + where.size()));
            for (uint64_t s = 0; s * 2048 < overwriting.size(); ++s) {
                allowed.insert(lba + s);
            }
        }

        const auto edited = readFileBytes(*made);
        ASSERT_EQ(edited.size() > original.size(), places && !maker.spaceBitmap);
        for (size_t at = 0; at < original.size(); at += 2048) {
            if (!std::equal(edited.begin() + static_cast<long>(at),
                            edited.begin() + static_cast<long>(at + 2048),
                            original.begin() + static_cast<long>(at))) {
                EXPECT_TRUE(allowed.contains(at / 2048)) << "sector " << at / 2048 << " changed";
            }
        }
        const auto seen = work.path() / "seen";
        extractAll(*made, seen, !maker.metadataPartition);
        const fs::path changed = fs::path(edit.directory) / edit.file;
        EXPECT_EQ(contents(seen / changed), edit.expected);
        for (const auto& entry : fs::recursive_directory_iterator(tree)) {
            const auto relative = fs::relative(entry.path(), tree);
            if (entry.is_regular_file() && relative != changed) {
                EXPECT_EQ(contents(seen / relative), contents(entry.path())) << relative;
            }
        }
        EXPECT_TRUE(commandOutput("udfinfo '" + *made + "' >/dev/null 2>&1"));
        if (maker.metadataPartition) {
            EXPECT_TRUE(metadataMirrorMatches(*made));
        }
        size_t edits = 1;
        if (places && maker.spaceBitmap) {
            // The blocks taken are marked used in the bitmap and counted in the integrity
            // descriptor (which udfinfo reads), and a second longer replacement lies elsewhere.
            const std::string longer(7000, 'l');
            writeFileBytes(work.file("longer"), {longer.begin(), longer.end()});
            const auto second = runCli({"replace", *made, "DOCS/DATA.BIN", work.file("longer")});
            ASSERT_EQ(second.status, 0) << second.err;
            ++edits;
            extractAll(*made, seen, true);
            EXPECT_EQ(contents(seen / changed), edit.expected);
            EXPECT_EQ(contents(seen / "DOCS" / "DATA.BIN"), longer);
            const auto freeBlocks = [](const std::string& image) {
                const auto info = commandOutput("udfinfo '" + image + "' 2>/dev/null");
                const auto at = info ? info->find("freeblocks=") : std::string::npos;
                return at == std::string::npos ? 0 : std::stoul(info->substr(at + 11));
            };
            writeFileBytes(work.file("before.img"), original);
            EXPECT_EQ(freeBlocks(*made), freeBlocks(work.file("before.img")) - 3 - 4);
            EXPECT_EQ(bitmapFreeBlocks(*made), *bitmapFreeBlocks(work.file("before.img")) - 3 - 4);
        }

        for (; edits > 0; --edits) {
            const auto undone = runCli({"undo", *made});
            EXPECT_EQ(undone.status, 0) << undone.err;
        }
        EXPECT_TRUE(readFileBytes(*made) == original) << "undo did not give the image back";
    }

    // Add takes free blocks too, and is refused where the partition records none.
    const auto added = runCli({"add", *made, "/DOCS", work.file("overwriting")});
    if (maker.spaceBitmap) {
        ASSERT_EQ(added.status, 0) << added.err;
        const auto seen = work.path() / "seen";
        extractAll(*made, seen, true);
        EXPECT_EQ(contents(seen / "DOCS" / "overwriting"), overwriting);
        EXPECT_TRUE(commandOutput("udfinfo '" + *made + "' >/dev/null 2>&1"));
        EXPECT_EQ(runCli({"undo", *made}).status, 0);
    } else {
        EXPECT_NE(added.status, 0);
        EXPECT_NE(added.err.find(maker.metadataPartition ? "metadata partition" : "space bitmap"),
                  std::string::npos)
            << added.err;
    }
    EXPECT_TRUE(readFileBytes(*made) == original);
}

// mkudffs formats volumes with free space and nothing in them: files added to each revision
// it writes (one with a name of one byte a character, one empty with a name that needs two)
// are listed and read by 7-Zip's UDF reader, udfinfo counts them and the blocks they took,
// and undo gives the empty volume back.
TEST(CliUdfOnlyAdd, MkudffsVolumesTakeNewFilesAs7zAndUdfinfoSeeThem) {
    const std::string data(5000, 'd');
    for (const auto& maker : kUdfMakers) {
        if (maker.withFiles) {
            continue;
        }
        SCOPED_TRACE(maker.name);
        const TempDir work;
        const auto made = makeUdfImage(work, maker);
        ASSERT_TRUE(made);
        const auto original = readFileBytes(*made);
        writeFileBytes(work.file("data.bin"), {data.begin(), data.end()});
        writeFileBytes(work.file("empty"), {});
        const auto info = [](const std::string& image, const std::string& field) {
            const auto output = commandOutput("udfinfo '" + image + "' 2>/dev/null");
            const auto at = output ? output->find("\n" + field + "=") : std::string::npos;
            return at == std::string::npos ? -1L : std::stol(output->substr(at + field.size() + 2));
        };
        const long freeBefore = info(*made, "freeblocks");

        for (const auto& arguments :
             {std::vector<std::string>{"add", *made, "/", work.file("data.bin")},
              {"add", *made, "/", work.file("empty"), "--name", "Euro €.txt"}}) {
            const auto run = runCli(arguments);
            ASSERT_EQ(run.status, 0) << run.err;
        }
        EXPECT_EQ(sevenZipFiles(*made), (std::map<std::string, uint64_t>{{"/data.bin", data.size()},
                                                                         {"/Euro €.txt", 0}}));
        const auto seen = work.path() / "seen";
        extractAll(*made, seen, true);
        EXPECT_EQ(contents(seen / "data.bin"), data);
        EXPECT_EQ(info(*made, "numfiles"), 2);
        EXPECT_EQ(info(*made, "freeblocks"), freeBefore - 3 - 1 - 1);
        for (int undo = 0; undo < 2; ++undo) {
            EXPECT_EQ(runCli({"undo", *made}).status, 0);
        }
        EXPECT_TRUE(readFileBytes(*made) == original) << "undo did not give the image back";
    }
}

// mkudffs writes UDF 2.50 and 2.60 only for write-once media, through a virtual allocation
// table: such a volume is refused, naming what it uses, and left as it was.
TEST(CliUdfOnlyRefused, MkudffsWriteOnceVolumesNameTheirVirtualAllocationTable) {
    for (const auto& [media, revision] :
         {std::pair("dvdr", "0x0250"), std::pair("bdr", "0x0260")}) {
        SCOPED_TRACE(media);
        const TempDir work;
        const auto image = work.file("write-once.img");
        ASSERT_TRUE(commandOutput(std::string("mkudffs --new-file --media-type=") + media +
                                  " --udfrev=" + revision + " '" + image + "' 20000 >/dev/null"));
        const auto original = readFileBytes(image);
        for (const char* command : {"info", "ls"}) {
            const auto run = runCli({command, image});
            EXPECT_NE(run.status, 0);
            EXPECT_NE(run.err.find("it uses a virtual allocation table (VAT)"), std::string::npos)
                << run.err;
        }
        EXPECT_TRUE(readFileBytes(image) == original);
    }
}

INSTANTIATE_TEST_SUITE_P(Makers, CliUdfOnly, ::testing::ValuesIn(kMakers),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::test
