#include "journal/ImageIdentity.h"

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

}  // namespace

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

Result<ImageIdentity> imageIdentity(const ImageFile& image) {
    const auto file = image.identity();
    const auto size = image.size();
    if (!file || !size) {
        return file ? size.error() : file.error();
    }
    const auto hash = descriptorsHash(image);
    const auto times = hash ? image.times() : Result<FileTimes>(hash.error());
    if (!times) {
        return times.error();
    }
    return ImageIdentity{file->device, file->inode, times->birth, *size, *hash, times->modified};
}

}  // namespace kestrel
