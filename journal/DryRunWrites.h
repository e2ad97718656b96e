// What a dry run would write, read back by its later steps, so that each step of a plan sees
// the image as the steps before it would leave it: their bytes, and the length they give the
// image and the layer-1 copy.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "io/PendingWrites.h"
#include "journal/EntryRecords.h"

namespace kestrel {

class DryRunWrites {
public:
    void write(JournalTarget target, uint64_t offset, std::span<const uint8_t> bytes);
    // Bytes `make` makes again whenever they are read, which no budget limits.
    void writeMade(JournalTarget target, uint64_t offset, uint64_t length,
                   PendingWrites::Maker make) {
        pendingOf(target).writeMade(offset, length, std::move(make));
    }
    void giveLength(JournalTarget target, uint64_t length) { pendingOf(target).giveLength(length); }
    const PendingWrites& pending(JournalTarget target) const {
        return target == JournalTarget::Image ? image_ : layerCopy_;
    }

private:
    PendingWrites& pendingOf(JournalTarget target) {
        return target == JournalTarget::Image ? image_ : layerCopy_;
    }

    PendingWrites image_;
    PendingWrites layerCopy_;
    uint64_t kept_ = 0;
    // By target: where the last withheld write ends, and where the bytes kept at its end start.
    std::array<uint64_t, 2> withheldEnd_{};
    std::array<uint64_t, 2> keptEndFrom_{};
};

}  // namespace kestrel
