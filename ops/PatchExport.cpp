#include "ops/PatchExport.h"

#include <algorithm>
#include <filesystem>

#include "io/ContainerOpen.h"
#include "journal/OriginalImage.h"
#include "ops/Adler32.h"
#include "ops/OutputFile.h"
#include "ops/PatchHeader.h"
#include "ops/PatchWindow.h"
#include "ops/VcdiffFormat.h"

namespace kestrel {

namespace {

// Changed bytes up to this many are compared with the original, and the runs of them an
// edit left as they were are copied: a record edit rewrites 8 bytes of which a few change.
// Larger ones are file data, rewritten whole.
constexpr uint64_t kComparedLength = 4096;
// A run of equal bytes shorter than this costs less added than copied.
constexpr uint64_t kShortestCopy = 8;

// Fills one window after another from the original and the current image.
class WindowFiller {
public:
    WindowFiller(const ImageFile& image, const OriginalImage& original)
        : image_(image), original_(original) {}

    Result<void> fill(PatchWindow& window, uint64_t end,
                      std::vector<ChangedSpan>::const_iterator& span) {
        adler_ = kAdler32Start;
        addsOnly_ = addsOnly(span, window.position(), end);
        fromImage_ = false;
        const auto& spans = original_.changed();
        for (; span != spans.end() && span->offset < end; ++span) {
            if (auto copied = unchanged(window, std::max(span->offset, window.position()));
                !copied) {
                return copied;
            }
            if (auto written = changed(window, *span, std::min(span->end(), end)); !written) {
                return written;
            }
            if (span->end() > end) {
                break;  // the rest of it belongs to the next window
            }
        }
        return unchanged(window, end);
    }
    // The window's Adler-32, unless its added bytes are copied from the image unread: a
    // window that takes nothing from the source makes the same bytes from any source, so its
    // checksum could not tell a wrong one, and would cost a pass over every byte it adds.
    std::optional<uint32_t> adler() const {
        return fromImage_ ? std::nullopt : std::optional(adler_);
    }

private:
    // Whether every byte of [offset, end) is added or run: changed bytes too many to compare,
    // or bytes past the original's end.
    bool addsOnly(std::vector<ChangedSpan>::const_iterator span, uint64_t offset,
                  uint64_t end) const {
        for (uint64_t at = offset; at < std::min(end, original_.size()); at = span++->end()) {
            if (span == original_.changed().end() || span->offset > at ||
                (!span->zeros && span->length <= kComparedLength)) {
                return false;
            }
        }
        return true;
    }

    Result<void> readImage(uint64_t offset, std::span<uint8_t> bytes) {
        const auto read = image_.readAt(offset, bytes);
        if (!read) {
            return read.error();
        }
        if (*read != bytes.size()) {
            return Error{ErrorKind::Changed, image_.path() + " ended at byte " +
                                                 std::to_string(offset + *read) +
                                                 " while the patch was made"};
        }
        return {};
    }

    Result<void> add(PatchWindow& window, uint64_t end) {
        const uint64_t at = window.position();
        if (addsOnly_) {
            window.addFromImage(end - at);
            fromImage_ = true;
            return {};
        }
        const auto bytes = window.add(end - at);
        if (auto read = readImage(at, bytes); !read) {
            return read;
        }
        adler_ = adler32(adler_, bytes);
        return {};
    }

    // The bytes up to `end` are the original's; past the original's end they are new.
    Result<void> unchanged(PatchWindow& window, uint64_t end) {
        const uint64_t copiedEnd = std::min(end, std::max(original_.size(), window.position()));
        while (window.position() < copiedEnd) {
            const uint64_t at = window.position();
            scratch_.resize(static_cast<size_t>(std::min(copiedEnd - at, vcdiff::kWindowSize)));
            if (auto read = readImage(at, scratch_); !read) {
                return read;
            }
            adler_ = adler32(adler_, scratch_);
            window.copy(scratch_.size());
        }
        return window.position() < end ? add(window, end) : Result<void>();
    }

    Result<void> changed(PatchWindow& window, const ChangedSpan& span, uint64_t end) {
        const uint64_t at = window.position();
        if (span.zeros) {
            window.runOfZeros(end - at);
            adler_ = adler32OfZeros(adler_, end - at);
            return {};
        }
        if (span.length > kComparedLength || end > original_.size()) {
            return add(window, end);
        }
        std::vector<uint8_t> now(end - at);
        std::vector<uint8_t> before(end - at);
        if (auto read = readImage(at, now); !read) {
            return read;
        }
        if (auto read = original_.read(at, before); !read) {
            return read;
        }
        adler_ = adler32(adler_, now);
        size_t added = 0;  // the bytes from here on, up to the next copy, are added
        for (size_t i = 0; i < now.size();) {
            if (now[i] != before[i]) {
                ++i;
                continue;
            }
            const size_t same = i;
            while (i < now.size() && now[i] == before[i]) {
                ++i;
            }
            if (i - same >= kShortestCopy) {
                std::ranges::copy(std::span(now).subspan(added, same - added),
                                  window.add(same - added).begin());
                window.copy(i - same);
                added = i;
            }
        }
        std::ranges::copy(std::span(now).subspan(added), window.add(now.size() - added).begin());
        return {};
    }

    const ImageFile& image_;
    const OriginalImage& original_;
    uint32_t adler_ = kAdler32Start;
    bool addsOnly_ = false;
    bool fromImage_ = false;
    std::vector<uint8_t> scratch_;
};

Result<uint64_t> writeHeader(OutputFile& file, const OriginalImage& original) {
    const std::string text = patchHeaderText(
        {original.size(), original.descriptorsHash(), original.firstEntry(), original.lastEntry()});
    std::vector<uint8_t> header(vcdiff::kMagic.begin(), vcdiff::kMagic.end());
    header.push_back(vcdiff::kApplicationHeader);
    vcdiff::putInteger(header, text.size());
    header.insert(header.end(), text.begin(), text.end());
    if (auto written = file.write(header); !written) {
        return written.error();
    }
    return header.size();
}

Result<uint64_t> writeWindows(OutputFile& file, const ImageFile& image,
                              const OriginalImage& original, OperationObserver* observer,
                              uint64_t written) {
    const uint64_t size = original.currentSize();
    WindowFiller filler(image, original);
    PatchWindow window;
    auto span = original.changed().begin();
    for (uint64_t offset = 0; offset < size; offset += vcdiff::kWindowSize) {
        const uint64_t end = std::min(size, offset + vcdiff::kWindowSize);
        const uint64_t sourceEnd = std::min(end, original.size());
        window.start(offset, sourceEnd > offset ? sourceEnd - offset : 0);
        if (auto filled = filler.fill(window, end, span); !filled) {
            return filled.error();
        }
        const auto encoding = window.encode(filler.adler());
        auto wrote = file.write(encoding.head);
        for (const auto& part : encoding.data) {
            wrote = !wrote             ? wrote
                    : part.imageLength ? file.copyFrom(image.descriptor(), image.path(),
                                                       part.imageOffset, part.imageLength)
                                       : file.write(part.bytes);
            written += part.bytes.size() + part.imageLength;
        }
        wrote = wrote ? file.write(encoding.instructions) : wrote;
        wrote = wrote ? file.write(encoding.addresses) : wrote;
        if (!wrote) {
            return wrote.error();
        }
        written += encoding.head.size() + encoding.instructions.size() + encoding.addresses.size();
        if (observer != nullptr) {
            observer->showPercent(static_cast<int>(end * 100 / size));
        }
    }
    return written;
}

}  // namespace

Result<PatchWritten> writePatch(const PatchRequest& request, OperationObserver* observer) {
    const auto container = resolveContainer(request.imagePath);
    auto image = container ? ImageFile::openForReading(container->dataPath)
                           : Result<ImageFile>(container.error());
    const auto journal = image ? Journal::of(*image) : Result<Journal>(image.error());
    auto original = journal ? OriginalImage::rebuild(*journal, *image, request.since)
                            : Result<OriginalImage>(journal.error());
    if (!original) {
        return original.error();
    }
    const std::filesystem::path path(request.patchPath);
    const auto folder =
        OutputFolder::open(path.has_parent_path() ? path.parent_path().string() : std::string("."));
    auto file = folder ? OutputFile::create(*folder, path.filename().string(),
                                            {container->dataPath, request.imagePath})
                       : Result<OutputFile>(folder.error());
    if (!file) {
        return file.error();
    }
    if (observer != nullptr) {
        observer->beginFile(path.filename().string());
    }
    const auto header = writeHeader(*file, *original);
    const auto windows = header ? writeWindows(*file, *image, *original, observer, *header)
                                : Result<uint64_t>(header.error());
    if (!windows) {
        return file->discard(windows.error());
    }
    if (auto committed = file->commit(); !committed) {
        return committed.error();
    }
    PatchWritten written{request.patchPath,
                         *windows,
                         original->firstEntry(),
                         original->lastEntry(),
                         original->size(),
                         original->currentSize(),
                         0};
    for (const auto& span : original->changed()) {
        written.changedBytes += span.length;
    }
    return written;
}

}  // namespace kestrel
