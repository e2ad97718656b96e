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
    imageParts_.clear();
    imageBytes_ = 0;
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

void PatchWindow::addFromImage(uint64_t length) {
    imageParts_.push_back({data_.size(), position_, length});
    imageBytes_ += length;
    pend(Kind::Add, length);
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

WindowEncoding PatchWindow::encode(std::optional<uint32_t> adler) {
    flush();
    const uint64_t targetLength = position_ - offset_;
    const uint64_t dataLength = data_.size() + imageBytes_;
    head_.push_back((adler ? vcdiff::kAdler32 : 0) | (sourceLength_ > 0 ? vcdiff::kFromSource : 0));
    if (sourceLength_ > 0) {
        vcdiff::putInteger(head_, sourceLength_);
        vcdiff::putInteger(head_, offset_);
    }
    const uint64_t encodingLength =
        vcdiff::integerSize(targetLength) + 1 + vcdiff::integerSize(dataLength) +
        vcdiff::integerSize(instructions_.size()) + vcdiff::integerSize(addresses_.size()) +
        (adler ? 4 : 0) + dataLength + instructions_.size() + addresses_.size();
    vcdiff::putInteger(head_, encodingLength);
    vcdiff::putInteger(head_, targetLength);
    head_.push_back(0);  // Delta_Indicator: no section is compressed
    vcdiff::putInteger(head_, dataLength);
    vcdiff::putInteger(head_, instructions_.size());
    vcdiff::putInteger(head_, addresses_.size());
    for (const int shift : {24, 16, 8, 0}) {
        if (adler) {
            head_.push_back(static_cast<uint8_t>(*adler >> shift));
        }
    }
    WindowEncoding encoding{head_, {}, instructions_, addresses_};
    size_t inMemory = 0;
    for (const auto& part : imageParts_) {
        encoding.data.push_back({std::span(data_).subspan(inMemory, part.after - inMemory), 0, 0});
        encoding.data.push_back({{}, part.offset, part.length});
        inMemory = part.after;
    }
    encoding.data.push_back({std::span(data_).subspan(inMemory), 0, 0});
    return encoding;
}

}  // namespace kestrel
