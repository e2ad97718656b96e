#include "journal/StagedWrites.h"

#include <algorithm>

namespace kestrel {

void StagedWrites::save(JournalTarget target, uint64_t offset, std::span<const uint8_t> oldBytes,
                        std::span<const uint8_t> newBytes) {
    saves_.push_back(
        {target, offset, {oldBytes.begin(), oldBytes.end()}, {newBytes.begin(), newBytes.end()}});
    pendingOf(target).write(offset, newBytes);
}

void StagedWrites::rollBackTo(size_t mark) {
    if (mark >= saves_.size()) {
        return;
    }
    saves_.resize(mark);
    image_ = {};
    layerCopy_ = {};
    for (const auto& save : saves_) {
        pendingOf(save.target).write(save.offset, save.newBytes);
    }
}

std::vector<StagedSave> StagedWrites::merged(JournalTarget target) const {
    std::vector<size_t> order;
    for (size_t i = 0; i < saves_.size(); ++i) {
        if (saves_[i].target == target && !saves_[i].newBytes.empty()) {
            order.push_back(i);
        }
    }
    std::ranges::stable_sort(order, {}, [&](size_t i) { return saves_[i].offset; });
    std::vector<StagedSave> merged;
    for (size_t first = 0; first < order.size();) {
        uint64_t end = saves_[order[first]].offset + saves_[order[first]].newBytes.size();
        size_t last = first + 1;
        while (last < order.size() && saves_[order[last]].offset < end) {
            end = std::max<uint64_t>(
                end, saves_[order[last]].offset + saves_[order[last]].newBytes.size());
            ++last;
        }
        std::vector<size_t> cluster(order.begin() + static_cast<ptrdiff_t>(first),
                                    order.begin() + static_cast<ptrdiff_t>(last));
        std::ranges::sort(cluster);
        StagedSave range{target, saves_[order[first]].offset, {}, {}};
        range.oldBytes.resize(end - range.offset);
        range.newBytes.resize(end - range.offset);
        // The earliest save's old bytes are laid last, the latest save's new bytes last.
        for (auto i = cluster.rbegin(); i != cluster.rend(); ++i) {
            const auto& save = saves_[*i];
            std::ranges::copy(
                save.oldBytes,
                range.oldBytes.begin() + static_cast<ptrdiff_t>(save.offset - range.offset));
        }
        for (const size_t i : cluster) {
            const auto& save = saves_[i];
            std::ranges::copy(
                save.newBytes,
                range.newBytes.begin() + static_cast<ptrdiff_t>(save.offset - range.offset));
        }
        merged.push_back(std::move(range));
        first = last;
    }
    return merged;
}

}  // namespace kestrel
