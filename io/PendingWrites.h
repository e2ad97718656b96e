// Writes kept in memory over a file and read back through it, in the order they were made, a
// later one over an earlier. An edit made of many small writes (a plan of thousands of record
// edits) is first made against them, so each step reads what the steps before it wrote; then
// every old byte is saved to the undo journal with one sync, and the writes go to the file.
// A dry run reads its own writes back the same way, with the length it gave the file; it may
// withhold the bytes of a large write (known to be written, but not what), and have bytes it
// can make again made as they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace kestrel {

class PendingWrites {
public:
    // Fills `bytes` with what a made write holds from `offset`.
    using Maker = std::function<void(uint64_t offset, std::span<uint8_t> bytes)>;

    void write(uint64_t offset, std::span<const uint8_t> bytes);
    // A write of `length` bytes from `offset` whose bytes are not kept.
    void withhold(uint64_t offset, uint64_t length);
    // A write of `length` bytes from `offset` that `make` makes whenever they are read.
    void writeMade(uint64_t offset, uint64_t length, Maker make);
    // The file reads as `length` bytes long from now on, those past its end as zeros until
    // written.
    void giveLength(uint64_t length) { length_ = length; }
    std::optional<uint64_t> length() const { return length_; }
    // Lays the writes over the first `count` bytes of `buffer`, read from `offset`. Returns
    // the first byte of a withheld write they reach, whose bytes are not known; nothing when
    // they reach none.
    std::optional<uint64_t> overlay(uint64_t offset, std::span<uint8_t> buffer, size_t count) const;

private:
    struct Write {
        uint64_t offset = 0;
        uint64_t length = 0;
        std::vector<uint8_t> bytes;  // none where they are withheld or made
        Maker make;

        uint64_t end() const { return offset + length; }
        bool withheld() const { return length > 0 && bytes.empty() && !make; }
    };
    void add(Write write);

    std::vector<Write> writes_;
    // The writes' numbers by their first byte, so a read looks only at those that can reach it.
    std::multimap<uint64_t, size_t> byOffset_;
    uint64_t longest_ = 0;
    std::optional<uint64_t> length_;
};

}  // namespace kestrel
