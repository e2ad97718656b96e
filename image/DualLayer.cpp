#include "image/DualLayer.h"

#include <array>
#include <cstring>

namespace kestrel {

Result<bool> hasLayerOneDescriptor(const ImageSource& image, uint64_t layer0Bytes) {
    std::array<uint8_t, 6> header{};
    auto read = image.readAt(layer0Bytes, header);
    if (!read) {
        return read.error();
    }
    return *read == header.size() && std::memcmp(header.data() + 1, "CD001", 5) == 0;
}

}  // namespace kestrel
