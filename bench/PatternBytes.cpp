#include "PatternBytes.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <stdexcept>

namespace kestrel::bench {

namespace {

constexpr size_t kBlockBytes = size_t{8} << 20;

// SplitMix64: cheap enough to generate a gigabyte in well under a second, and every word
// depends only on its index, which is what lets a window be checked on its own.
uint64_t mixedWord(uint64_t index) {
    uint64_t z = index * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

[[noreturn]] void throwSystemError(const std::string& what, const std::string& path) {
    throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

class Descriptor {
public:
    Descriptor(const std::string& path, int flags) : path_(path) {
        fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            throwSystemError("cannot open", path);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { ::close(fd_); }

    void writeAt(uint64_t offset, std::span<const uint8_t> bytes) const {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t put = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                                         static_cast<off_t>(offset + done));
            if (put <= 0 && errno != EINTR) {
                throwSystemError("cannot write", path_);
            }
            done += put > 0 ? static_cast<size_t>(put) : 0;
        }
    }
    // Reads exactly `bytes.size()` bytes; a file that ends sooner is a failed check.
    void readAt(uint64_t offset, std::span<uint8_t> bytes) const {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t got = ::pread(fd_, bytes.data() + done, bytes.size() - done,
                                        static_cast<off_t>(offset + done));
            if (got == 0) {
                throw std::runtime_error(path_ + " ends before byte " +
                                         std::to_string(offset + bytes.size()));
            }
            if (got < 0 && errno != EINTR) {
                throwSystemError("cannot read", path_);
            }
            done += got > 0 ? static_cast<size_t>(got) : 0;
        }
    }
    void sync() const {
        if (::fsync(fd_) != 0) {
            throwSystemError("cannot sync", path_);
        }
    }

private:
    std::string path_;
    int fd_ = -1;
};

void fillExpected(const Expected& expected, uint64_t offset, std::span<uint8_t> buffer) {
    if (expected) {
        expected->fill(offset, buffer);
    } else {
        std::ranges::fill(buffer, uint8_t{0});
    }
}

void compareBlock(const std::string& who, const std::string& path, uint64_t base, uint64_t offset,
                  std::span<const uint8_t> got, std::span<uint8_t> scratch,
                  const Expected& expected) {
    fillExpected(expected, offset, scratch);
    if (!std::ranges::equal(got, scratch)) {
        const auto at = std::ranges::mismatch(got, scratch).in1 - got.begin();
        throw std::runtime_error(who + ": " + path + " holds wrong bytes at byte " +
                                 std::to_string(base + offset + static_cast<uint64_t>(at)) + " (" +
                                 std::to_string(offset + static_cast<uint64_t>(at)) +
                                 " into the file's data)");
    }
}

}  // namespace

void PatternBytes::fill(uint64_t offset, std::span<uint8_t> buffer) const {
    const uint64_t firstWord = offset / 8;
    for (size_t at = 0; at < buffer.size(); at += 8) {
        // Seeds sit 2^40 words apart, so two patterns never share a word within 8 TiB.
        const uint64_t word = mixedWord((seed_ << 40) + firstWord + at / 8);
        std::memcpy(buffer.data() + at, &word, std::min<size_t>(8, buffer.size() - at));
    }
}

void writeStretch(const std::string& path, uint64_t base, uint64_t length, const Expected& content,
                  bool create) {
    const Descriptor file(path, create ? O_WRONLY | O_CREAT | O_TRUNC : O_WRONLY);
    std::vector<uint8_t> block(kBlockBytes);
    for (uint64_t done = 0; done < length; done += block.size()) {
        const auto part = std::span(block).first(std::min<uint64_t>(block.size(), length - done));
        fillExpected(content, done, part);
        file.writeAt(base + done, part);
    }
    file.sync();
}

std::vector<uint64_t> sampleWindows(uint64_t length, int count) {
    const uint64_t lastWindow = length / kWindowBytes - 1;
    std::vector<uint64_t> windows{0, lastWindow * kWindowBytes};
    // A fixed seed, so that every run of the benchmark checks the same places.
    std::mt19937_64 random(20030203);
    std::uniform_int_distribution<uint64_t> pick(1, lastWindow - 1);
    for (int i = 0; i < count; ++i) {
        windows.push_back(pick(random) * kWindowBytes);
    }
    return windows;
}

void writeWindows(const std::string& path, uint64_t base, const std::vector<uint64_t>& windows,
                  const Expected& content) {
    const Descriptor file(path, O_WRONLY);
    std::vector<uint8_t> window(kWindowBytes);
    for (const uint64_t offset : windows) {
        fillExpected(content, offset, window);
        file.writeAt(base + offset, window);
    }
    file.sync();
}

void checkWindows(const std::string& who, const std::string& path, uint64_t base,
                  const std::vector<uint64_t>& windows, const Expected& expected) {
    const Descriptor file(path, O_RDONLY);
    std::vector<uint8_t> got(kWindowBytes);
    std::vector<uint8_t> scratch(kWindowBytes);
    for (const uint64_t offset : windows) {
        file.readAt(base + offset, got);
        compareBlock(who, path, base, offset, got, scratch, expected);
    }
}

void checkStretch(const std::string& who, const std::string& path, uint64_t base, uint64_t length,
                  const Expected& expected) {
    const Descriptor file(path, O_RDONLY);
    std::vector<uint8_t> got(kBlockBytes);
    std::vector<uint8_t> scratch(kBlockBytes);
    for (uint64_t done = 0; done < length; done += got.size()) {
        const uint64_t part = std::min<uint64_t>(got.size(), length - done);
        file.readAt(base + done, std::span(got).first(part));
        compareBlock(who, path, base, done, std::span(got).first(part),
                     std::span(scratch).first(part), expected);
    }
}

}  // namespace kestrel::bench
