#include "io/PendingWrites.h"

#include <algorithm>

namespace kestrel {

void PendingWrites::write(uint64_t offset, std::span<const uint8_t> bytes) {
    add({offset, bytes.size(), {bytes.begin(), bytes.end()}, {}});
}

void PendingWrites::withhold(uint64_t offset, uint64_t length) {
    add({offset, length, {}, {}});
}

void PendingWrites::writeMade(uint64_t offset, uint64_t length, Maker make) {
    add({offset, length, {}, std::move(make)});
}

void PendingWrites::add(Write write) {
    // A write wholly inside this one shows nothing any more: forgetting it keeps a plan that
    // writes one record a thousand times from reading a thousand writes back each time.
    const uint64_t end = write.end();
    for (auto it = byOffset_.lower_bound(write.offset); it != byOffset_.end() && it->first < end;) {
        auto& hidden = writes_[it->second];
        if (hidden.end() <= end) {
            hidden = {};
            it = byOffset_.erase(it);
        } else {
            ++it;
        }
    }
    longest_ = std::max(longest_, write.length);
    byOffset_.emplace(write.offset, writes_.size());
    writes_.push_back(std::move(write));
}

std::optional<uint64_t> PendingWrites::overlay(uint64_t offset, std::span<uint8_t> buffer,
                                               size_t count) const {
    const uint64_t end = offset + count;
    std::vector<size_t> reaching;
    for (auto it = byOffset_.lower_bound(offset > longest_ ? offset - longest_ : 0);
         it != byOffset_.end() && it->first < end; ++it) {
        if (writes_[it->second].end() > offset) {
            reaching.push_back(it->second);
        }
    }
    std::ranges::sort(reaching);
    std::optional<uint64_t> unknown;
    for (const size_t i : reaching) {
        const auto& write = writes_[i];
        const uint64_t first = std::max(offset, write.offset);
        const uint64_t last = std::min(end, write.end());
        const auto into = buffer.subspan(first - offset, last - first);
        if (write.make) {
            write.make(first, into);
        } else if (write.withheld()) {
            unknown = std::min(unknown.value_or(first), first);
        } else {
            std::copy(write.bytes.begin() + static_cast<ptrdiff_t>(first - write.offset),
                      write.bytes.begin() + static_cast<ptrdiff_t>(last - write.offset),
                      into.begin());
        }
    }
    return unknown;
}

}  // namespace kestrel
