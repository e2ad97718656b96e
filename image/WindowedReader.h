// Serves the walks' many small reads from one window of the file, so a path table of
// thousands of records or a directory of many sectors costs a few large reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "io/ImageSource.h"

namespace kestrel {

class WindowedReader {
public:
    explicit WindowedReader(const ImageSource& file, size_t windowSize = 64 * 1024);

    // Up to `length` bytes from `offset`; fewer only where the file ends. The view lasts until
    // the next call. `length` must not exceed the window size.
    Result<std::span<const uint8_t>> view(uint64_t offset, size_t length);
    // Reads later windows of `windowSize` bytes; what the window holds stays there.
    void widen(size_t windowSize);

private:
    const ImageSource& file_;
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;
    size_t windowLength_ = 0;
    bool loaded_ = false;
    bool reachedEnd_ = false;  // the window holds the file's last byte
};

}  // namespace kestrel
