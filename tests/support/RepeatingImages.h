// Small images whose path tables name their directories again and again, or name sectors
// inside one in a chain deeper than any tree: what listing, mapping or extracting one costs
// must follow what the image holds, not how often it refers to it.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

namespace kestrel::test {

struct RepeatingImage {
    const char* name;
    // Writes the image at the path given.
    void (*write)(const std::string& path);
    size_t distinctDirectories;  // directory extents, each listed once
    size_t repeats;              // path-table entries naming an extent already reached
    size_t rows;                 // plain files listed in the whole volume
};

// 65,535 path-table entries: the root, D holding `records` empty files (F0000.TXT on, about
// 200 sectors of records for the default), then D named under the root 65,533 times more as
// R. The builder's CD layout.
void writeOneDirectoryNamedAgainAndAgain(const std::string& path);
// genisoimage's image of README.TXT, DOCS/MANUAL.TXT and DOCS/DEEP/LOW.TXT, its type L path
// table moved behind the volume and filled up to 65,535 entries with ones naming the root,
// each as R under it. Needs genisoimage.
void writeRootNamedAgainAndAgain(const std::string& path);
// D holding 4,599 empty files, 100 sectors of records, and 99 path-table entries C naming its
// sectors 1 to 99, each under the one before: extents that overlap, in a chain 100 levels
// deep. Each directory's records end where the next one's extent begins, and the walk of each
// C takes the first two records of its sector for "." and "..": 4,401 files are listed.
void writeChainInsideADirectory(const std::string& path);

inline void PrintTo(const RepeatingImage& image, std::ostream* out) {
    *out << image.name;
}

inline constexpr RepeatingImage kRepeatingImages[] = {
    {"OneDirectoryNamedAgainAndAgain", writeOneDirectoryNamedAgainAndAgain, 2, 65533, 8799},
    {"RootNamedAgainAndAgain", writeRootNamedAgainAndAgain, 3, 65532, 3},
    {"ChainInsideADirectory", writeChainInsideADirectory, 101, 0, 4401},
};

}  // namespace kestrel::test
