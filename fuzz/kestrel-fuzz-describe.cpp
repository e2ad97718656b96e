// kestrel-fuzz-describe [--raw [--cue SHEET]] IMAGE OUTPUT
//
// Writes the fuzz input that describes IMAGE (see FuzzImage.h), to seed a corpus with real
// images in a few hundred bytes each. With --raw, the input of the raw target: IMAGE is the
// BIN, opened through SHEET when one is given.
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz/FuzzImage.h"

int main(int argc, char** argv) {
    const bool raw = argc > 1 && std::string(argv[1]) == "--raw";
    const bool cue = raw && argc > 3 && std::string(argv[2]) == "--cue";
    const int first = raw ? (cue ? 4 : 2) : 1;
    if (argc != first + 2) {
        std::fputs("usage: kestrel-fuzz-describe [--raw [--cue SHEET]] IMAGE OUTPUT\n", stderr);
        return 1;
    }
    const auto image = kestrel::fuzz::readWholeFile(argv[first]);
    if (image.empty()) {
        std::fprintf(stderr, "kestrel-fuzz-describe: %s is empty or unreadable\n", argv[first]);
        return 1;
    }
    std::vector<uint8_t> input;
    if (raw) {
        const auto sheet = cue ? kestrel::fuzz::readWholeFile(argv[3]) : std::vector<uint8_t>{};
        input = {uint8_t(sheet.size()), uint8_t(sheet.size() >> 8)};
        input.insert(input.end(), sheet.begin(), sheet.end());
    }
    const auto described = kestrel::fuzz::describeImage(image);
    input.insert(input.end(), described.begin(), described.end());
    std::ofstream out(argv[first + 1], std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data()),
              static_cast<std::streamsize>(input.size()));
    return out.good() ? 0 : 1;
}
