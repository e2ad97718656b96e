#include "io/PendingWrites.h"

#include <algorithm>

namespace kestrel {

void PendingWrites::write(uint64_t offset, std::span<const uint8_t> bytes) {
    // A write wholly inside this one shows nothing any more: forgetting it keeps a plan that
    // writes one record a thousand times from reading a thousand writes back each time.
    const uint64_t end = offset + bytes.size();
    for (auto it = byOffset_.lower_bound(offset); it != byOffset_.end() && it->first < end;) {
        auto& hidden = writes_[it->second];
        if (it->first + hidden.bytes.size() <= end) {
            hidden.bytes = {};
            it = byOffset_.erase(it);
        } else {
            ++it;
        }
    }
    byOffset_.emplace(offset, writes_.size());
    writes_.push_back({offset, {bytes.begin(), bytes.end()}});
    longest_ = std::max<uint64_t>(longest_, bytes.size());
}

void PendingWrites::overlay(uint64_t offset, std::span<uint8_t> buffer, size_t count) const {
    const uint64_t end = offset + count;
    std::vector<size_t> reaching;
    for (auto it = byOffset_.lower_bound(offset > longest_ ? offset - longest_ : 0);
         it != byOffset_.end() && it->first < end; ++it) {
        if (it->first + writes_[it->second].bytes.size() > offset) {
            reaching.push_back(it->second);
        }
    }
    std::ranges::sort(reaching);
    for (const size_t i : reaching) {
        const auto& write = writes_[i];
        const uint64_t first = std::max(offset, write.offset);
        const uint64_t last = std::min<uint64_t>(end, write.offset + write.bytes.size());
        std::copy(write.bytes.begin() + static_cast<ptrdiff_t>(first - write.offset),
                  write.bytes.begin() + static_cast<ptrdiff_t>(last - write.offset),
                  buffer.begin() + static_cast<ptrdiff_t>(first - offset));
    }
}

}  // namespace kestrel
