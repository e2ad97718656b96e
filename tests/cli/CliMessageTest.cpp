// What a refusal names: the image as the user gave it (a cue sheet, not its data file; a layer
// of the image, not the private copy it is read from), a line of a cue sheet as it stands, and
// something visible for an empty name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "CliRun.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

struct MessageCase {
    const char* name;
    // Makes what the run opens in the folder and returns its path, {image} in `arguments`.
    std::function<std::string(const TempDir&)> make;
    std::vector<std::string> arguments;
    std::string said;     // with {image} for that path
    std::string notSaid;  // what a garbled or wrongly named line held
};

void PrintTo(const MessageCase& message, std::ostream* out) {
    *out << message.name;
}

std::string replaced(std::string text, const std::string& image) {
    if (const auto at = text.find("{image}"); at != std::string::npos) {
        text.replace(at, 7, image);
    }
    return text;
}

// A raw CD sample and its cue sheet, then the sheet replaced by `sheet` when given.
std::string rawSample(const TempDir& folder, const std::string& sheet = {}) {
    const auto bin = folder.file("image.bin");
    EXPECT_TRUE(commandOutput(std::string(KESTREL_MKIMAGE) + " --raw mode1 " + bin));
    const auto cue = folder.file("image.cue");
    if (!sheet.empty()) {
        std::ofstream(cue) << sheet;
    }
    return cue;
}

const std::vector<MessageCase> kCases = {
    {"ACutShortRawImageIsNamedByItsCueSheet",
     [](const TempDir& folder) {
         const auto cue = rawSample(folder);
         fs::resize_file(folder.file("image.bin"), 16 * 2352);
         return cue;
     },
     {"info", "{image}"},
     "{image} is too short to be a disc image",
     "image.bin"},
    {"AFileLineWithoutItsTypeIsQuoted",
     [](const TempDir& folder) {
         return rawSample(folder, "FILE image.bin\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n");
     },
     {"info", "{image}"},
     "in the line \"FILE image.bin\"; only BINARY",
     " as ;"},
    {"ATrackLineWithoutItsNumberIsQuoted",
     [](const TempDir& folder) {
         return rawSample(folder, "FILE image.bin BINARY\nTRACK MODE2/2352\nINDEX 01 00:00:00\n");
     },
     {"info", "{image}"},
     "(its tracks: \"TRACK MODE2/2352\")",
     "MODE2/2352 )"},
    {"ACutShortLayerOneIsNamedAsALayerOfTheImage",
     [](const TempDir& folder) {
         const auto image = folder.file("image.iso");
         EXPECT_TRUE(commandOutput(std::string(KESTREL_MKIMAGE) + " --layout dual " + image));
         // Layer 1 starts 16 sectors before layer 0 ends: keep its descriptor, nothing behind.
         const auto sectors = readBytesAt(image, 16 * 2048 + 80, 4);
         const uint64_t layer0Sectors = static_cast<uint8_t>(sectors[0]) |
                                        static_cast<uint8_t>(sectors[1]) << 8 |
                                        static_cast<uint8_t>(sectors[2]) << 16;
         fs::resize_file(image, (layer0Sectors + 1) * 2048);
         return image;
     },
     {"ls", "--layer", "1", "{image}"},
     "layer 1 of {image} is too short to be a disc image",
     ".tmp"},
    {"AnEmptyNameHasAStandIn",
     [](const TempDir& folder) {
         IsoBuilder builder(Layout::CdRomXa, "LABEL");
         builder.addFile(IsoBuilder::kRoot, fileAt("", 40, 5, {}));
         const auto image = folder.file("image.iso");
         builder.writeTo(image);
         return image;
     },
     {"extract", "-r", "-o", "out", "{image}", "/"},
     "(a record with an empty name): its name is not one",
     "\n: "},
    {"AUdfOnlyImageWithoutAnchorsIsSaidToBeOne",
     [](const TempDir& folder) {
         const auto image = folder.file("image.udf");
         EXPECT_TRUE(commandOutput("mkudffs --new-file -b 2048 " + image + " 2000 >/dev/null"));
         for (const int anchor : {256, 1744, 1999}) {
             EXPECT_TRUE(commandOutput("dd if=/dev/zero of=" + image +
                                       " bs=2048 seek=" + std::to_string(anchor) +
                                       " count=1 conv=notrunc status=none"));
         }
         return image;
     },
     {"info", "{image}"},
     "{image} holds a UDF file system without ISO 9660 that cannot be read: it holds no sound "
     "UDF anchor",
     "primary volume descriptor"},
};

class CliMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(CliMessage, NamesWhatTheUserKnows) {
    const auto& message = GetParam();
    const TempDir folder;
    const auto image = message.make(folder);
    std::vector<std::string> arguments;
    for (const auto& argument : message.arguments) {
        arguments.push_back(argument == "out" ? folder.file("out") : replaced(argument, image));
    }
    const auto before = readFileBytes(image);
    const auto run = runCli(arguments);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(replaced(message.said, image)), std::string::npos) << run.err;
    EXPECT_EQ(("\n" + run.err).find(message.notSaid), std::string::npos) << run.err;
    EXPECT_EQ(readFileBytes(image), before);
}

INSTANTIATE_TEST_SUITE_P(Messages, CliMessage, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::test
