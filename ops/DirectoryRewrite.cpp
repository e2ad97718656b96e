#include "ops/DirectoryRewrite.h"

#include <algorithm>

namespace kestrel {

namespace {

constexpr uint64_t kSectorBytes = 2048;

}  // namespace

Result<ReadDirectory> readDirectoryExtent(const ImageSource& image, DirectoryPlace place) {
    std::vector<uint8_t> first(kSectorBytes);
    const auto read = image.readAt(place.offset, first);
    if (!read) {
        return read.error();
    }
    const auto dot = parseDirectoryRecord(std::span(first).first(*read));
    const auto end = directoryEnd(image, place);
    if (!end) {
        return end.error();
    }
    if (!dot) {
        return Error{ErrorKind::InvalidInput, "the directory has no \".\" record to read"};
    }
    const uint64_t length =
        (uint64_t{dot->dataLength} + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
    if (length == 0 || place.offset + length > *end) {
        return Error{ErrorKind::InvalidInput,
                     "the directory's extent reaches past where its records may lie (the image's "
                     "end, or another directory's extent)"};
    }
    ReadDirectory directory{place.offset, std::vector<uint8_t>(length), *dot};
    const auto all = image.readAt(place.offset, directory.bytes);
    if (!all) {
        return all.error();
    }
    if (*all < length) {
        return Error{ErrorKind::InvalidInput, "the directory's extent runs past the image's end"};
    }
    return directory;
}

Result<void> writeDirectoryRewrite(ImageWriter& image, const DirectoryRewrite& rewrite,
                                   uint64_t volumeStart) {
    const uint64_t offset = volumeStart + rewrite.offset;
    std::vector<uint8_t> now(rewrite.before.size());
    const auto read = image.readAt(offset, now);
    if (!read) {
        return read.error();
    }
    if (*read < now.size() || now != rewrite.before) {
        return Error{ErrorKind::Changed,
                     "the directory at byte " + std::to_string(offset) +
                         " changed since it was read; nothing was written there"};
    }
    const auto first =
        std::ranges::mismatch(rewrite.before, rewrite.after).in1 - rewrite.before.begin();
    const auto last = rewrite.before.rend() -
                      std::ranges::mismatch(rewrite.before.rbegin(), rewrite.before.rend(),
                                            rewrite.after.rbegin(), rewrite.after.rend())
                          .in1;
    if (first >= last) {
        return {};
    }
    return image.writeAt(
        offset + static_cast<uint64_t>(first),
        std::span(rewrite.after)
            .subspan(static_cast<size_t>(first), static_cast<size_t>(last - first)));
}

Result<void> writeDirectoryRewrites(JournalEdit& edit,
                                    const std::vector<const DirectoryRewrite*>& rewrites,
                                    uint64_t layerOffset) {
    auto image = ImageWriter::openUserData(edit);
    Result<void> written = image ? Result<void>() : Result<void>(image.error());
    for (const DirectoryRewrite* rewrite : rewrites) {
        if (written) {
            written = writeDirectoryRewrite(*image, *rewrite, layerOffset);
        }
    }
    if (written) {
        written = image->finish();
    }
    if (!written || layerOffset == 0) {
        return written;
    }
    auto copy = ImageWriter::open(edit, JournalTarget::LayerCopy);
    written = copy ? Result<void>() : Result<void>(copy.error());
    for (const DirectoryRewrite* rewrite : rewrites) {
        if (written) {
            written = writeDirectoryRewrite(*copy, *rewrite);
        }
    }
    return written ? copy->finish() : written;
}

}  // namespace kestrel
