#include "ops/Replace.h"

#include <algorithm>
#include <array>

#include "image/ByteOrder.h"
#include "ops/DataRewrite.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

constexpr uint64_t kSectorBytes = 2048;
constexpr uint32_t kFirstDescriptorLba = 16;
constexpr size_t kVolumeSizeAt = 80;  // both-endian, in the primary and supplementary ones
constexpr uint8_t kPrimaryDescriptor = 1;
constexpr uint8_t kSupplementaryDescriptor = 2;
constexpr uint8_t kTerminator = 255;
// A set of descriptors longer than this is damage; the walk stops there.
constexpr uint32_t kMostDescriptors = 64;

// Writes the volume's new size into every descriptor that records it: the primary, and each
// supplementary and enhanced one (Joliet's among them), so that every reader agrees on it.
Result<void> recordVolumeSize(ImageWriter& image, uint32_t sectors) {
    std::array<uint8_t, 8> field{};
    writeBothEndian(field, sectors);
    std::array<uint8_t, 7> head{};
    for (uint32_t lba = kFirstDescriptorLba; lba < kFirstDescriptorLba + kMostDescriptors; ++lba) {
        const auto read = image.readAt(lba * kSectorBytes, head);
        if (!read) {
            return read.error();
        }
        if (*read < head.size() ||
            !std::ranges::equal(std::span(head).subspan(1, 5), std::string_view("CD001"))) {
            return {};
        }
        if (head[0] == kTerminator) {
            return {};
        }
        if (head[0] == kPrimaryDescriptor || head[0] == kSupplementaryDescriptor) {
            if (auto written = image.writeAt(lba * kSectorBytes + kVolumeSizeAt, field); !written) {
                return written;
            }
        }
    }
    return {};
}

Error notReplaced(const RecordLocation& location, const Error& error) {
    return Error{error.kind, nameOf(location.identifier) + " was not replaced: " + error.message};
}

}  // namespace

Result<Placement> placeFileReplacement(Session& session, const RecordLocation& location,
                                       uint64_t size, bool intoGap) {
    if (location.isChained()) {
        return Error{ErrorKind::InvalidInput,
                     nameOf(location.identifier) + " is stored in " +
                         std::to_string(location.extents.size()) +
                         " extents, a directory record each; Replace gives a file one extent, "
                         "and does not yet take the records of the others away. Nothing was "
                         "written"};
    }
    if (size > UINT32_MAX) {
        return Error{ErrorKind::OutOfRange,
                     "The replacement holds " + formatBytes(size) +
                         ", and one directory record holds at most 4,294,967,295 bytes; a file "
                         "of several extents needs records that Replace does not yet add. "
                         "Nothing was written"};
    }
    const auto map = mapVolume(session.presentedSource(), session.volume());
    if (!map) {
        return map.error();
    }
    const auto structures = session.structures();
    const PlacementScene scene{&session.presentedSource(), &*map, structures.get(),
                               session.endFixed()};
    return placeReplacement(scene, location, size, intoGap);
}

Result<ReplaceJob> prepareReplace(Session& session, DirectoryNumber directory,
                                  const RecordLocation& location,
                                  const std::string& replacementPath,
                                  const ReplaceOptions& options) {
    auto replacement = ImageFile::openForReading(replacementPath);
    const auto size = replacement ? replacement->size() : Result<uint64_t>(replacement.error());
    if (!size) {
        return notReplaced(location, size.error());
    }
    const auto placement = placeFileReplacement(session, location, *size, options.intoGap);
    if (!placement) {
        return notReplaced(location, placement.error());
    }
    auto records = session.recordTargets(directory, location);
    if (!records) {
        return notReplaced(location, records.error());
    }
    return ReplaceJob{session.journalFiles(),
                      session.journal(),
                      std::move(*records),
                      *placement,
                      session.volume().volumeSectors,
                      session.layerOffset(),
                      replacementPath,
                      *size,
                      options};
}

Result<ReplaceOutcome> replaceInEdit(JournalEdit& edit, const ReplaceJob& job,
                                     OperationObserver& observer) {
    const RecordLocation& location = job.records.primary;
    auto replacement = ImageFile::openForReading(job.replacementPath);
    const auto size = replacement ? replacement->size() : Result<uint64_t>(replacement.error());
    if (size && *size != job.size) {
        return notReplaced(
            location, Error{ErrorKind::Changed, job.replacementPath + " changed its size since it "
                                                                      "was chosen; nothing was "
                                                                      "written"});
    }
    if (!size) {
        return notReplaced(location, size.error());
    }
    auto image = ImageWriter::openUserData(edit);
    const auto sizeBefore = image ? image->size() : Result<uint64_t>(image.error());
    if (!sizeBefore) {
        return notReplaced(location, sizeBefore.error());
    }
    const size_t mark = edit.mark();
    const Placement& placement = job.placement;
    ReplaceOutcome outcome{placement, job.size, 0, {}, {}};
    const uint64_t dataAt = job.layerOffset + uint64_t{placement.lba} * kSectorBytes;
    const uint64_t roomEnd = dataAt + uint64_t{placement.sectors} * kSectorBytes;
    Result<void> written;
    if (roomEnd > *sizeBefore) {
        written = image->growTo(roomEnd);
        outcome.imageGrowth = roomEnd - *sizeBefore;
    }
    if (written && job.size > 0) {
        written = rewritePieces(
            *image, edit, {{dataAt, static_cast<uint32_t>(job.size)}}, nameOf(location.identifier),
            observer, [&](uint64_t done, std::span<uint8_t> piece) -> Result<void> {
                const auto got = replacement->readAt(done, piece);
                if (!got) {
                    return got.error();
                }
                if (*got < piece.size()) {
                    return Error{ErrorKind::Changed,
                                 job.replacementPath + " became shorter while it was read"};
                }
                return {};
            });
    }
    if (written && roomEnd > dataAt + job.size) {
        const std::vector<uint8_t> zeros(roomEnd - dataAt - job.size);
        written = image->writeAt(dataAt + job.size, zeros);
    }
    if (written && placement.volumeSectors != job.volumeSectors) {
        written = recordVolumeSize(*image, placement.volumeSectors);
    }
    if (written) {
        written = image->finish();
    }
    auto patched = written ? patchRecordTargets(edit, job.records,
                                                {placement.lba, static_cast<uint32_t>(job.size)})
                           : Result<PatchOutcome>(written.error());
    if (!patched) {
        return notReplaced(location, edit.rollBackAfter(patched.error(), mark, "the image"));
    }
    outcome.patch = *patched;
    return outcome;
}

Result<ReplaceOutcome> runReplace(const ReplaceJob& job, OperationObserver& observer) {
    const RecordLocation& location = job.records.primary;
    auto edit =
        job.options.dryRun
            ? Result<JournalEdit>(JournalEdit::preview(job.files))
            : beginJournalEdit(job.journal, job.options.keepUndo,
                               {EditKind::Replace, 1, job.size, nameOf(location.identifier), 0, 0},
                               job.files);
    if (!edit) {
        return notReplaced(location, edit.error());
    }
    auto outcome = replaceInEdit(*edit, job, observer);
    if (!outcome) {
        return outcome;
    }
    if (auto completed = edit->complete(); !completed) {
        return notReplaced(location, completed.error());
    }
    outcome->previewed = edit->previewed();
    return outcome;
}

Result<ReplaceOutcome> replaceFile(Session& session, DirectoryNumber directory,
                                   const RecordLocation& location,
                                   const std::string& replacementPath,
                                   const ReplaceOptions& options, OperationObserver& observer) {
    const auto job = prepareReplace(session, directory, location, replacementPath, options);
    if (!job) {
        return job.error();
    }
    auto replaced = runReplace(*job, observer);
    session.forgetReadStructures();
    return replaced;
}

}  // namespace kestrel
