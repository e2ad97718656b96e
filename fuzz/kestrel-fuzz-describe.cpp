// kestrel-fuzz-describe IMAGE OUTPUT
//
// Writes the fuzz input that describes IMAGE (see FuzzImage.h), to seed a corpus with real
// images in a few hundred bytes each.
#include <cstdio>
#include <fstream>

#include "fuzz/FuzzImage.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fputs("usage: kestrel-fuzz-describe IMAGE OUTPUT\n", stderr);
        return 1;
    }
    const auto image = kestrel::fuzz::readWholeFile(argv[1]);
    if (image.empty()) {
        std::fprintf(stderr, "kestrel-fuzz-describe: %s is empty or unreadable\n", argv[1]);
        return 1;
    }
    const auto input = kestrel::fuzz::describeImage(image);
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(input.data()),
              static_cast<std::streamsize>(input.size()));
    return out.good() ? 0 : 1;
}
