// Pseudo-random bytes that are a pure function of their position, so that any window of the
// benchmark's data can be checked again without keeping a copy of the gigabyte it came from.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::bench {

class PatternBytes {
public:
    explicit PatternBytes(uint64_t seed) : seed_(seed) {}

    // Fills `buffer` with the pattern's bytes from `offset` on; `offset` is a multiple of 8.
    void fill(uint64_t offset, std::span<uint8_t> buffer) const;

private:
    uint64_t seed_;
};

// What a stretch of a file should hold: a pattern from its first byte on, or zeros.
using Expected = std::optional<PatternBytes>;

inline constexpr uint64_t kWindowBytes = 4096;

// Writes `length` bytes of `content` into `path` at `base` and syncs them, so that no run
// inherits another's pending writeback.
void writeStretch(const std::string& path, uint64_t base, uint64_t length, const Expected& content,
                  bool create = false);

// The first and the last 4 KiB window of `length` bytes and `count` others spread at random.
std::vector<uint64_t> sampleWindows(uint64_t length, int count);

// Writes `content` into the windows (stretch-relative offsets) of the stretch at `base`, synced.
void writeWindows(const std::string& path, uint64_t base, const std::vector<uint64_t>& windows,
                  const Expected& content);

// Throws std::runtime_error naming `who` and the first window that differs from `expected`.
void checkWindows(const std::string& who, const std::string& path, uint64_t base,
                  const std::vector<uint64_t>& windows, const Expected& expected);
// The same for every byte of the stretch, read and compared in large blocks.
void checkStretch(const std::string& who, const std::string& path, uint64_t base, uint64_t length,
                  const Expected& expected);

}  // namespace kestrel::bench
