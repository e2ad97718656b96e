#include "ops/VcdiffFormat.h"

namespace kestrel::vcdiff {

namespace {

constexpr uint8_t kMore = 0x80;
constexpr uint64_t kDigit = 0x7f;
constexpr size_t kMostDigits = 10;

}  // namespace

void putInteger(std::vector<uint8_t>& out, uint64_t value) {
    std::array<uint8_t, kMostDigits> digits{};
    size_t count = 0;
    do {
        digits[count++] = static_cast<uint8_t>(value & kDigit);
        value >>= 7;
    } while (value != 0);
    while (count-- > 0) {
        out.push_back(static_cast<uint8_t>(digits[count] | (count > 0 ? kMore : 0)));
    }
}

size_t integerSize(uint64_t value) {
    size_t size = 1;
    while (value >>= 7) {
        ++size;
    }
    return size;
}

std::optional<uint64_t> getInteger(std::span<const uint8_t> bytes, size_t& at) {
    uint64_t value = 0;
    for (size_t digits = 0; digits < kMostDigits && at < bytes.size(); ++digits) {
        if (value >> 57 != 0) {
            return std::nullopt;
        }
        const uint8_t byte = bytes[at++];
        value = value << 7 | (byte & kDigit);
        if ((byte & kMore) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

}  // namespace kestrel::vcdiff
