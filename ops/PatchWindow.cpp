#include "ops/PatchWindow.h"

#include "ops/VcdiffFormat.h"

namespace kestrel {

void PatchWindow::start(uint64_t offset, uint64_t sourceLength) {
    offset_ = offset;
    sourceLength_ = sourceLength;
    position_ = offset;
    pending_ = Kind::None;
    pendingLength_ = 0;
    head_.clear();
    data_.clear();
    instructions_.clear();
    addresses_.clear();
}

void PatchWindow::copy(uint64_t length) {
    // The copy goes on the one before when it takes the source bytes right behind it.
    if (pending_ != Kind::Copy || pendingAddress_ + pendingLength_ != position_ - offset_) {
        flush();
        pending_ = Kind::Copy;
        pendingAddress_ = position_ - offset_;
    }
    pendingLength_ += length;
    position_ += length;
}

std::span<uint8_t> PatchWindow::add(uint64_t length) {
    pend(Kind::Add, length);
    data_.resize(data_.size() + length);
    return std::span(data_).last(length);
}

void PatchWindow::runOfZeros(uint64_t length) {
    if (pending_ != Kind::Run) {
        data_.push_back(0);
    }
    pend(Kind::Run, length);
}

void PatchWindow::pend(Kind kind, uint64_t length) {
    if (pending_ != kind) {
        flush();
        pending_ = kind;
    }
    pendingLength_ += length;
    position_ += length;
}

void PatchWindow::flush() {
    if (pending_ == Kind::None || pendingLength_ == 0) {
        pending_ = Kind::None;
        return;
    }
    switch (pending_) {
        case Kind::Copy:
            instructions_.push_back(vcdiff::kCopySelf);
            vcdiff::putInteger(addresses_, pendingAddress_);
            break;
        case Kind::Add:
            instructions_.push_back(vcdiff::kAdd);
            break;
        case Kind::Run:
            instructions_.push_back(vcdiff::kRun);
            break;
        case Kind::None:
            break;
    }
    vcdiff::putInteger(instructions_, pendingLength_);
    pending_ = Kind::None;
    pendingLength_ = 0;
}

std::array<std::span<const uint8_t>, 4> PatchWindow::encode(uint32_t adler) {
    flush();
    const uint64_t targetLength = position_ - offset_;
    head_.push_back(vcdiff::kAdler32 | (sourceLength_ > 0 ? vcdiff::kFromSource : 0));
    if (sourceLength_ > 0) {
        vcdiff::putInteger(head_, sourceLength_);
        vcdiff::putInteger(head_, offset_);
    }
    constexpr size_t kIndicatorAndChecksum = 1 + 4;
    const uint64_t encodingLength =
        vcdiff::integerSize(targetLength) + vcdiff::integerSize(data_.size()) +
        vcdiff::integerSize(instructions_.size()) + vcdiff::integerSize(addresses_.size()) +
        kIndicatorAndChecksum + data_.size() + instructions_.size() + addresses_.size();
    vcdiff::putInteger(head_, encodingLength);
    vcdiff::putInteger(head_, targetLength);
    head_.push_back(0);  // Delta_Indicator: no section is compressed
    vcdiff::putInteger(head_, data_.size());
    vcdiff::putInteger(head_, instructions_.size());
    vcdiff::putInteger(head_, addresses_.size());
    for (const int shift : {24, 16, 8, 0}) {
        head_.push_back(static_cast<uint8_t>(adler >> shift));
    }
    return {head_, data_, instructions_, addresses_};
}

}  // namespace kestrel
