// A journal fuzz input: an image and one undo journal entry for it.
//
//   u32 LE   length of the image's description (the format of FuzzImage.h)
//   then the description, then the entry file's bytes
//
// A short input is read as far as it goes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrel::fuzz {

struct JournalInput {
    std::span<const uint8_t> image;  // described
    std::span<const uint8_t> entry;
};

inline JournalInput splitJournalInput(std::span<const uint8_t> input) {
    uint64_t length = 0;
    for (size_t i = 0; i < 4 && i < input.size(); ++i) {
        length |= uint64_t{input[i]} << (8 * i);
    }
    const auto rest = input.subspan(std::min<size_t>(4, input.size()));
    const auto split = static_cast<size_t>(std::min<uint64_t>(length, rest.size()));
    return {rest.first(split), rest.subspan(split)};
}

inline std::vector<uint8_t> joinJournalInput(std::span<const uint8_t> image,
                                             std::span<const uint8_t> entry) {
    std::vector<uint8_t> input;
    for (size_t i = 0; i < 4; ++i) {
        input.push_back(static_cast<uint8_t>(image.size() >> (8 * i)));
    }
    input.insert(input.end(), image.begin(), image.end());
    input.insert(input.end(), entry.begin(), entry.end());
    return input;
}

}  // namespace kestrel::fuzz
