// Reads back a VCDIFF patch that Kestrel wrote, one target window at a time, making each
// window's bytes from a source as xdelta3 would, so that a patch can be tried on an image
// without writing anything. Only what the writer uses is read (see VcdiffFormat.h); any other
// patch is refused as not Kestrel's.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/ImageFile.h"

namespace kestrel {

struct DecodedWindow {
    uint64_t offset = 0;  // in the target
    std::vector<uint8_t> bytes;
    std::optional<uint32_t> adler;  // the Adler-32 the patch gives for them
};

class PatchReader {
public:
    static Result<PatchReader> open(const std::string& path);

    const std::string& applicationHeader() const { return header_; }
    // Reads the source's bytes at an offset.
    using Source = std::function<Result<void>(uint64_t offset, std::span<uint8_t> bytes)>;
    // The next window, made from `source`; nothing after the last.
    Result<std::optional<DecodedWindow>> next(const Source& source);

private:
    PatchReader(ImageFile file, uint64_t size) : file_(std::move(file)), size_(size) {}
    Error malformed(const std::string& what) const;
    Result<std::vector<uint8_t>> readBytes(uint64_t offset, uint64_t length) const;

    ImageFile file_;
    uint64_t size_ = 0;
    uint64_t at_ = 0;  // the next window's first byte
    uint64_t target_ = 0;
    std::string header_;
};

}  // namespace kestrel
