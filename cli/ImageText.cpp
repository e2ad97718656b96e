#include "cli/ImageText.h"

#include <cstdint>

namespace kestrel::cli {

std::string imageBytesFromUtf8(const std::string& text) {
    std::string bytes;
    for (size_t index = 0; index < text.size(); ++index) {
        const auto lead = static_cast<uint8_t>(text[index]);
        if (lead < 0x80) {
            bytes += text[index];
            continue;
        }
        // Only U+0080 to U+00FF map to one byte: a lead of C2 or C3 and one continuation.
        const bool latin1 = (lead == 0xC2 || lead == 0xC3) && index + 1 < text.size() &&
                            (static_cast<uint8_t>(text[index + 1]) & 0xC0) == 0x80;
        if (!latin1) {
            return text;
        }
        bytes += static_cast<char>(((lead & 0x03) << 6) | (text[++index] & 0x3F));
    }
    return bytes;
}

}  // namespace kestrel::cli
