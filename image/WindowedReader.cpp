#include "image/WindowedReader.h"

#include <algorithm>

namespace kestrel {

WindowedReader::WindowedReader(const ImageSource& file, size_t windowSize)
    : file_(file), window_(windowSize) {}

Result<std::span<const uint8_t>> WindowedReader::view(uint64_t offset, size_t length) {
    const bool inWindow =
        loaded_ && offset >= windowStart_ && offset - windowStart_ <= windowLength_;
    const bool windowHoldsAll =
        inWindow && (offset - windowStart_ + length <= windowLength_ || reachedEnd_);
    if (!windowHoldsAll) {
        auto read = file_.readAt(offset, window_);
        if (!read) {
            return read.error();
        }
        windowStart_ = offset;
        windowLength_ = *read;
        loaded_ = true;
        reachedEnd_ = windowLength_ < window_.size();  // a short window reached the end
    }
    const size_t start = offset - windowStart_;
    const size_t available = windowLength_ - start;
    return std::span<const uint8_t>(window_).subspan(start, std::min(length, available));
}

void WindowedReader::widen(size_t windowSize) {
    window_.resize(std::max(window_.size(), windowSize));
}

}  // namespace kestrel
