#include "ops/ImageJournal.h"

#include <algorithm>

#include "image/IsoLayout.h"
#include "image/VolumeStructures.h"
#include "io/ContainerOpen.h"
#include "ops/UndoEdit.h"

namespace kestrel {

namespace {

// The structures whose bytes alone say what they are lie in the system area and the
// descriptors behind it.
constexpr uint64_t kNamedSectors = kDescriptorsOffset / kSectorSize + kMostDescriptorSectors;

struct SectorPlace {
    uint64_t first = 0;     // of the sector's user data in the file
    uint64_t stride = 0;    // from one sector's to the next
    uint64_t dataSize = 0;  // user data in each
};

SectorPlace sectorPlace(const std::optional<RawLayout>& raw) {
    if (!raw) {
        return {0, kSectorSize, kSectorSize};
    }
    return {raw->firstByte + raw->userDataOffset(), kRawSectorSize, kUserDataSize};
}

// "sectors 16 to 18, the primary volume descriptor and the volume descriptor set terminator"
std::string overwrittenText(const WrittenRange& range, const SectorPlace& place) {
    const uint64_t fromSector =
        range.offset < place.first ? 0 : (range.offset - place.first) / place.stride;
    const uint64_t end = range.offset + range.length;
    const uint64_t toSector = end <= place.first ? 0 : (end - place.first - 1) / place.stride;
    std::vector<std::string> names;
    for (uint64_t lba = fromSector; lba <= toSector && lba < kNamedSectors; ++lba) {
        // What the range holds of the sector's first bytes, which tell a descriptor.
        const uint64_t at = place.first + lba * place.stride;
        const uint64_t held = range.offset + range.oldHead.size();
        const auto old = at >= range.offset && at < held
                             ? std::span(range.oldHead)
                                   .subspan(at - range.offset, std::min(place.dataSize, held - at))
                             : std::span<const uint8_t>();
        const auto name = structureNamedBy(lba, old);
        if (name && (names.empty() || names.back() != *name)) {
            names.push_back(*name);
        }
    }
    std::string text = sectorsText(fromSector, toSector - fromSector + 1);
    for (size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? ", " : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

}  // namespace

Result<ImageJournal> ImageJournal::open(const std::string& chosenPath) {
    auto container = resolveContainer(chosenPath);
    if (!container) {
        return container.error();
    }
    auto image = ImageFile::openForEditing(container->dataPath);
    if (!image) {
        return image.error();
    }
    auto held = std::make_shared<const ImageFile>(std::move(*image));
    ImageJournal opened(*container, held, Journal::of(*held));
    if (opened.journal_) {
        auto notes = opened.journal_->recover(opened.files());
        opened.recoveryNotes_ = notes ? std::move(*notes) : std::vector{notes.error().message};
    }
    return opened;
}

Result<std::optional<LastEdit>> ImageJournal::lastEdit() const {
    if (!journal_) {
        return journal_.error();
    }
    const auto last = journal_->lastUndoable();
    if (!last || !*last) {
        return last ? std::optional<LastEdit>() : Result<std::optional<LastEdit>>(last.error());
    }
    const SectorPlace place = sectorPlace(container_.raw);
    const auto written =
        journal_->writtenRanges((*last)->id, place.first + kNamedSectors * place.stride);
    if (!written) {
        return written.error();
    }
    const std::string edit = describeEdit((*last)->summary);
    std::string description =
        "The last edit, " + edit + " at " + madeAtText((*last)->summary.madeAt);
    if (!written->empty()) {
        // The range that reached furthest down names what the user will miss first.
        const auto first = std::ranges::min_element(*written, {}, &WrittenRange::offset);
        description += ", wrote over " + overwrittenText(*first, place);
        if (written->size() > 1) {
            description += ", and other sectors besides";
        }
    }
    return std::optional(LastEdit{(*last)->id, edit, std::move(description)});
}

Result<void> ImageJournal::undo(uint64_t id) const {
    if (!journal_) {
        return journal_.error();
    }
    return undoEntry(*journal_, id, files());
}

}  // namespace kestrel
