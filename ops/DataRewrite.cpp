#include "ops/DataRewrite.h"

#include <algorithm>
#include <array>
#include <vector>

namespace kestrel {

namespace {

// A piece of the file's data, saved for undo as one range.
struct Piece {
    uint64_t from = 0;
    uint64_t to = 0;
};

Result<void> writeFileData(
    ImageWriter& image, uint64_t dataOffset, uint32_t length, OperationObserver& observer,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> piece)>& fill) {
    const size_t pieceSize = std::min<size_t>(length, kSavedChunkSize);
    // The first piece goes into the second buffer; the first is needed only for a second.
    std::array<std::vector<uint8_t>, 2> buffers{
        std::vector<uint8_t>(length > pieceSize ? pieceSize : 0), std::vector<uint8_t>(pieceSize)};
    const auto prepare = [&](uint64_t from, std::vector<uint8_t>& buffer,
                             bool sync) -> Result<Piece> {
        const Piece piece{from, from + pieceSize >= length
                                    ? length
                                    : (from + pieceSize) / kTransferBlockSize * kTransferBlockSize};
        const auto bytes = std::span(buffer).first(piece.to - piece.from);
        if (auto filled = fill(from, bytes); !filled) {
            return filled.error();
        }
        if (auto staged = image.stage(dataOffset + from, bytes, sync); !staged) {
            return staged.error();
        }
        return piece;
    };
    size_t current = 0;
    Piece pieces[2];
    auto moved = transferBlocks(
        length, observer, false, [&](uint64_t done, std::span<uint8_t> block) -> Result<void> {
            if (done >= pieces[current].to) {
                if (done > 0) {
                    image.startWriteback(dataOffset + pieces[current].from,
                                         pieces[current].to - pieces[current].from);
                }
                current ^= 1;
                if (pieces[current].from != done || pieces[current].to <= done) {
                    auto piece = prepare(done, buffers[current], true);
                    if (!piece) {
                        return piece.error();
                    }
                    pieces[current] = *piece;
                }
                // The next piece is saved now and synced when it is reached, so its journal
                // write goes to the disk while this piece is written into the image.
                if (pieces[current].to < length) {
                    auto next = prepare(pieces[current].to, buffers[current ^ 1], false);
                    if (!next) {
                        return next.error();
                    }
                    pieces[current ^ 1] = *next;
                }
            }
            return image.writeAt(
                dataOffset + done,
                std::span(buffers[current]).subspan(done - pieces[current].from, block.size()));
        });
    if (!moved) {
        return moved.error();
    }
    return {};
}

}  // namespace

Result<void> rewriteFileData(
    ImageWriter& image, JournalEdit& edit, const OperationSnapshot& snapshot,
    const SnapshotFile& file, OperationObserver& observer,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> piece)>& fill,
    std::optional<size_t> savedAheadFrom) {
    const auto dataOffset = snapshot.writeOffsetIn(file, image);
    if (!dataOffset) {
        return dataOffset.error();
    }
    observer.beginFile(file.rowName);
    const size_t mark = savedAheadFrom.value_or(edit.mark());
    auto written = writeFileData(image, *dataOffset, file.record->dataLength, observer, fill);
    // Put back even when nothing was saved since the mark: a journal that failed a write is
    // cut back to it, so that the files after this one can still be saved.
    if (written) {
        return written;
    }
    image.forgetStaged();
    return edit.rollBackAfter(written.error(), mark, file.rowName + "'s data");
}

Result<void> finishRewrite(ImageWriter& image, JournalEdit& edit) {
    if (auto synced = image.finish(); !synced) {
        return edit.rollBackAfter(synced.error(), 0, "the image");
    }
    return edit.complete();
}

}  // namespace kestrel
