#include "image/ListedFiles.h"

#include "image/IsoLayout.h"

namespace kestrel {

uint64_t ListedRecords::size() const {
    uint64_t total = 0;
    for (const auto& extent : extents) {
        total += extent.length;
    }
    return total;
}

ListedFileChains::ListedFileChains(uint64_t dataEnd, Visit visit)
    : dataEnd_(dataEnd), visit_(std::move(visit)) {}

bool ListedFileChains::pastDataEnd(const Extent& extent) const {
    // An extent of no bytes reaches past no end, wherever it is said to lie.
    return extent.length != 0 && (uint64_t{extent.lba} << kSectorShift) + extent.length > dataEnd_;
}

WalkStep ListedFileChains::visitFile(const RecordView& first, std::span<const Extent> extents,
                                     bool chained, std::string_view brokenChain) {
    if (stopped_) {
        return WalkStep::Stop;
    }
    const auto step = visit_(ListedRecords{first, extents, chained, brokenChain});
    stopped_ = step == WalkStep::Stop;
    return step;
}

WalkStep ListedFileChains::visitPending(std::string_view unfinished) {
    std::string why;
    if (firstPastEnd_ != 0) {
        const size_t before = firstPastEnd_ - 1;
        why = "extent " + std::to_string(firstPastEnd_) + " of " + std::to_string(pendingRecords_) +
              " lies past the end of the image, so only the " +
              (before == 1 ? std::string("one") : std::to_string(before)) + " before it " +
              (before == 1 ? "is" : "are") + " read";
    }
    if (!unfinished.empty()) {
        why += (why.empty() ? "" : "; ") + std::string(unfinished);
    }
    const auto step =
        visitFile(RecordView{pendingOffset_, pendingFirst_}, pendingExtents_, true, why);
    pendingRecords_ = 0;
    return step;
}

WalkStep ListedFileChains::add(const RecordView& record) {
    if (stopped_) {
        return WalkStep::Stop;
    }
    const uint8_t flags = record.bytes[record::kFlags];
    const bool filePart = (flags & ~kMultiExtentFlag) == 0;
    const Extent extent{record.extentLba(), record.dataLength()};
    if (pendingRecords_ > 0) {
        if (filePart && record.identifier() == RecordView{0, pendingFirst_}.identifier()) {
            ++pendingRecords_;
            if (firstPastEnd_ == 0 && pastDataEnd(extent)) {
                firstPastEnd_ = pendingRecords_;
            }
            if (firstPastEnd_ == 0) {
                pendingExtents_.push_back(extent);
            }
            return flags == 0 ? visitPending({}) : WalkStep::Continue;
        }
        const std::string unfinished =
            "the record of extent " + std::to_string(pendingRecords_) +
            " says another follows, but the next record is another file's";
        if (visitPending(unfinished) == WalkStep::Stop) {
            return WalkStep::Stop;
        }
    }
    if (flags == kMultiExtentFlag) {
        pendingFirst_.assign(record.bytes.begin(), record.bytes.end());
        pendingOffset_ = record.offset;
        pendingExtents_.assign(1, extent);
        pendingRecords_ = 1;
        firstPastEnd_ = 0;
        return WalkStep::Continue;
    }
    return flags == 0 ? visitFile(record, std::span(&extent, 1), false, {}) : WalkStep::Continue;
}

void ListedFileChains::finish() {
    if (pendingRecords_ > 0) {
        visitPending("the record of extent " + std::to_string(pendingRecords_) +
                     " says another follows, but the directory's records end there");
    }
}

Result<void> walkListedFiles(const ImageSource& image, DirectoryPlace place, ListingStart start,
                             uint64_t dataEnd,
                             const std::function<WalkStep(const ListedRecords&)>& visit) {
    ListedFileChains chains(dataEnd, visit);
    auto walked = walkRecordViews(
        image, place, start, [&chains](const RecordView& record) { return chains.add(record); });
    if (!walked) {
        return walked;
    }
    chains.finish();
    return {};
}

}  // namespace kestrel
