// Writes kept in memory over a file and read back through it, in the order they were made, a
// later one over an earlier. An edit made of many small writes (a plan of thousands of record
// edits) is first made against them, so each step reads what the steps before it wrote; then
// every old byte is saved to the undo journal with one sync, and the writes go to the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace kestrel {

class PendingWrites {
public:
    void write(uint64_t offset, std::span<const uint8_t> bytes);
    // Lays the writes over the first `count` bytes of `buffer`, read from `offset`.
    void overlay(uint64_t offset, std::span<uint8_t> buffer, size_t count) const;

private:
    struct Write {
        uint64_t offset = 0;
        std::vector<uint8_t> bytes;
    };
    std::vector<Write> writes_;
    // The writes' numbers by their first byte, so a read looks only at those that can reach it.
    std::multimap<uint64_t, size_t> byOffset_;
    uint64_t longest_ = 0;
};

}  // namespace kestrel
