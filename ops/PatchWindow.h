// One target window of a VCDIFF patch as it is made, front to back: unchanged bytes copied
// from the source segment at the same offsets, changed bytes added, zeros run; then its
// encoding, whose data section holds the added bytes, or names where in the image they are
// to be copied from, file to file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel {

// A part of a window's data section: bytes in memory, or bytes of the image.
struct DataPart {
    std::span<const uint8_t> bytes;
    uint64_t imageOffset = 0;
    uint64_t imageLength = 0;  // none for bytes in memory
};

struct WindowEncoding {
    std::span<const uint8_t> head;
    std::vector<DataPart> data;
    std::span<const uint8_t> instructions;
    std::span<const uint8_t> addresses;
};

class PatchWindow {
public:
    // The window of the target from `offset`, its source segment the `sourceLength` bytes of
    // the source from the same offset.
    void start(uint64_t offset, uint64_t sourceLength);
    // The target offset the next bytes go to.
    uint64_t position() const { return position_; }
    // The next `length` bytes are the source's at the same offsets, which the segment holds.
    void copy(uint64_t length);
    // The next `length` bytes are the ones written into the span returned, before the next call.
    std::span<uint8_t> add(uint64_t length);
    // The next `length` bytes are the image's at the same offsets, copied when it is written.
    void addFromImage(uint64_t length);
    // The next `length` bytes are zeros.
    void runOfZeros(uint64_t length);
    // Its encoding, with the Adler-32 of the bytes it makes where given, valid until the next
    // start.
    WindowEncoding encode(std::optional<uint32_t> adler);

private:
    enum class Kind { None, Copy, Add, Run };
    void flush();
    void pend(Kind kind, uint64_t length);

    uint64_t offset_ = 0;
    uint64_t sourceLength_ = 0;
    uint64_t position_ = 0;
    Kind pending_ = Kind::None;
    uint64_t pendingLength_ = 0;
    uint64_t pendingAddress_ = 0;
    std::vector<uint8_t> head_;
    std::vector<uint8_t> data_;
    // The image's bytes in the data section, each behind the bytes in memory added before it.
    struct ImagePart {
        size_t after = 0;  // of data_
        uint64_t offset = 0;
        uint64_t length = 0;
    };
    std::vector<ImagePart> imageParts_;
    uint64_t imageBytes_ = 0;
    std::vector<uint8_t> instructions_;
    std::vector<uint8_t> addresses_;
};

}  // namespace kestrel
