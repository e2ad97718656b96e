#include "ops/ImageWriter.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

TEST(ImageWriter, WritesOnlyInsideTheFileAsItIsNowAndNeverCreatesOne) {
    TempDir dir;
    const auto path = dir.file("image.bin");
    writeFileBytes(path, std::vector<uint8_t>(100, 0xAA));
    auto writer = ImageWriter::open(path);
    ASSERT_TRUE(writer);
    const std::vector<uint8_t> four{1, 2, 3, 4};

    ASSERT_TRUE(writer->writeAt(96, four));
    auto past = writer->writeAt(97, four);
    ASSERT_FALSE(past);
    EXPECT_EQ(past.error().kind, ErrorKind::OutOfRange);
    EXPECT_NE(past.error().message.find(path), std::string::npos);
    for (const uint64_t far : {uint64_t{1} << 62, ~uint64_t{0} - 1}) {
        EXPECT_EQ(writer->writeAt(far, four).error().kind, ErrorKind::OutOfRange) << far;
    }
    EXPECT_EQ(readFileBytes(path), withBytesAt(std::vector<uint8_t>(100, 0xAA), 96, four));

    // A file that shrank after it was opened is measured again.
    std::filesystem::resize_file(path, 50);
    EXPECT_FALSE(writer->writeAt(60, four));
    ASSERT_TRUE(writer->finish());
    EXPECT_EQ(readFileBytes(path), std::vector<uint8_t>(50, 0xAA));

    auto missing = ImageWriter::open(dir.file("new.iso"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_FALSE(std::filesystem::exists(dir.file("new.iso")));
}

}  // namespace
}  // namespace kestrel
