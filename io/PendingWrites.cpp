#include "io/PendingWrites.h"

#include <algorithm>

namespace kestrel {

void PendingWrites::write(uint64_t offset, std::span<const uint8_t> bytes) {
    writes_.push_back({offset, {bytes.begin(), bytes.end()}});
}

void PendingWrites::overlay(uint64_t offset, std::span<uint8_t> buffer, size_t count) const {
    const uint64_t end = offset + count;
    for (const auto& write : writes_) {
        const uint64_t first = std::max(offset, write.offset);
        const uint64_t last = std::min<uint64_t>(end, write.offset + write.bytes.size());
        if (first < last) {
            std::copy(write.bytes.begin() + static_cast<ptrdiff_t>(first - write.offset),
                      write.bytes.begin() + static_cast<ptrdiff_t>(last - write.offset),
                      buffer.begin() + static_cast<ptrdiff_t>(first - offset));
        }
    }
}

}  // namespace kestrel
