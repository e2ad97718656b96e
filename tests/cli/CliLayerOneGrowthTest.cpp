// Layer 1 of a dual-layer image runs to the image's end, so a replacement too long for its
// file, and a file added, go there (or into a gap of zeros when asked), as on a single-layer
// image: each row on a fresh copy of the builder's dual-layer image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CliRun.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kSector = 2048;
constexpr uint64_t kLayerOneLead = 16 * kSector;
constexpr uint64_t kVolumeSizeAt = 16 * kSector + 80;
constexpr uint64_t kRootRecordAt = 16 * kSector + 156;

uint32_t le32(const Bytes& bytes, uint64_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

Bytes bothByteOrders(uint32_t value) {
    return {uint8_t(value),       uint8_t(value >> 8),  uint8_t(value >> 16), uint8_t(value >> 24),
            uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),  uint8_t(value)};
}

Bytes slice(const Bytes& bytes, uint64_t from, uint64_t length) {
    const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(from);
    return {start, start + static_cast<std::ptrdiff_t>(length)};
}

// The image then equals the original but for layer 1's volume size, its root directory (where
// the record is written) and the placed sectors, so every byte of layer 0 stays; the layer-1
// copy the edit wrote agrees with the image; isoinfo, reading layer 1's bytes, and
// `extract --layer 1` give the file's bytes; undo gives the original back, its length too.
TEST(CliLayerOneGrowth, PlacesTheFileInLayerOneAndUndoesIt) {
    TempDir folder;
    ::setenv("XDG_CACHE_HOME", folder.file("cache").c_str(), 1);
    const std::string image = folder.file("dual.iso");
    ASSERT_EQ(runProgram(KESTREL_MKIMAGE, {"--layout", "dual", image}).status, 0);
    const Bytes original = readFileBytes(image);
    const uint64_t start = le32(original, kVolumeSizeAt) * kSector - kLayerOneLead;
    const uint64_t root = start + le32(original, start + kRootRecordAt + 2) * kSector;
    const Bytes data = pattern(300000, 5);
    // Its own name is the one Add gives it.
    const std::string file = folder.file("ADDED.BIN");
    writeFileBytes(file, data);

    const struct {
        const char* command;
        const char* target;  // the file replaced, or the directory added to
        const char* path;    // where layer 1 then holds the bytes
        bool intoGap;
    } rows[] = {
        {"replace", "/LAYER1.TXT", "/LAYER1.TXT", false},
        {"replace", "/LAYER1.TXT", "/LAYER1.TXT", true},
        {"add", "/", "/ADDED.BIN", false},
        {"add", "/", "/ADDED.BIN", true},
    };
    for (const auto& [command, target, path, intoGap] : rows) {
        SCOPED_TRACE(std::string(command) + (intoGap ? " --into-gap" : ""));
        writeFileBytes(image, original);
        std::vector<std::string> arguments{command, image, target, file, "--layer", "1", "--json"};
        if (intoGap) {
            arguments.emplace_back("--into-gap");
        }
        const auto run = runCli(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        const auto placement = run.json().at("placement");
        ASSERT_EQ(placement.at("kind"), intoGap ? "gap" : "volume-end");
        const uint32_t lba = placement.at("lba");
        const uint32_t grown = intoGap ? le32(original, start + kVolumeSizeAt)
                                       : lba + placement.at("sectors").get<uint32_t>();

        const Bytes after = readFileBytes(image);
        Bytes wanted = withBytesAt(original, start + kVolumeSizeAt, bothByteOrders(grown));
        wanted = withBytesAt(wanted, root, slice(after, root, kSector));
        // The copy holds layer 1's start as the image does, but for file data, which is read
        // from the image and never copied.
        const Bytes copied = readFileBytes(folder.file("cache/kestrel/93213_43.tmp"));
        EXPECT_TRUE(copied == slice(wanted, start, copied.size()));
        wanted.resize(start + uint64_t{grown} * kSector);
        EXPECT_TRUE(after == withBytesAt(wanted, start + lba * kSector, data));

        const std::string layerOne = folder.file("layer1.iso");
        writeFileBytes(layerOne, slice(after, start, after.size() - start));
        EXPECT_TRUE(commandOutput("isoinfo -i " + layerOne + " -x '" + path + ";1'") ==
                    std::string(data.begin(), data.end()));
        const std::string out = folder.file("out");
        ASSERT_EQ(runCli({"extract", "--layer", "1", "-o", out, image, path}).status, 0);
        EXPECT_TRUE(readFileBytes(out + path) == data);

        ASSERT_EQ(runCli({"undo", image}).status, 0);
        EXPECT_TRUE(readFileBytes(image) == original);
    }
}

}  // namespace
}  // namespace kestrel::test
