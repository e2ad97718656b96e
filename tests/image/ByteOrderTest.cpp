#include "image/ByteOrder.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kestrel {
namespace {

std::vector<uint8_t> bothEndian(uint32_t value) {
    std::array<uint8_t, 8> out{};
    writeBothEndian(out, value);
    return {out.begin(), out.end()};
}

TEST(ByteOrder, WritesTheLittleEndianHalfThenTheBigEndianHalf) {
    EXPECT_EQ(bothEndian(300), (std::vector<uint8_t>{0x2C, 0x01, 0, 0, 0, 0, 0x01, 0x2C}));
    EXPECT_EQ(bothEndian(static_cast<uint32_t>(-5)),
              (std::vector<uint8_t>{0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_EQ(bothEndian(0), std::vector<uint8_t>(8, 0));
    EXPECT_EQ(bothEndian(3000000000u),
              (std::vector<uint8_t>{0x00, 0x5E, 0xD0, 0xB2, 0xB2, 0xD0, 0x5E, 0x00}));
}

}  // namespace
}  // namespace kestrel
