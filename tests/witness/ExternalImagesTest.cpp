// Images made by other tools (genisoimage, xorriso, and the ISO images Debian's packages ship),
// read by this editor and by isoinfo and xorriso as witnesses: both must see the same files
// and the same bytes, and an edit must look to every witness exactly as intended.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <map>
#include <ranges>
#include <regex>
#include <set>
#include <sstream>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "ops/AddFile.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/Replace.h"
#include "ops/Session.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;
using namespace std::chrono;

// The partition tables a growth at the volume's end must keep sound: none, an MBR, a GPT;
// or tables and an appended partition behind the volume that keep it from growing.
enum class Tables { None, Mbr, Gpt, Refused };

struct WitnessImage {
    const char* name;
    // A command that makes {image} from the source tree {tree}, or the Debian package that
    // ships the image at `member`.
    const char* make = "";
    const char* package = "";
    const char* member = "";
    Tables tables = Tables::None;
};

const WitnessImage kImages[] = {
    {"GenisoimagePlain", "genisoimage -quiet -o {image} {tree}"},
    {"GenisoimageJoliet", "genisoimage -quiet -J -o {image} {tree}"},
    {"GenisoimageRockRidge", "genisoimage -quiet -R -o {image} {tree}"},
    {"GenisoimageJolietRockRidge", "genisoimage -quiet -J -R -hidden secret.txt -o {image} {tree}"},
    {"GenisoimageUdf", "genisoimage -quiet -udf -o {image} {tree}"},
    {"GenisoimageXa", "genisoimage -quiet -XA -o {image} {tree}"},
    {"GenisoimageXaJolietRockRidge", "genisoimage -quiet -XA -J -R -o {image} {tree}"},
    {"GenisoimageLevel3", "genisoimage -quiet -iso-level 3 -o {image} {tree}"},
    {"XorrisoNative", "xorriso -outdev {image} -map {tree} /"},
    {"XorrisoJolietRockRidge", "xorriso -as mkisofs -J -R -o {image} {tree}"},
    {"XorrisoElTorito",
     "xorriso -as mkisofs -J -R -b boot/loader.bin -no-emul-boot -boot-load-size 4 "
     "-c boot/boot.cat -o {image} {tree}"},
    {"XorrisoPartitionOffset",
     "xorriso -as mkisofs -J -R -partition_offset 16 --protective-msdos-label -o {image} {tree}",
     "", "", Tables::Mbr},
    {"XorrisoEfiGpt",
     "mkfs.vfat -C {image}.efi 1440 && xorriso -as mkisofs -J -R -partition_offset 16 "
     "-appended_part_as_gpt -append_partition 2 0xef {image}.efi -o {image} {tree}",
     "", "", Tables::Gpt},
    {"XorrisoPadding", "xorriso -outdev {image} -joliet on -padding 1m -map {tree} /"},
    {"DebianGrubRescue", "", "grub-rescue-pc", "usr/lib/grub-rescue/grub-rescue-cdrom.iso",
     Tables::Mbr},
    {"DebianIpxe", "", "ipxe", "usr/lib/ipxe/ipxe.iso", Tables::Mbr},
    // Its EFI partition follows the volume, where the added sectors would go.
    {"DebianMemtest", "", "memtest86+", "usr/lib/memtest86+/memtest86+x64.iso", Tables::Refused},
};

void PrintTo(const WitnessImage& image, std::ostream* out) {
    *out << image.name;
}

std::string shellQuoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

std::string witness(const std::string& command) {
    const auto output = commandOutput("TZ=UTC " + command + " 2>/dev/null");
    EXPECT_TRUE(output) << command;
    return output.value_or("");
}

// isoinfo -l, each directory keyed by its extent.

struct Entry {
    std::string name;
    uint32_t lba = 0;
    uint32_t size = 0;
    std::string date;  // as this editor spells it
    int flags = 0;
    bool operator==(const Entry&) const = default;
};

struct Listed {
    std::string path;
    uint32_t size = 0;
    std::vector<Entry> entries;  // in record order, without "." and ".."
    bool operator==(const Listed&) const = default;
};

using Tree = std::map<uint32_t, Listed>;

Tree isoinfoTree(const std::string& image, const std::string& options) {
    static const std::string abbreviations = "JanFebMarAprMayJunJulAugSepOctNovDec";
    static const std::array<std::string, 12> spelled = {
        "January", "Febuary", "March",     "April",   "May",       "June",
        "July",    "August",  "September", "October", "Novemeber", "December"};
    const std::regex heading(R"(^Directory listing of (.*)$)");
    const std::regex entry(
        R"(^\S{10}\s+\d+\s+\d+\s+\d+\s+(\d+) (\w{3})\s+(\d+)\s+(\d+) \[\s*(\d+) ([0-9A-F]{2})\]  (.*) $)");
    Tree tree;
    Listed* current = nullptr;
    std::string path;
    std::istringstream lines(witness("isoinfo " + options + " -l -i " + shellQuoted(image)));
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, heading)) {
            path = match[1];
            current = nullptr;
        } else if (std::regex_match(line, match, entry)) {
            const auto month = abbreviations.find(match[2].str()) / 3;
            const Entry parsed{match[7], static_cast<uint32_t>(std::stoul(match[5])),
                               static_cast<uint32_t>(std::stoul(match[1])),
                               spelled.at(month) + " " + match[3].str() + ", " + match[4].str(),
                               std::stoi(match[6], nullptr, 16)};
            if (current == nullptr) {
                current = &tree[parsed.lba];
                *current = Listed{path, parsed.size, {}};
            } else if (parsed.name != "." && parsed.name != "..") {
                current->entries.push_back(parsed);
            }
        }
    }
    EXPECT_FALSE(tree.empty()) << "isoinfo " << options << " lists nothing in " << image;
    return tree;
}

// The identifier less its version (";1"), as a row shows it; a relocated folder's placeholder
// has none.
std::string rowName(const Entry& file) {
    return file.name.ends_with(";1") ? file.name.substr(0, file.name.size() - 2) : file.name;
}

std::vector<Entry> plainFiles(const Listed& directory) {
    std::vector<Entry> files;
    std::copy_if(directory.entries.begin(), directory.entries.end(), std::back_inserter(files),
                 [](const Entry& e) { return e.flags == 0; });
    return files;
}

// The one plain file of the tree whose data is `lba` and `size`, and its directory.
std::optional<std::pair<uint32_t, Entry*>> uniqueFile(Tree& tree, uint32_t lba, uint32_t size) {
    std::vector<std::pair<uint32_t, Entry*>> found;
    for (auto& [directory, listed] : tree) {
        for (auto& e : listed.entries) {
            if (e.flags == 0 && e.lba == lba && e.size == size) {
                found.emplace_back(directory, &e);
            }
        }
    }
    return found.size() == 1 ? std::optional(found[0]) : std::nullopt;
}

// One line per file, so that a failed comparison names the files that differ.
std::vector<std::string> lines(const Tree& tree) {
    std::vector<std::string> text;
    for (const auto& [lba, listed] : tree) {
        for (const auto& e : listed.entries) {
            text.push_back(listed.path + e.name + " at " + std::to_string(e.lba) + ", " +
                           std::to_string(e.size) + " bytes, " + e.date + ", flags " +
                           std::to_string(e.flags));
        }
    }
    return text;
}

// xorriso -find / -exec report_lba: each file's path, extent and length.

using Report = std::map<std::string, std::pair<uint32_t, uint32_t>>;

Report xorrisoReport(const std::string& image) {
    const std::regex line(R"(^File data lba:\s*0 ,\s*(\d+) ,\s*\d+ ,\s*(\d+) , '(.*)'$)");
    Report report;
    std::istringstream lines(
        witness("xorriso -indev " + shellQuoted(image) + " -find / -exec report_lba --"));
    for (std::string text; std::getline(lines, text);) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            report[match[3]] = {static_cast<uint32_t>(std::stoul(match[1])),
                                static_cast<uint32_t>(std::stoul(match[2]))};
        }
    }
    EXPECT_FALSE(report.empty()) << "xorriso reports no file in " << image;
    return report;
}

std::vector<std::string> lines(const Report& report) {
    std::vector<std::string> text;
    for (const auto& [path, extent] : report) {
        text.push_back(path + " at " + std::to_string(extent.first) + ", " +
                       std::to_string(extent.second) + " bytes");
    }
    return text;
}

// A record's extent and data length, each little-endian and then big-endian.
std::vector<uint8_t> bothByteOrders(uint32_t lba, uint32_t size) {
    std::vector<uint8_t> bytes(16);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = bytes[7 - i] = static_cast<uint8_t>(lba >> 8 * i);
        bytes[8 + i] = bytes[15 - i] = static_cast<uint8_t>(size >> 8 * i);
    }
    return bytes;
}

// The offset of the one plain-file record in the directory isoinfo lists at `directory` that
// holds `lba` and `size`, found by its bytes alone.
std::optional<uint64_t> recordHolding(const std::vector<uint8_t>& image, const Tree& tree,
                                      uint32_t directory, uint32_t lba, uint32_t size) {
    const auto fields = bothByteOrders(lba, size);
    const uint64_t start = uint64_t{directory} * kSectorSize;
    const uint64_t end = std::min<uint64_t>(start + tree.at(directory).size, image.size());
    std::vector<uint64_t> found;
    for (uint64_t at = start; at + 34 <= end; ++at) {
        if (std::equal(fields.begin(), fields.end(), image.begin() + at + 2) &&
            image[at + 25] == 0) {
            found.push_back(at);
        }
    }
    return found.size() == 1 ? std::optional(found[0]) : std::nullopt;
}

void writeFile(const fs::path& path, const std::vector<uint8_t>& bytes, sys_days day) {
    fs::create_directories(path.parent_path());
    writeFileBytes(path.string(), bytes);
    fs::last_write_time(path, file_clock::from_sys(sys_seconds(day) + hours(12)));
}

// Mixed-case and long names, nested folders, an empty one, a zero-byte file, a boot image,
// a folder of 80 files whose records fill several sectors, and a file the primary tree hides.
void writeSourceTree(const fs::path& tree) {
    const auto text = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    writeFile(tree / "README.TXT", text("Read me first.\n"), 2003y / 2 / 3);
    writeFile(tree / "A rather Long File name.text", text("long"), 1999y / 11 / 30);
    writeFile(tree / "zero.dat", {}, 2012y / 12 / 12);
    writeFile(tree / "Docs" / "Manual.txt", pattern(5000, 1), 2010y / 7 / 4);
    writeFile(tree / "Docs" / "Deep" / "note.txt", text("deep"), 2021y / 1 / 31);
    writeFile(tree / "boot" / "loader.bin", pattern(2048, 2), 2020y / 1 / 1);
    for (int i = 0; i < 80; ++i) {
        writeFile(tree / "data" / ("level" + std::to_string(i) + ".dat"),
                  pattern(size_t(i) * 37, static_cast<uint8_t>(i)), 2015y / 5 / 15);
    }
    fs::create_directories(tree / "EMPTY");
    writeFile(tree / "secret.txt", text("hidden from the primary tree"), 2011y / 11 / 11);
    writeFile(tree / ("Long" + std::string(180, 'n') + ".txt"), text("a long name"), 2001y / 9 / 9);
    // Nine levels: Rock Ridge relocates the deepest folder and leaves a record in its place.
    writeFile(tree / "a/b/c/d/e/f/g/h/i/bottom.txt", text("bottom"), 2019y / 4 / 4);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The bytes a growth of the partition tables rewrites, which the partition witnesses check:
// the MBR's entries and, with a GPT, the primary in the system area and the backup after the
// data.
std::vector<std::pair<uint64_t, uint64_t>> tableBytes(Tables tables, uint64_t dataEnd,
                                                      uint64_t newEnd) {
    if (tables != Tables::Gpt) {
        return {{446, 510}};
    }
    return {{446, 510}, {512, 16 * kSectorSize}, {dataEnd, newEnd}};
}

// Where a GPT keeps its backup, its entries and its header, at the image's end: what a growth
// clears once the backup has moved.
std::pair<uint64_t, uint64_t> gptBackup(const std::vector<uint8_t>& image) {
    const uint64_t entries = uint64_t{readLe32(image, 512 + 80)} * readLe32(image, 512 + 84);
    return {image.size() - (entries + 511) / 512 * 512 - 512, image.size()};
}

// sfdisk and fdisk list the same partitions and find no fault in them, nor sgdisk in a GPT,
// and the last partition ends with the image (a GPT's, at its last usable sector); xorriso
// finds the MBR's CHS addresses in the geometry it found in the original's.
void expectTablesGrew(const fs::path& image, const fs::path& original, Tables tables) {
    const auto geometry = [](const fs::path& path) {
        std::string found;
        std::istringstream lines(
            witness("xorriso -indev " + shellQuoted(path) + " -report_system_area plain"));
        for (std::string line; std::getline(lines, line);) {
            found += line.starts_with("MBR heads") || line.starts_with("MBR secs") ? line : "";
        }
        return found;
    };
    EXPECT_EQ(geometry(image), geometry(original));
    const auto quoted = shellQuoted(image);
    const auto verified = witness("sfdisk --verify " + quoted);
    EXPECT_NE(verified.find("No errors detected"), std::string::npos) << verified;
    const auto ends = [](const std::string& listing) {
        const std::regex row(R"(^\S+\s+(?:\*\s+)?\d+\s+(\d+)\s+\d+\s)");
        std::vector<uint64_t> found;
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);) {
            if (std::smatch match; std::regex_search(line, match, row)) {
                found.push_back(std::stoull(match[1]));
            }
        }
        return found;
    };
    const auto listed = ends(witness("sfdisk -l " + quoted));
    EXPECT_EQ(listed, ends(witness("fdisk -l " + quoted)));
    ASSERT_FALSE(listed.empty());
    uint64_t end = fs::file_size(image) / 512 - 1;
    if (tables == Tables::Gpt) {
        const auto checked = witness("sgdisk -v " + quoted);
        EXPECT_NE(checked.find("No problems found"), std::string::npos) << checked;
        std::smatch usable;
        const auto printed = witness("sgdisk -p " + quoted);
        ASSERT_TRUE(
            std::regex_search(printed, usable, std::regex(R"(last usable sector is (\d+))")));
        end = std::stoull(usable[1]);
    }
    EXPECT_EQ(std::ranges::max(listed), end);
}

// The image a package ships, fetched once into the build tree. Nothing, with the reason,
// when the archive cannot be reached.
std::optional<fs::path> shippedImage(const WitnessImage& source, std::string& whyNot) {
    const fs::path cached =
        fs::path(KESTREL_WITNESS_DOWNLOADS) / source.package / fs::path(source.member).filename();
    if (fs::exists(cached)) {
        return cached;
    }
    TempDir work;
    const auto log = work.path() / "log";
    if (!commandOutput("cd " + shellQuoted(work.path()) +
                       " && apt-get download -q -o Acquire::Retries=0 "
                       "-o Acquire::http::Timeout=20 " +
                       source.package + " >log 2>&1 && dpkg-deb -x " + source.package +
                       "_*.deb x >>log 2>&1")) {
        std::ifstream in(log);
        whyNot = "the Debian archive could not be reached for " + std::string(source.package) +
                 ": " + std::string(std::istreambuf_iterator<char>(in), {});
        return std::nullopt;
    }
    fs::create_directories(cached.parent_path());
    const fs::path partial = cached.string() + "." + std::to_string(::getpid());
    fs::copy_file(work.path() / "x" / source.member, partial);
    fs::rename(partial, cached);
    return cached;
}

// Each reader extracts everything, and `bytes` are one file of it, whatever name the reader
// gives it. 7z reads a UDF file system first, so it is left out where `udfMissed` (the edit
// could not reach it); bsdtar extracts the rest but fails at genisoimage's relocated
// directories.
void expectEveryReaderHolds(const fs::path& image, const std::vector<uint8_t>& bytes,
                            bool udfMissed) {
    for (const auto& [reader, command] :
         {std::pair("xorriso", "xorriso -osirrox on -indev {image} -extract / {out}"),
          std::pair("7z", "7z x -y -o{out} {image}"),
          std::pair("bsdtar", "bsdtar -x -C {out} -f {image} || true")}) {
        if (udfMissed && reader == std::string("7z")) {
            continue;
        }
        const auto out = image.parent_path() / reader;
        fs::create_directories(out);
        witness(
            replaced(replaced(command, "{image}", shellQuoted(image)), "{out}", shellQuoted(out)));
        size_t holding = 0;
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            holding += entry.is_regular_file() && entry.file_size() == bytes.size() &&
                       readFileBytes(entry.path().string()) == bytes;
        }
        EXPECT_EQ(holding, 1u) << reader << " does not read the new bytes";
        witness("chmod -R u+w " + shellQuoted(out));
        fs::remove_all(out);
    }
}

// No two files' data overlap, as xorriso reports them.
void expectNoOverlaps(const fs::path& image) {
    std::vector<std::pair<uint64_t, uint64_t>> extents;
    for (const auto& [file, extent] : xorrisoReport(image.string())) {
        if (extent.second > 0) {
            extents.emplace_back(extent.first, extent.first + (extent.second + 2047) / 2048);
        }
    }
    std::ranges::sort(extents);
    for (size_t i = 1; i < extents.size(); ++i) {
        EXPECT_LE(extents[i - 1].second, extents[i].first) << "two files overlap";
    }
}

// Every view of the file was updated, but where `udfMayMiss` (a new extent in front of the UDF
// partition, or a new file, which UDF readers do not see), where the outcome says that alone.
void expectViewsUpdated(const std::optional<std::string>& notUpdated, bool udfMayMiss) {
    if (notUpdated && udfMayMiss) {
        EXPECT_TRUE(notUpdated->starts_with("The UDF view")) << *notUpdated;
    } else {
        EXPECT_FALSE(notUpdated) << *notUpdated;
    }
}

// `after` is `wanted`, but for `udfSectors` sectors of the UDF file system's: the file's entry,
// and where its partition grew, the partition's two descriptors, the integrity descriptor and
// the anchor that ends the volume.
void expectImage(const std::vector<uint8_t>& after, const std::vector<uint8_t>& wanted,
                 size_t udfSectors) {
    ASSERT_EQ(after.size(), wanted.size());
    std::set<uint64_t> sectors;
    for (uint64_t at = 0; at < after.size(); ++at) {
        if (after[at] != wanted[at]) {
            sectors.insert(at / kSectorSize);
        }
    }
    EXPECT_LE(sectors.size(), udfSectors)
        << "sector " << (sectors.empty() ? 0 : *sectors.begin()) << " differs";
}

// Undo of the session's last edit gives `image` its bytes `before`, its length included.
void expectUndoGivesBack(Session& session, const std::string& image,
                         const std::vector<uint8_t>& before) {
    const auto last = session.journal()->lastUndoable();
    ASSERT_TRUE(last && *last);
    ASSERT_TRUE(session.undo((*last)->id));
    EXPECT_TRUE(readFileBytes(image) == before) << "undo did not give the image back";
}

class ExternalImage : public ::testing::TestWithParam<WitnessImage> {
protected:
    void SetUp() override {
        for (const char* tool : {"isoinfo", "xorriso", "genisoimage"}) {
            if (!haveCommand(tool)) {
                GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
            }
        }
        const auto& source = GetParam();
        if (*source.package != '\0') {
            std::string whyNot;
            const auto shipped = shippedImage(source, whyNot);
            if (!shipped) {
                GTEST_SKIP() << whyNot;
            }
            fs::copy_file(*shipped, original);
        } else {
            writeSourceTree(dir.path() / "tree");
            const auto command = replaced(replaced(source.make, "{image}", shellQuoted(original)),
                                          "{tree}", shellQuoted(dir.path() / "tree"));
            ASSERT_TRUE(commandOutput("TZ=UTC " + command + " >/dev/null 2>&1")) << command;
        }
        fs::copy_file(original, image);
        const auto described = witness("isoinfo -d -i " + shellQuoted(image));
        hasJoliet = described.find("Joliet with UCS level") != std::string::npos;
        hasRockRidge = described.find("Rock Ridge signatures") != std::string::npos;
        hasElTorito = described.find("El Torito VD") != std::string::npos;
    }

    Session open(const std::string& path) {
        auto session = Session::open(path, dir.file("layer1.copy"));
        EXPECT_TRUE(session) << session.error().message;
        return std::move(*session);
    }

    // Rows in record order.
    static std::vector<ListRow> rows(Session& session, DirectoryNumber directory) {
        auto listing = session.listDirectory(directory);
        EXPECT_TRUE(listing) << listing.error().message;
        return {listing->rows.rbegin(), listing->rows.rend()};
    }

    // Every directory lists what isoinfo lists, under the parent and name isoinfo gives it.
    void expectListsAsIsoinfo(Session& session, const std::string& path) {
        const auto& volume = session.volume();
        EXPECT_EQ(volume.features.joliet, hasJoliet);
        EXPECT_EQ(volume.features.rockRidge, hasRockRidge);
        EXPECT_EQ(volume.features.elTorito, hasElTorito);
        const auto tree = isoinfoTree(path, "");
        const auto rockRidge = hasRockRidge ? isoinfoTree(path, "-R") : Tree{};
        std::map<uint32_t, std::pair<std::string, uint32_t>> witnessed, read;
        for (const auto& [lba, listed] : tree) {
            for (const auto& e : listed.entries) {
                if ((e.flags & kDirectoryFlag) != 0) {
                    witnessed[e.lba] = {e.name, lba};
                }
            }
        }
        for (const auto& d : volume.directories) {
            if (d.parent != 0) {
                read[d.extentLba] = {d.identifier, volume.directories.at(d.parent - 1).extentLba};
            }
        }
        EXPECT_EQ(read, witnessed);
        ASSERT_EQ(volume.directories.size(), tree.size());
        for (DirectoryNumber n = 1; n <= volume.directories.size(); ++n) {
            const auto at = volume.directories[n - 1].extentLba;
            ASSERT_TRUE(tree.contains(at)) << "directory " << n << " at " << at;
            SCOPED_TRACE(tree.at(at).path);
            const auto files = plainFiles(tree.at(at));
            const auto listed = rows(session, n);
            ASSERT_EQ(listed.size(), files.size());
            const auto named = hasRockRidge ? plainFiles(rockRidge.at(at)) : files;
            for (size_t i = 0; i < files.size(); ++i) {
                const auto& [row, file] = std::tie(listed[i], files[i]);
                EXPECT_EQ(row.name, rowName(file));
                EXPECT_EQ(row.lba, std::to_string(file.lba)) << file.name;
                EXPECT_EQ(row.size, std::to_string(file.size)) << file.name;
                EXPECT_EQ(row.dateModified, file.date) << file.name;
                if (hasRockRidge) {
                    EXPECT_EQ(row.longName, named[i].name) << file.name;
                }
            }
        }
    }

    // Each file of the directory extracts to the bytes isoinfo -x gives for it.
    void expectExtractsAsIsoinfo(Session& session, const Tree& tree, DirectoryNumber directory) {
        struct : OperationObserver {
            void beginFile(const std::string&) override {}
            void showPercent(int) override {}
            bool stopRequested() override { return false; }
        } quiet;
        const auto& listed = tree.at(session.volume().directories[directory - 1].extentLba);
        std::vector<std::string> names;
        for (const auto& row : rows(session, directory)) {
            names.push_back(row.name);
        }
        const auto folder = dir.path() / ("out" + std::to_string(directory));
        fs::create_directories(folder);
        const auto report = extractFiles(session.snapshot(directory, names), folder, quiet);
        EXPECT_TRUE(report.failures.empty()) << report.failures.front().error.message;
        for (const auto& file : plainFiles(listed)) {
            const auto wanted = witness("isoinfo -i " + shellQuoted(session.imagePath()) + " -x " +
                                        shellQuoted(listed.path + file.name));
            const auto bytes = readFileBytes(*extractionPath(folder, rowName(file)));
            EXPECT_TRUE(std::string(bytes.begin(), bytes.end()) == wanted)
                << listed.path << file.name << ": " << bytes.size() << " bytes extracted, "
                << wanted.size() << " witnessed";
        }
    }

    TempDir dir;
    std::string original = dir.file("original.iso");
    std::string image = dir.file("image.iso");
    bool hasJoliet = false;
    bool hasRockRidge = false;
    bool hasElTorito = false;
};

// And again with the path table zeroed: the tree is then walked from the root.
TEST_P(ExternalImage, ListsAndExtractsWhatIsoinfoDoesWithOrWithoutThePathTable) {
    {
        auto session = open(image);
        expectListsAsIsoinfo(session, image);
        const auto tree = isoinfoTree(image, "");
        for (DirectoryNumber n = 1; n <= session.volume().directories.size(); ++n) {
            expectExtractsAsIsoinfo(session, tree, n);
        }
    }
    const auto field = [this](uint64_t offset) {
        const auto bytes = readBytesAt(image, offset, 4);
        return uint32_t(uint8_t(bytes[0])) | uint32_t(uint8_t(bytes[1])) << 8 |
               uint32_t(uint8_t(bytes[2])) << 16 | uint32_t(uint8_t(bytes[3])) << 24;
    };
    const uint32_t tableSize = field(kDescriptorsOffset + 132);
    overwriteBytes(image, uint64_t{field(kDescriptorsOffset + 140)} * kSectorSize,
                   std::vector<uint8_t>(tableSize, 0));
    auto session = open(image);
    EXPECT_TRUE(session.volume().treeWalked);
    expectListsAsIsoinfo(session, image);
}

// Relink (with size) and Modify TOC, each on a fresh copy: the primary record and its Joliet
// twin get the new extent and length, every witness sees exactly that, and no other byte
// of the image changes.
TEST_P(ExternalImage, EditsAreSeenByEveryWitness) {
    const auto before = readFileBytes(original);
    const auto tree = isoinfoTree(original, "");
    const auto joliet = hasJoliet ? isoinfoTree(original, "-J") : Tree{};
    const auto report = xorrisoReport(original);

    // The target, and the master it is relinked to: the first two files whose data no other
    // record shares and which xorriso reports (it leaves out boot catalogs).
    const auto ownData = [&](const ListRow& row) {
        auto copy = tree;
        return row.dataLength > 0 && uniqueFile(copy, row.extentLba, row.dataLength) &&
               std::ranges::count(report | std::views::values,
                                  std::pair(row.extentLba, row.dataLength)) == 1;
    };
    auto browsing = open(image);
    struct Chosen {
        DirectoryNumber directory;
        ListRow row;
        uint64_t depth;  // of its record into its directory
    };
    std::vector<Chosen> chosen;
    for (DirectoryNumber n = 1; n <= browsing.volume().directories.size(); ++n) {
        for (const auto& row : rows(browsing, n)) {
            const auto found = browsing.findRecord(n, row.name);
            if (ownData(row) && found) {
                const auto start = uint64_t{browsing.volume().directories[n - 1].extentLba};
                chosen.push_back({n, row, found->recordOffset - start * kSectorSize});
            }
        }
    }
    ASSERT_GE(chosen.size(), 2u) << "the image holds no two files with data of their own";
    const auto& master = chosen[1].row;
    // Modify TOC edits the record lying deepest into its directory, in a later sector where
    // the directory has several.
    const auto deepest = *std::ranges::max_element(chosen, {}, &Chosen::depth);

    enum class Edit { Relink, ModifyToc };
    for (const auto& [edit, directory, target] :
         {std::tuple(Edit::Relink, chosen[0].directory, chosen[0].row),
          std::tuple(Edit::ModifyToc, deepest.directory, deepest.row)}) {
        SCOPED_TRACE(edit == Edit::Relink ? "Relink " + target.name + " to " + master.name
                                          : "Modify TOC of " + target.name);
        fs::copy_file(original, image, fs::copy_options::overwrite_existing);
        auto session = open(image);
        const auto location = session.findRecord(directory, target.name);
        ASSERT_TRUE(location) << location.error().message;
        // Modify TOC points the target at the image's last two sectors.
        RecordFields fields{session.volume().volumeSectors - 2, 3000};
        if (edit == Edit::Relink) {
            const auto chosenMaster = chooseMasterFile(session, chosen[1].directory, master.name);
            ASSERT_TRUE(chosenMaster) << chosenMaster.error().message;
            const auto run = relinkFiles(session, directory, {target.name}, *chosenMaster, true);
            ASSERT_FALSE(run.failure) << run.failure->error.message;
            EXPECT_EQ(run.viewsNotUpdated, std::vector<std::string>{});
            fields = {master.extentLba, master.dataLength};
        } else {
            const auto outcome = modifyToc(session, directory, *location, fields);
            ASSERT_TRUE(outcome) << outcome.error().message;
            expectViewsUpdated(outcome->viewNotUpdated, browsing.volume().features.udf);
        }

        // What each witness must see now: the old listings with the target's new extent, and
        // the old bytes with it in the record each tree holds for the target.
        auto wantedBytes = before;
        const auto retarget = [&](Tree& wanted, const Tree& listed) -> std::optional<uint64_t> {
            const auto file = uniqueFile(wanted, target.extentLba, target.dataLength);
            const auto record = file ? recordHolding(before, listed, file->first, target.extentLba,
                                                     target.dataLength)
                                     : std::nullopt;
            if (record) {
                std::tie(file->second->lba, file->second->size) =
                    std::tie(fields.lba, *fields.size);
                wantedBytes =
                    withBytesAt(wantedBytes, *record + 2, bothByteOrders(fields.lba, *fields.size));
            }
            return record;
        };
        auto wantedTree = tree;
        ASSERT_EQ(retarget(wantedTree, tree), std::optional(location->recordOffset))
            << "the target's record is not found by its bytes";
        auto wantedJoliet = joliet;
        ASSERT_TRUE(!hasJoliet || retarget(wantedJoliet, joliet))
            << "isoinfo -J lists no single twin of " << target.name << " found by its bytes";
        auto wantedReport = report;
        const auto reported =
            std::ranges::find(wantedReport, std::pair(target.extentLba, target.dataLength),
                              [](const auto& line) { return line.second; });
        ASSERT_NE(reported, wantedReport.end()) << "xorriso does not report " << target.name;
        reported->second = {fields.lba, *fields.size};

        const auto after = readFileBytes(image);
        expectImage(after, wantedBytes, browsing.volume().features.udf ? 1 : 0);
        const auto seenTree = isoinfoTree(image, "");
        EXPECT_EQ(lines(seenTree), lines(wantedTree));
        EXPECT_EQ(lines(hasJoliet ? isoinfoTree(image, "-J") : Tree{}), lines(wantedJoliet));
        EXPECT_EQ(lines(xorrisoReport(image)), lines(wantedReport));
        expectExtractsAsIsoinfo(session, seenTree, directory);

        expectUndoGivesBack(session, image, before);
    }
}

// Replace, each placement on a fresh copy: the target gets the replacement's exact bytes and
// size in its own sectors, at the volume's end or in a gap, every reader sees them there, the
// image equals the original but for the records, the volume's size and the new sectors, and
// undo gives the original back, its length included. Where the volume cannot grow (a
// partition table or a GPT at its end), the refusal writes nothing.
TEST_P(ExternalImage, ReplacementsAreSeenByEveryWitness) {
    for (const char* tool : {"7z", "bsdtar"}) {
        if (!haveCommand(tool)) {
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
        }
    }
    const auto before = readFileBytes(original);
    const auto tree = isoinfoTree(original, "");
    const auto joliet = hasJoliet ? isoinfoTree(original, "-J") : Tree{};
    auto browsing = open(image);
    // The target: the largest plain file whose data no other record shares.
    std::optional<std::pair<DirectoryNumber, ListRow>> target;
    const auto report = xorrisoReport(original);
    for (DirectoryNumber n = 1; n <= browsing.volume().directories.size(); ++n) {
        for (const auto& row : rows(browsing, n)) {
            auto copy = tree;
            if (row.dataLength > 0 && uniqueFile(copy, row.extentLba, row.dataLength) &&
                std::ranges::count(report | std::views::values,
                                   std::pair(row.extentLba, row.dataLength)) == 1 &&
                (!target || row.dataLength > target->second.dataLength)) {
                target = {n, row};
            }
        }
    }
    ASSERT_TRUE(target) << "the image holds no file with data of its own";
    const auto& [directory, row] = *target;
    const std::string path = [&] {
        for (const auto& [lba, listed] : tree) {
            for (const auto& e : listed.entries) {
                if (e.lba == row.extentLba && e.size == row.dataLength && e.flags == 0) {
                    return listed.path + e.name;
                }
            }
        }
        return std::string();
    }();
    const auto endFixed = browsing.endFixed();
    const uint32_t volumeSectors = browsing.volume().volumeSectors;
    // A boot image's sectors are the catalog's too, so even a shorter replacement leaves them.
    const auto structures = browsing.structures();
    const bool ownSectors =
        structures && !structures->overlapping(row.extentLba, (row.dataLength + 2047) / 2048);

    struct Case {
        const char* name;
        size_t size;
        bool intoGap;
    };
    for (const auto& [name, size, intoGap] :
         {Case{"shorter, in its own sectors", row.dataLength / 2 + 1, false},
          Case{"longer, at the volume's end", row.dataLength + 5000, false},
          Case{"longer, into a gap", row.dataLength + 5000, true}}) {
        SCOPED_TRACE(std::string(name) + ": " + path);
        fs::copy_file(original, image, fs::copy_options::overwrite_existing);
        const auto replacement = dir.file("replacement");
        const auto bytes = pattern(size, 77);
        writeFileBytes(replacement, bytes);
        auto session = open(image);
        const auto location = session.findRecord(directory, row.name);
        ASSERT_TRUE(location) << location.error().message;
        struct : OperationObserver {
            void beginFile(const std::string&) override {}
            void showPercent(int) override {}
            bool stopRequested() override { return false; }
        } quiet;
        const auto outcome =
            replaceFile(session, directory, *location, replacement, {intoGap, true, false}, quiet);
        if (!outcome) {
            EXPECT_TRUE(readFileBytes(image) == before) << "a refused replace wrote";
            const bool gapless =
                intoGap && outcome.error().message.find("No gap") != std::string::npos;
            const bool endRefused =
                (size > row.dataLength || !ownSectors) &&
                (endFixed || GetParam().tables == Tables::Refused) &&
                outcome.error().message.find("cannot grow at its end") != std::string::npos;
            EXPECT_TRUE(gapless || endRefused) << outcome.error().message;
            continue;
        }
        const Placement& placed = outcome->placement;
        EXPECT_EQ(placed.kind, size < row.dataLength && ownSectors ? PlacementKind::OwnExtent
                               : intoGap                           ? PlacementKind::Gap
                                                                   : PlacementKind::VolumeEnd);
        // Sectors added at the end join the UDF partition; a gap in front of it stays outside.
        expectViewsUpdated(outcome->patch.viewNotUpdated,
                           browsing.volume().features.udf && placed.kind == PlacementKind::Gap);

        // The original with the records retargeted, the volume's size recorded anew and the
        // replacement's sectors written, and nothing else.
        auto wanted = before;
        for (const auto* listed : {&tree, &joliet}) {
            if (listed->empty()) {
                continue;
            }
            auto copy = *listed;
            const auto file = uniqueFile(copy, row.extentLba, row.dataLength);
            ASSERT_TRUE(file);
            const auto record =
                recordHolding(before, *listed, file->first, row.extentLba, row.dataLength);
            ASSERT_TRUE(record);
            wanted = withBytesAt(wanted, *record + 2,
                                 bothByteOrders(placed.lba, static_cast<uint32_t>(size)));
        }
        auto sectors = bytes;
        sectors.resize((size + kSectorSize - 1) / kSectorSize * kSectorSize);
        const uint64_t dataAt = uint64_t{placed.lba} * kSectorSize;
        wanted.resize(std::max<uint64_t>({wanted.size(), dataAt + sectors.size(),
                                          uint64_t{placed.volumeSectors} * kSectorSize}));
        std::ranges::copy(sectors, wanted.begin() + static_cast<ptrdiff_t>(dataAt));
        if (placed.volumeSectors != volumeSectors) {
            for (uint64_t at = kDescriptorsOffset; wanted[at] != 255; at += kSectorSize) {
                if (wanted[at] == 1 || wanted[at] == 2) {
                    const auto field = bothByteOrders(placed.volumeSectors, 0);
                    wanted = withBytesAt(wanted, at + 80, {field.begin(), field.begin() + 8});
                }
            }
        }
        const auto after = readFileBytes(image);
        const bool tablesGrew =
            placed.kind == PlacementKind::VolumeEnd && GetParam().tables != Tables::None;
        if (tablesGrew) {
            if (GetParam().tables == Tables::Gpt) {
                wanted.resize(after.size());
            }
            for (const auto& [from, to] :
                 tableBytes(GetParam().tables, dataAt + sectors.size(), wanted.size())) {
                std::copy(after.begin() + from, after.begin() + std::min(to, after.size()),
                          wanted.begin() + from);
            }
            if (GetParam().tables == Tables::Gpt) {
                const auto [from, to] = gptBackup(before);
                std::fill(wanted.begin() + from, wanted.begin() + to, 0);
            }
            expectTablesGrew(image, original, GetParam().tables);
        }
        expectImage(after, wanted,
                    !browsing.volume().features.udf           ? 0
                    : placed.kind == PlacementKind::OwnExtent ? 1
                                                              : 5);

        const std::string text(bytes.begin(), bytes.end());
        EXPECT_TRUE(witness("isoinfo -i " + shellQuoted(image) + " -x " + shellQuoted(path)) ==
                    text);
        expectEveryReaderHolds(image, bytes, browsing.volume().features.udf);
        expectNoOverlaps(image);

        expectUndoGivesBack(session, image, before);
    }
}

// Add, into the root, the directory of the most records and an empty one, each on a fresh
// copy: every tree lists the new file in its directory at its new sectors, every other file
// where it was, every reader reads its bytes, the image differs from the original only in
// those directories' extents, the volume's size and the new sectors, and undo gives the
// original back, its length included. Where the volume cannot grow, nothing is written.
TEST_P(ExternalImage, AddedFilesAreSeenByEveryWitness) {
    const auto before = readFileBytes(original);
    const auto tree = isoinfoTree(original, "");
    auto browsing = open(image);
    const auto& directories = browsing.volume().directories;
    std::vector<DirectoryNumber> targets{1};
    DirectoryNumber largest = 1;
    for (DirectoryNumber n = 2; n <= directories.size(); ++n) {
        const auto size = tree.count(directories[n - 1].extentLba) != 0
                              ? tree.at(directories[n - 1].extentLba).entries.size()
                              : 0;
        if (size > tree.at(directories[largest - 1].extentLba).entries.size()) {
            largest = n;
        }
        if (size == 0 && targets.size() < 3 && directories[n - 1].sameAs == 0) {
            targets.push_back(n);
        }
    }
    targets.push_back(largest);
    const auto bytes = pattern(5000, 91);
    const auto source = dir.path() / "Added File.txt";
    writeFileBytes(source.string(), bytes);
    const std::string text(bytes.begin(), bytes.end());
    // On a bridge image the UDF file system's structures change too: its partition's
    // descriptors, the integrity descriptor, and the directory's entry and identifiers.
    std::vector<std::pair<uint64_t, uint64_t>> udfStructures;
    const auto map = mapVolume(browsing.presentedSource(), browsing.volume());
    ASSERT_TRUE(map);
    for (const auto& extent : map->extents) {
        if (extent.udf) {
            udfStructures.emplace_back(uint64_t{extent.lba} * kSectorSize,
                                       (extent.lba + extent.sectors) * kSectorSize);
        }
    }

    for (const DirectoryNumber directory : targets) {
        SCOPED_TRACE("into " + tree.at(directories[directory - 1].extentLba).path);
        fs::copy_file(original, image, fs::copy_options::overwrite_existing);
        auto session = open(image);
        struct : OperationObserver {
            void beginFile(const std::string&) override {}
            void showPercent(int) override {}
            bool stopRequested() override { return false; }
        } quiet;
        const auto added = addFile(session, directory, source.string(),
                                   {"ADDED.TXT", directory == largest, true, false}, quiet);
        if (!added) {
            EXPECT_TRUE(readFileBytes(image) == before) << "a refused add wrote";
            const auto& why = added.error().message;
            EXPECT_TRUE((GetParam().tables == Tables::Refused &&
                         why.find("cannot grow at its end") != std::string::npos) ||
                        why.find("No gap") != std::string::npos ||
                        why.find("free") != std::string::npos)
                << why;
            continue;
        }
        expectViewsUpdated(added->viewNotUpdated, browsing.volume().features.udf);
        const Placement& placed = added->placement;

        // Every tree as it was, but for the one new file in its directory; isoinfo reads its
        // bytes by each tree's path.
        const uint32_t primaryLba = directories[directory - 1].extentLba;
        const auto jolietDirectory = session.jolietDirectoryOf(directory);
        // At the volume's end, a UDF anchor that ended it follows the new sectors.
        const uint32_t writtenEnd = placed.kind == PlacementKind::VolumeEnd
                                        ? placed.volumeSectors
                                        : placed.lba + placed.sectors;
        std::vector<std::pair<uint64_t, uint64_t>> written = udfStructures;
        written.emplace_back(uint64_t{placed.lba} * kSectorSize,
                             uint64_t{writtenEnd} * kSectorSize);
        for (const auto& [options, name] :
             {std::pair("", added->identifier), std::pair("-J", std::string("Added File.txt")),
              std::pair("-R", std::string("Added File.txt"))}) {
            const std::string view = options;
            if ((view == "-J" && !hasJoliet) || (view == "-R" && !hasRockRidge)) {
                continue;
            }
            ASSERT_TRUE(view != "-J" || (jolietDirectory && *jolietDirectory));
            const auto joliet =
                view == "-J" ? session.jolietTree() : Result<const JolietTree*>(nullptr);
            const uint32_t lba =
                view == "-J" ? (*joliet)->entry(**jolietDirectory).extentLba : primaryLba;
            auto wanted = isoinfoTree(original, view);
            const auto now = isoinfoTree(image, view);
            const auto& entries = now.at(lba).entries;
            const auto found = std::ranges::find(entries, name, &Entry::name);
            ASSERT_NE(found, entries.end()) << view << " lists no " << name;
            EXPECT_EQ(found->lba, placed.lba);
            EXPECT_EQ(found->size, bytes.size());
            auto& grown = wanted.at(lba).entries;
            grown.insert(grown.begin() + (found - entries.begin()), *found);
            EXPECT_EQ(lines(now), lines(wanted)) << view;
            EXPECT_TRUE(witness("isoinfo " + view + " -i " + shellQuoted(image) + " -x " +
                                shellQuoted(now.at(lba).path + name)) == text)
                << view;
            written.emplace_back(uint64_t{lba} * kSectorSize,
                                 uint64_t{lba} * kSectorSize + wanted.at(lba).size);
        }

        // Only the directories' extents, the volume's size and the new sectors changed.
        const auto after = readFileBytes(image);
        const uint64_t volumeEnd = uint64_t{placed.volumeSectors} * kSectorSize;
        if (placed.kind == PlacementKind::VolumeEnd && GetParam().tables != Tables::None) {
            std::ranges::copy(tableBytes(GetParam().tables, volumeEnd, after.size()),
                              std::back_inserter(written));
            if (GetParam().tables == Tables::Gpt) {
                const auto [from, to] = gptBackup(before);
                written.emplace_back(from, to);
                EXPECT_TRUE(std::all_of(after.begin() + from, after.begin() + to, [](uint8_t b) {
                    return b == 0;
                })) << "the old backup GPT is left";
            }
            expectTablesGrew(image, original, GetParam().tables);
        }
        if (GetParam().tables != Tables::Gpt) {
            ASSERT_EQ(after.size(), std::max<uint64_t>(before.size(), volumeEnd));
        }
        for (uint64_t at = kDescriptorsOffset; before[at] != 255; at += kSectorSize) {
            written.emplace_back(at + 80, at + 88);
        }
        for (uint64_t at = 0; at < after.size(); ++at) {
            const bool changed = at >= before.size() || after[at] != before[at];
            if (changed && std::ranges::none_of(written, [at](const auto& range) {
                    return at >= range.first && at < range.second;
                })) {
                ADD_FAILURE() << "byte " << at << " changed outside what Add writes";
                break;
            }
        }

        expectEveryReaderHolds(image, bytes, added->viewNotUpdated.has_value());
        expectNoOverlaps(image);

        expectUndoGivesBack(session, image, before);
    }
}

// Tables that are damaged or not understood keep the image from growing, with the reason,
// and nothing is written: each case on a fresh copy of an image xorriso made.
TEST(DamagedPartitionTables, AreRefusedUnwritten) {
    TempDir dir;
    writeSourceTree(dir.path() / "tree");
    const auto mbr = dir.file("mbr.iso");
    const auto gpt = dir.file("gpt.iso");
    for (const auto& [made, options] :
         {std::pair(mbr, "--protective-msdos-label"),
          std::pair(gpt, "-appended_part_as_gpt -append_partition 2 0xef {image}.efi")}) {
        const auto command =
            replaced("mkfs.vfat -C {image}.efi 1440 && xorriso -as mkisofs -partition_offset 16 " +
                         std::string(options) + " -o {image} {tree} >/dev/null 2>&1",
                     "{image}", shellQuoted(made));
        ASSERT_TRUE(commandOutput(replaced(command, "{tree}", shellQuoted(dir.path() / "tree"))))
            << command;
    }
    const auto image = dir.file("image.iso");
    const auto source = dir.file("added");
    writeFileBytes(source, pattern(5000, 3));
    struct Case {
        const char* name;
        std::string made;
        int64_t offset;  // from the image's end where negative
        std::vector<uint8_t> bytes;
        const char* why;
    };
    for (const auto& [name, made, offset, bytes, why] : {
             Case{"a partition past the end", gpt, 446 + 12, {0, 0, 0, 1}, "ends past"},
             Case{"overlapping partitions",
                  mbr,
                  446 + 16,
                  {0, 0, 0, 0, 0x83, 0, 0, 0, 100, 0, 0, 0, 100, 0, 0, 0},
                  "overlap"},
             Case{"a damaged GPT header", gpt, 512 + 56, {1}, "header fails its CRC"},
             Case{"damaged GPT entries", gpt, 1024 + 56, {1}, "entries fail their CRC"},
             Case{"a backup header unlike the primary", gpt, -512 + 56, {1}, "not the twin"},
         }) {
        SCOPED_TRACE(name);
        fs::copy_file(made, image, fs::copy_options::overwrite_existing);
        overwriteBytes(image, offset < 0 ? fs::file_size(image) + offset : offset, bytes);
        const auto before = readFileBytes(image);
        auto session = Session::open(image, dir.file("layer1.copy"));
        ASSERT_TRUE(session) << session.error().message;
        struct : OperationObserver {
            void beginFile(const std::string&) override {}
            void showPercent(int) override {}
            bool stopRequested() override { return false; }
        } quiet;
        const auto added = addFile(*session, 1, source, {"ADDED.TXT", false, true, false}, quiet);
        ASSERT_FALSE(added) << "added at LBA " << added->placement.lba;
        const auto& message = added.error().message;
        EXPECT_NE(message.find("cannot grow at its end: its "), std::string::npos) << message;
        EXPECT_NE(message.find(why), std::string::npos) << message;
        EXPECT_TRUE(readFileBytes(image) == before) << "a refused add wrote";
    }
}

INSTANTIATE_TEST_SUITE_P(Witnessed, ExternalImage, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel
