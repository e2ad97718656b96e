// What the walks read an image through: byte ranges at 64-bit positions of one container.
// A cooked image file is one source; other containers (a raw CD image whose sectors carry
// headers and error codes) can stand behind the same interface without the walks changing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "io/PendingWrites.h"
#include "io/Result.h"

namespace kestrel {

struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

class ImageSource {
public:
    virtual ~ImageSource() = default;

    // The file the bytes come from, as messages name it.
    virtual const std::string& path() const = 0;
    virtual Result<uint64_t> size() const = 0;
    // Fills `buffer` from `offset`; fewer bytes come back only where the image ends.
    virtual Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const = 0;
    // The device and inode of the open file, which a path that now names another file lacks.
    virtual Result<FileIdentity> identity() const = 0;
    // Reads see `pending` laid over the file's bytes from now on; nullptr ends that. The
    // pending writes are at the file's own positions, also where those are not the ones read.
    virtual void readThrough(const PendingWrites* pending) = 0;
};

}  // namespace kestrel
