#include "journal/ImageIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <xxhash.h>

#include <array>
#include <memory>

#include "io/ImageFile.h"

namespace kestrel {

namespace {

// The volume descriptors start at sector 16 and end with a terminator; the recognition
// sequence of a UDF image follows them within a few sectors. The bound keeps a set without a
// terminator from being read to the end of the file.
constexpr uint64_t kSectorBytes = 2048;
constexpr uint64_t kFirstDescriptorAt = 16 * kSectorBytes;
constexpr uint8_t kTerminator = 255;
constexpr uint64_t kMostDescriptors = 64;

uint64_t nanoseconds(const statx_timestamp& time) {
    return static_cast<uint64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

Result<uint64_t> descriptorsHash(const ImageFile& image) {
    const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> state(XXH3_createState(),
                                                                         &XXH3_freeState);
    XXH3_64bits_reset(state.get());
    std::array<uint8_t, kSectorBytes> sector{};
    for (uint64_t i = 0; i < kMostDescriptors; ++i) {
        const auto read = image.readAt(kFirstDescriptorAt + i * kSectorBytes, sector);
        if (!read) {
            return read.error();
        }
        if (*read < sector.size()) {
            break;
        }
        XXH3_64bits_update(state.get(), sector.data(), sector.size());
        if (sector[0] == kTerminator) {
            break;
        }
    }
    return XXH3_64bits_digest(state.get());
}

}  // namespace

Result<ImageIdentity> imageIdentity(const std::string& imagePath) {
    auto image = ImageFile::openForReading(imagePath);
    if (!image) {
        return image.error();
    }
    const auto file = image->identity();
    const auto size = image->size();
    if (!file || !size) {
        return file ? size.error() : file.error();
    }
    const auto hash = descriptorsHash(*image);
    if (!hash) {
        return hash.error();
    }
    ImageIdentity identity{file->device, file->inode, 0, *size, *hash, 0};
    struct statx status {};
    if (::statx(AT_FDCWD, imagePath.c_str(), 0, STATX_BTIME | STATX_MTIME, &status) == 0) {
        if ((status.stx_mask & STATX_BTIME) != 0) {
            identity.birth = nanoseconds(status.stx_btime);
        }
        if ((status.stx_mask & STATX_MTIME) != 0) {
            identity.modifiedAt = nanoseconds(status.stx_mtime);
        }
    }
    return identity;
}

}  // namespace kestrel
