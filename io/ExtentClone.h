// Shared extents: on file systems that keep one copy of a block for several files (XFS with
// reflink, btrfs), a range of one file can become part of another without its bytes being
// read or written. A later write to either file gives that file blocks of its own, so the
// other keeps the bytes as they were.
#pragma once

#include <cstdint>

namespace kestrel {

// The size that the offsets and length of a clone between files of the file system holding
// `descriptor` must be multiples of; nothing where it cannot be read.
uint64_t cloneBlockSize(int descriptor);

// Makes `length` bytes at `from` of `source` also the bytes at `to` of `destination`, growing
// it as needed. False when the file system refuses: another file system, no shared extents,
// offsets or a length not aligned to its blocks; errno says why. `destination` may be open
// for appending.
bool cloneRange(int source, uint64_t from, int destination, uint64_t to, uint64_t length);

// Whether every byte of the range is held by the file rather than a hole.
bool holdsNoHole(int descriptor, uint64_t offset, uint64_t length);

}  // namespace kestrel
