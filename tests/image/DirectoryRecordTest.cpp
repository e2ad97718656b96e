#include "image/DirectoryRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

std::vector<uint8_t> rawRecord(const std::string& identifier, uint8_t flags = 0) {
    const size_t length = 33 + identifier.size() + (identifier.size() % 2 == 0 ? 1 : 0);
    std::vector<uint8_t> bytes(length, 0);
    bytes[0] = static_cast<uint8_t>(length);
    bytes[2] = 0x2C;  // extent 300
    bytes[3] = 0x01;
    bytes[10] = 0x01;  // data length 0x80000001
    bytes[13] = 0x80;
    bytes[18] = 103;
    bytes[19] = 2;
    bytes[20] = 3;
    bytes[25] = flags;
    bytes[32] = static_cast<uint8_t>(identifier.size());
    std::copy(identifier.begin(), identifier.end(), bytes.begin() + 33);
    return bytes;
}

TEST(DirectoryRecord, ReadsTheFieldsAndDropsTheVersionSuffixFromTheName) {
    const auto parsed = parseDirectoryRecord(rawRecord("README.TXT;1", 2));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->extentLba, 300u);
    EXPECT_EQ(parsed->dataLength, 0x80000001u);
    EXPECT_EQ(parsed->date.yearsSince1900, 103);
    EXPECT_EQ(parsed->date.month, 2);
    EXPECT_EQ(parsed->date.day, 3);
    EXPECT_EQ(parsed->flags, 2);
    EXPECT_FALSE(parsed->isListed());
    EXPECT_EQ(parsed->identifier, "README.TXT;1");
    EXPECT_EQ(parsed->name(), "README.TXT");
}

TEST(DirectoryRecord, NamesOfAnyLengthAreKeptWholeAndShortOnesAreEmpty) {
    const std::string longName(150, 'N');
    EXPECT_EQ(parseDirectoryRecord(rawRecord(longName + ";1"))->name(), longName);
    EXPECT_EQ(parseDirectoryRecord(rawRecord(";1"))->name(), "");
    EXPECT_EQ(parseDirectoryRecord(rawRecord("A"))->name(), "");
}

TEST(DirectoryRecord, RefusesBytesThatDoNotHoldAWholeRecord) {
    auto tooShort = rawRecord("A;1");
    tooShort[0] = 33;
    EXPECT_FALSE(parseDirectoryRecord(tooShort));

    auto identifierPastRecord = rawRecord("A;1");
    identifierPastRecord[32] = 4;  // 33 + 4 > 36
    EXPECT_FALSE(parseDirectoryRecord(identifierPastRecord));

    auto cut = rawRecord("README.TXT;1");
    cut.pop_back();
    EXPECT_FALSE(parseDirectoryRecord(cut));
    EXPECT_FALSE(parseDirectoryRecord({}));
}

}  // namespace
}  // namespace kestrel
