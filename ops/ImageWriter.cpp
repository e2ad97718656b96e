#include "ops/ImageWriter.h"

#include <algorithm>
#include <array>
#include <vector>

#include "io/FollowingSector.h"
#include "io/RawImage.h"

namespace kestrel {

Result<ImageWriter> ImageWriter::open(const std::string& path) {
    auto file = ImageFile::openForUpdate(path);
    if (!file) {
        return file.error();
    }
    return ImageWriter(std::make_shared<ImageFile>(std::move(*file)), nullptr,
                       JournalTarget::Image);
}

Result<ImageWriter> ImageWriter::open(JournalEdit& edit, JournalTarget target) {
    auto file = edit.file(target);
    if (!file) {
        return file.error();
    }
    return ImageWriter(std::move(*file), &edit, target);
}

Result<ImageWriter> ImageWriter::openUserData(JournalEdit& edit) {
    auto writer = open(edit, JournalTarget::Image);
    if (writer) {
        writer->raw_ = edit.files().imageLayout;
    }
    return writer;
}

Result<uint64_t> ImageWriter::fileLength() const {
    if (edit_ != nullptr) {
        if (const auto given = edit_->lengthGiven(target_); given) {
            return *given;
        }
    }
    return file_->size();
}

Result<uint64_t> ImageWriter::size() const {
    const auto bytes = fileLength();
    if (!bytes || !raw_) {
        return bytes;
    }
    const uint64_t held =
        *bytes <= raw_->firstByte ? 0 : (*bytes - raw_->firstByte) / kRawSectorSize;
    return std::min(held, raw_->sectors) * kUserDataSize;
}

Result<size_t> ImageWriter::readAt(uint64_t offset, std::span<uint8_t> buffer) const {
    return raw_ ? readSectorView(*file_, *raw_, userDataView(*raw_), offset, buffer)
                : file_->readAt(offset, buffer);
}

Result<void> ImageWriter::resizeFile(uint64_t length) {
    return edit_ != nullptr ? edit_->resize(target_, length) : file_->resize(length);
}

Result<void> ImageWriter::growTo(uint64_t bytes) {
    const auto now = size();
    if (!now) {
        return now.error();
    }
    if (bytes <= *now) {
        return {};
    }
    if (!raw_) {
        return resizeFile(bytes);
    }
    const auto length = fileLength();
    if (!length) {
        return length.error();
    }
    const uint64_t sectors = (bytes + kUserDataSize - 1) / kUserDataSize;
    if (*length != raw_->sectorOffset(raw_->sectors) || raw_->sectors == 0) {
        return Error{ErrorKind::OutOfRange,
                     path() + " holds more after its data track, so the track cannot grow"};
    }
    if (auto grown = resizeFile(raw_->sectorOffset(sectors)); !grown) {
        return grown;
    }
    const uint64_t before = raw_->sectors;
    raw_->sectors = sectors;
    if (edit_ != nullptr && target_ == JournalTarget::Image) {
        edit_->followTrackLength(sectors);
    }
    // A dry run formats them too: its later writes there read their headers back.
    return previewsOnly() && edit_->dryRunWrites() == nullptr ? Result<void>()
                                                              : formatGrownSectors(before, sectors);
}

Result<void> ImageWriter::formatGrownSectors(uint64_t fromSector, uint64_t toSector) {
    constexpr uint64_t kSectorsAtOnce = 256;
    std::vector<uint8_t> sectors(kSectorsAtOnce * kRawSectorSize);
    std::array<uint8_t, kRawSectorSize> previous{};
    if (auto read = file_->readAt(raw_->sectorOffset(fromSector - 1), previous);
        !read || *read != kRawSectorSize) {
        return read ? Error{ErrorKind::OutOfRange, path() + " ends inside its last sector"}
                    : read.error();
    }
    if (previewsOnly()) {
        const RawSector first(sectors.data(), kRawSectorSize);
        if (auto made = makeFollowingSector(previous, first); !made) {
            return made;
        }
        previewFormatted(fromSector, toSector, previous);
        return {};
    }
    for (uint64_t lba = fromSector; lba < toSector;) {
        const uint64_t count = std::min(kSectorsAtOnce, toSector - lba);
        for (uint64_t i = 0; i < count; ++i) {
            const RawSector sector(sectors.data() + i * kRawSectorSize, kRawSectorSize);
            if (auto made = makeFollowingSector(previous, sector); !made) {
                return made;
            }
            std::ranges::copy(sector, previous.begin());
        }
        if (auto written = writeFileBytes(raw_->sectorOffset(lba),
                                          std::span(sectors).first(count * kRawSectorSize));
            !written) {
            return written;
        }
        lba += count;
    }
    return {};
}

void ImageWriter::previewFormatted(uint64_t fromSector, uint64_t toSector,
                                   const std::array<uint8_t, kRawSectorSize>& previous) {
    // Made as they are read, so that a dry run that grows a track by gigabytes holds none.
    const uint64_t start = raw_->sectorOffset(fromSector);
    edit_->previewMade(target_, start, (toSector - fromSector) * kRawSectorSize,
                       [start, previous](uint64_t offset, std::span<uint8_t> bytes) {
                           std::array<uint8_t, kRawSectorSize> sector{};
                           for (uint64_t at = offset; at < offset + bytes.size();) {
                               const uint64_t index = (at - start) / kRawSectorSize;
                               const uint64_t within = (at - start) % kRawSectorSize;
                               // Refused only for a predecessor that is no data sector, which the
                               // first was not.
                               static_cast<void>(makeFollowingSector(previous, sector, index + 1));
                               const uint64_t count = std::min<uint64_t>(
                                   kRawSectorSize - within, offset + bytes.size() - at);
                               std::copy_n(sector.begin() + static_cast<ptrdiff_t>(within), count,
                                           bytes.begin() + static_cast<ptrdiff_t>(at - offset));
                               at += count;
                           }
                       });
}

void ImageWriter::startWriteback(uint64_t offset, uint64_t length) {
    if (!raw_) {
        file_->startWriteback(offset, length);
        return;
    }
    const uint64_t first = offset / kUserDataSize;
    const uint64_t end = (offset + length + kUserDataSize - 1) / kUserDataSize;
    file_->startWriteback(raw_->sectorOffset(first), (end - first) * kRawSectorSize);
}

Result<void> ImageWriter::checkInside(uint64_t offset, size_t length) const {
    const auto size = this->size();
    if (!size) {
        return size.error();
    }
    if (offset > *size || length > *size - offset) {
        return Error{ErrorKind::OutOfRange, "Refused to write " + std::to_string(length) +
                                                " bytes at byte " + std::to_string(offset) +
                                                " of " + path() + ": the file ends at byte " +
                                                std::to_string(*size)};
    }
    return {};
}

Result<void> ImageWriter::stage(uint64_t offset, std::span<const uint8_t> newBytes, bool sync) {
    if (edit_ == nullptr || !edit_->keepsUndo()) {
        return {};
    }
    if (const auto staged = findStaged(offset, newBytes.size()); staged != staged_.end()) {
        return sync ? syncStaged(*staged) : Result<void>();
    }
    if (auto inside = checkInside(offset, newBytes.size()); !inside) {
        return inside;
    }
    if (raw_) {
        return stageSectors(offset, newBytes, sync);
    }
    if (auto saved = edit_->saveInPlace(target_, offset, newBytes, sync); !saved) {
        return saved;
    }
    staged_.push_back({offset, offset + newBytes.size(), sync, {}});
    return {};
}

std::deque<ImageWriter::Staged>::iterator ImageWriter::findStaged(uint64_t offset, size_t length) {
    const auto holds = [&](const Staged& range) {
        return offset >= range.from && offset + length <= range.to;
    };
    if (!staged_.empty() && holds(staged_.front())) {
        return staged_.begin();
    }
    if (staged_.size() >= 2 && holds(staged_[1])) {
        staged_.pop_front();
        return staged_.begin();
    }
    return staged_.end();
}

Result<void> ImageWriter::syncStaged(const Staged& range) {
    if (range.synced) {
        return {};
    }
    if (auto synced = edit_->syncSaved(); !synced) {
        return synced;
    }
    // The one sync puts every range saved so far on the disk.
    for (auto& staged : staged_) {
        staged.synced = true;
    }
    return {};
}

Result<void> ImageWriter::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
    if (raw_) {
        if (auto inside = checkInside(offset, bytes.size()); !inside) {
            return inside;
        }
        // A preview grows nothing, so the sectors it would add have no bytes to show; a dry
        // run's file reads as long as it would be, holding them.
        if (const auto held = file_->size();
            previewsOnly() && held && raw_->sectorOffset(offset / kUserDataSize) >= *held) {
            return {};
        }
        return writeSectors(offset, bytes);
    }
    if (auto saved = stage(offset, bytes); !saved) {
        return saved;
    }
    return writeFileBytes(offset, bytes);
}

Result<void> ImageWriter::writeFileBytes(uint64_t offset, std::span<const uint8_t> bytes) {
    if (previewsOnly()) {
        edit_->previewWrite(target_, offset, bytes);
        return {};
    }
    return file_->writeInside(offset, bytes);
}

Result<void> ImageWriter::applyStaged(const StagedWrites& staged) {
    // Every range is saved before any byte of them is written, with one sync.
    const auto ranges = staged.merged(target_);
    for (const auto& range : ranges) {
        if (auto saved = edit_->save(target_, range.offset, range.oldBytes, range.newBytes, false);
            !saved) {
            return saved;
        }
    }
    if (auto synced = edit_->syncSaved(); !synced) {
        return synced;
    }
    for (const auto& range : ranges) {
        if (auto written = file_->writeInside(range.offset, range.newBytes); !written) {
            return written;
        }
    }
    return {};
}

Result<void> ImageWriter::stageSectors(uint64_t offset, std::span<const uint8_t> newBytes,
                                       bool sync) {
    Staged range{offset, offset + newBytes.size(), sync, {}};
    if (staged_.size() == 2) {
        // The buffers of the range dropped are taken over, sparing their pages' faults.
        range.sectors = std::move(staged_.front().sectors);
        staged_.erase(staged_.begin());
    }
    if (auto made = prepareSectorRewrite(*file_, *raw_, offset, newBytes, range.sectors, true);
        !made) {
        return made;
    }
    if (auto saved = edit_->save(target_, raw_->sectorOffset(range.sectors.firstLba),
                                 range.sectors.oldSectors, range.sectors.newSectors, sync);
        !saved) {
        return saved;
    }
    staged_.push_back(std::move(range));
    return {};
}

// Whole sectors are written, each with its new codes: from what a stage made of them when it
// holds these bytes, else made now, and saved first unless the edit keeps no undo.
Result<void> ImageWriter::writeSectors(uint64_t offset, std::span<const uint8_t> bytes) {
    auto staged = std::ranges::find_if(staged_, [&](const Staged& range) {
        return carriesUserData(range.sectors, *raw_, offset, bytes);
    });
    if (staged == staged_.end() && edit_ != nullptr && edit_->keepsUndo()) {
        if (auto saved = stageSectors(offset, bytes, true); !saved) {
            return saved;
        }
        staged = staged_.end() - 1;
    } else if (staged != staged_.end()) {
        if (auto synced = syncStaged(*staged); !synced) {
            return synced;
        }
    }
    const SectorRewrite* rewrite = &unsaved_;
    if (staged != staged_.end()) {
        rewrite = &staged->sectors;
    } else if (auto made = prepareSectorRewrite(*file_, *raw_, offset, bytes, unsaved_, false);
               !made) {
        return made;
    }
    const uint64_t first = offset / kUserDataSize;
    const uint64_t end = (offset + bytes.size() + kUserDataSize - 1) / kUserDataSize;
    return writeFileBytes(
        raw_->sectorOffset(first),
        std::span(rewrite->newSectors)
            .subspan((first - rewrite->firstLba) * kRawSectorSize, (end - first) * kRawSectorSize));
}

Result<void> ImageWriter::finish() {
    if (previewsOnly()) {
        return {};
    }
    if (auto synced = file_->sync(); !synced) {
        return synced;
    }
    // An edit's file stays open for the rest of the edit, which closes it.
    return edit_ != nullptr ? Result<void>() : file_->close();
}

}  // namespace kestrel
