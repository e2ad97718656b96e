#include "support/UdfImages.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace kestrel::test {
namespace {

// Writes a tree's directories and files into a UDF 2.60 bridge; its ISO 9660 names are
// made up, the UDF names are the tree's.
constexpr const char* kPycdlibWriter = R"(import os, sys, pycdlib
image, tree = sys.argv[1], sys.argv[2]
iso = pycdlib.PyCdlib()
iso.new(interchange_level=3, udf='2.60', vol_ident='KESTREL')
iso_dirs = {'.': ''}
for count, (folder, dirs, files) in enumerate(os.walk(tree)):
    rel = os.path.relpath(folder, tree)
    for n, name in enumerate(sorted(dirs)):
        path = os.path.normpath(os.path.join(rel, name))
        iso_dirs[path] = iso_dirs[rel] + '/D%d_%d' % (count, n)
        iso.add_directory(iso_dirs[path], udf_path='/' + path)
    for n, name in enumerate(sorted(files)):
        path = os.path.normpath(os.path.join(rel, name))
        iso.add_file(os.path.join(folder, name), iso_dirs[rel] + '/F%d_%d.;1' % (count, n),
                     udf_path='/' + path)
iso.write(image)
)";

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string pattern(size_t size, unsigned step) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * step + i / 251) & 0xFF);
    }
    return bytes;
}

void writeTree(const std::filesystem::path& tree) {
    writeText(tree / "README.TXT", "read me\n");
    writeText(tree / "EMPTY.TXT", "");
    writeText(tree / "DOCS" / "DATA.BIN", pattern(5000, 7));
    writeText(tree / "DOCS" / "BIG.BIN", pattern(300000, 13));
    writeText(tree / "DOCS" / "Mixed Case N\xc3\xa4me.txt", "mixed\n");
    // Outside Latin-1, so that its name is written in 16-bit characters.
    writeText(tree / "DOCS" / "Euro \xe2\x82\xac.txt", "euro\n");
    writeText(tree / "DOCS" / "DEEP" / "PART.TXT", "deep\n");
    std::filesystem::create_directories(tree / "DOCS" / "DEEP" / "DEEPER");
}

std::string substituted(std::string command, const std::string& key, const std::string& value) {
    for (size_t at; (at = command.find(key)) != std::string::npos;) {
        command.replace(at, key.size(), "'" + value + "'");
    }
    return command;
}

}  // namespace

const UdfMaker kUdfMakers[7] = {
    {"Mkudffs102",
     "mkudffs --new-file --media-type=hd --blocksize=2048 --udfrev=0x0102 --label=KESTREL "
     "{image} 300",
     "UDF 1.02", "KESTREL", false},
    {"Mkudffs150",
     "mkudffs --new-file --media-type=hd --blocksize=2048 --udfrev=0x0150 --label=KESTREL "
     "{image} 300",
     "UDF 1.50", "KESTREL", false},
    {"Mkudffs201",
     "mkudffs --new-file --media-type=hd --blocksize=2048 --udfrev=0x0201 --label=KESTREL "
     "--ad=long {image} 300",
     "UDF 2.01", "KESTREL", false},
    {"Mkudffs201NoExtendedEntries",
     "mkudffs --new-file --media-type=hd --blocksize=2048 --udfrev=0x0201 --noefe "
     "--label=KESTREL --ad=short {image} 300",
     "UDF 2.01", "KESTREL", false},
    {"GenisoimageBridge",
     "genisoimage -quiet -udf -input-charset utf-8 -V KESTREL -o {image} {tree}", "UDF 1.02",
     "KESTREL", true},
    // The bridge's recognition sequence moved up to sector 16 over its ISO 9660 descriptors.
    {"GenisoimageUdfOnly",
     "genisoimage -quiet -udf -input-charset utf-8 -V KESTREL -o {image} {tree} && cp {image} "
     "{image}.bridge && "
     "dd if={image}.bridge of={image} bs=2048 skip=18 seek=16 count=3 conv=notrunc status=none && "
     "dd if=/dev/zero of={image} bs=2048 seek=19 count=2 conv=notrunc status=none",
     "UDF 1.02", "KESTREL", true},
    // Asked for UDF 2.60, pycdlib records 1.02 in its domain identifiers and names the
    // logical volume CDROM whatever the volume identifier.
    {"PycdlibBridge", "/usr/bin/python3 {script} {image} {tree}", "UDF 1.02", "CDROM", true},
};

std::optional<std::string> makeUdfImage(const TempDir& work, const UdfMaker& maker) {
    const auto tree = work.path() / "tree";
    writeTree(tree);
    const auto script = work.file("pycdlib-writer.py");
    writeText(script, kPycdlibWriter);
    const auto image = work.file("udf.img");
    std::string command = substituted(maker.make, "{image}", image);
    command = substituted(command, "{tree}", tree.string());
    command = substituted(command, "{script}", script);
    if (!commandOutput("TZ=UTC " + command + " >/dev/null 2>&1")) {
        return std::nullopt;
    }
    return image;
}

namespace {

// What a support script prints for `arguments`; nothing when it failed.
std::optional<std::string> scriptOutput(const char* script, const std::string& arguments) {
    return commandOutput("/usr/bin/python3 " + std::string(script) + " " + arguments +
                         " 2>/dev/null");
}

}  // namespace

bool moveIntoMetadataPartition(const std::string& image) {
    return scriptOutput(KESTREL_UDF_METADATA_SCRIPT, image).has_value();
}

bool metadataMirrorMatches(const std::string& image) {
    return scriptOutput(KESTREL_UDF_METADATA_SCRIPT, "--mirror-matches " + image).has_value();
}

bool giveSpaceBitmap(const std::string& image) {
    return scriptOutput(KESTREL_UDF_BITMAP_SCRIPT, image).has_value();
}

std::optional<unsigned long> bitmapFreeBlocks(const std::string& image) {
    const auto output = scriptOutput(KESTREL_UDF_BITMAP_SCRIPT, "--free " + image);
    return output ? std::optional(std::stoul(*output)) : std::nullopt;
}

bool clearIsoDescriptors(const std::string& image) {
    constexpr size_t kSector = 2048;
    auto bytes = readFileBytes(image);
    const auto holds = [&bytes](size_t sector, std::string_view identifier) {
        return (sector + 1) * kSector <= bytes.size() &&
               std::string_view(reinterpret_cast<const char*>(&bytes[sector * kSector + 1]),
                                identifier.size()) == identifier;
    };
    size_t first = 16;
    while (first < 64 && !holds(first, "BEA01")) {
        ++first;
    }
    size_t last = first;
    while (last < first + 8 && !holds(last, "TEA01")) {
        ++last;
    }
    if (first == 64 || last == first + 8) {
        return false;
    }
    const size_t moved = last + 1 - first;
    std::copy_n(bytes.begin() + static_cast<long>(first * kSector), moved * kSector,
                bytes.begin() + static_cast<long>(16 * kSector));
    std::fill(bytes.begin() + static_cast<long>((16 + moved) * kSector),
              bytes.begin() + static_cast<long>((last + 1) * kSector), 0);
    writeFileBytes(image, bytes);
    return true;
}

}  // namespace kestrel::test
