#include "ops/Replace.h"

#include <algorithm>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "ops/DirectoryInsert.h"
#include "ops/NewRecord.h"
#include "ops/PlacedData.h"
#include "ops/UdfPartitionGrowth.h"

namespace kestrel {

namespace {

Error notReplaced(const RecordLocation& location, const Error& error) {
    return Error{error.kind, nameOf(location.identifier) + " was not replaced: " + error.message};
}

// The directory at `place` with the records of the file at `file` (its chain, or its one
// record) replaced by those of a file of `size` bytes from `lba`, made from its first.
Result<DirectoryRewrite> rewrittenRecords(const ImageSource& image, DirectoryPlace place,
                                          const RecordLocation& file, uint32_t lba, uint64_t size) {
    auto read = readDirectoryExtent(image, place);
    if (!read) {
        return read.error();
    }
    const size_t at = file.recordOffset - read->offset;
    if (file.recordOffset < read->offset || at >= read->bytes.size()) {
        return Error{ErrorKind::Changed, "its records no longer lie in its directory"};
    }
    const auto model = std::span<const uint8_t>(read->bytes).subspan(at, read->bytes[at]);
    const auto records = chainedRecords(model, lba, size);
    auto rewritten =
        replaceRecords(read->bytes, at, std::max<size_t>(file.extents.size(), 1), records);
    if (!rewritten) {
        return rewritten.error();
    }
    return DirectoryRewrite{read->offset, std::move(read->bytes), std::move(rewritten->extent)};
}

// The file's directory with its records rewritten: a chain made one record, or one record
// made a chain for a replacement of 4 GiB or more.
Result<DirectoryRewrite> rewrittenChain(Session& session, DirectoryNumber directory,
                                        const RecordLocation& location, uint32_t lba,
                                        uint64_t size) {
    if (!location.brokenChain.empty()) {
        return Error{ErrorKind::InvalidInput,
                     "its chain of records is broken (" + location.brokenChain +
                         "), so which records are its own is not known; nothing was written"};
    }
    return rewrittenRecords(session.presentedSource(), session.directoryPlace(directory), location,
                            lba, size);
}

// The matching Joliet directory with the file's Joliet records rewritten as the primary ones
// are: those there whose extents are the file's. Why there are none, otherwise.
Result<DirectoryRewrite> rewrittenJolietChain(Session& session, DirectoryNumber directory,
                                              const RecordLocation& location, uint32_t lba,
                                              uint64_t size) {
    const auto matching = session.jolietDirectoryOf(directory);
    const auto tree = matching ? session.jolietTree() : Result<const JolietTree*>(matching.error());
    if (!tree) {
        return tree.error();
    }
    if (!*matching) {
        return Error{ErrorKind::NotFound, "no Joliet directory was found to match its directory"};
    }
    const DirectoryPlace place = placeOf((*tree)->entry(**matching));
    const auto extents = fileExtents(location);
    std::vector<RecordLocation> twins;
    auto walked =
        walkListedFiles(session.presentedSource(), place, ListingStart::BehindDotRecords,
                        kNoDataEnd, [&](const ListedRecords& file) {
                            if (file.chained == location.isChained() && file.brokenChain.empty() &&
                                std::ranges::equal(file.extents, extents)) {
                                twins.push_back(locationOf(file));
                            }
                            return WalkStep::Continue;
                        });
    if (!walked) {
        return walked.error();
    }
    if (twins.size() != 1) {
        return Error{ErrorKind::NotFound, twins.empty()
                                              ? "no Joliet record points at the same data"
                                              : "several Joliet records point at the same data"};
    }
    return rewrittenRecords(session.presentedSource(), place, twins.front(), lba, size);
}

// Writes the job's directory with the file's chain made one record, or one record made a
// chain, then the UDF twin for the new extent; the views it leaves alone are named in the
// outcome, as a record edit names them.
Result<PatchOutcome> rewriteChain(JournalEdit& edit, const ReplaceJob& job,
                                  const RecordTargets& targets) {
    std::vector<const DirectoryRewrite*> rewrites{&*job.chain};
    if (job.jolietChain) {
        rewrites.push_back(&*job.jolietChain);
    }
    if (auto written = writeDirectoryRewrites(edit, rewrites, job.layerOffset); !written) {
        return written.error();
    }
    PatchOutcome outcome;
    std::optional<std::string> udfMissing = targets.udfMissing;
    if (targets.udfTwin) {
        const size_t mark = edit.mark();
        auto patched = patchUdfTwin(edit, *targets.udfTwin, job.placement.lba, job.size);
        outcome.udfTwinPatched = patched.ok();
        if (!patched && edit.mark() != mark) {
            return edit.rollBackAfter(patched.error(), mark, "the UDF entry");
        }
        if (!patched) {
            udfMissing = patched.error().message;
        }
    }
    for (const auto& [view, why] : {std::pair("Joliet view of ", targets.twinMissing),
                                    std::pair("UDF view of ", udfMissing)}) {
        if (why) {
            const std::string text = "The " + std::string(view) +
                                     nameOf(targets.primary.identifier) +
                                     " was not updated: " + *why;
            outcome.viewNotUpdated =
                outcome.viewNotUpdated ? *outcome.viewNotUpdated + "\n\n" + text : text;
        }
    }
    return outcome;
}

// The record targets with the UDF twin's partition grown over the placed data where that lies
// behind it, as sectors added at the volume's end do. Where the partition cannot grow, the
// twin is not patched and the message says why; an error only when a write failed.
Result<RecordTargets> targetsReachingPlacement(JournalEdit& edit, const ReplaceJob& job) {
    RecordTargets targets = job.records;
    if (!targets.udfTwin) {
        return targets;
    }
    const UdfTwin& twin = *targets.udfTwin;
    const uint64_t end = uint64_t{job.placement.lba} + job.placement.sectors;
    if (job.placement.lba < twin.partitionStart ||
        end <= uint64_t{twin.partitionStart} + twin.partitionSectors) {
        return targets;
    }
    const size_t mark = edit.mark();
    auto grown = growUdfPartition(edit, twin.partitionPlaces, twin.partitionStart,
                                  twin.partitionSectors, static_cast<uint32_t>(end));
    if (grown) {
        targets.udfTwin->partitionSectors = static_cast<uint32_t>(end) - twin.partitionStart;
    } else if (edit.mark() == mark && !targets.udfOnly) {
        targets.udfTwin.reset();
        targets.udfMissing = grown.error().message;
    } else {
        return grown.error();
    }
    return targets;
}

// Where a replacement on an image of UDF alone goes when it does not fit in the file's own
// blocks: the first run of blocks its partition's space bitmap marks free and nothing on the
// map holds. Nothing when the partition keeps no bitmap, so that it may grow at the volume's
// end as a bridge image's does.
struct FreeBlocksPlacement {
    Placement placement;
    UdfSpaceBitmap bitmap;
};

Result<std::optional<FreeBlocksPlacement>> placedInFreeBlocks(Session& session,
                                                              DirectoryNumber directory,
                                                              const RecordLocation& location,
                                                              uint64_t size) {
    const auto targets = session.recordTargets(directory, location);
    if (!targets) {
        return targets.error();
    }
    const UdfTwin& twin = *targets->udfTwin;
    if (!twin.spaceBitmap) {
        return std::optional<FreeBlocksPlacement>();
    }
    auto bitmap =
        readUdfSpaceBitmap(session.presentedSource(), *twin.spaceBitmap, twin.partitionStart);
    const auto map = bitmap ? mapVolume(session.presentedSource(), session.volume())
                            : Result<ExtentMap>(bitmap.error());
    if (!map) {
        return map.error();
    }
    const uint64_t wanted = (size + kSectorSize - 1) / kSectorSize;
    if (wanted > UINT32_MAX) {
        return Error{ErrorKind::InvalidInput, "it needs more blocks than a UDF partition holds"};
    }
    const auto count = static_cast<uint32_t>(wanted);
    if (const auto run = bitmap->firstFreeRun(count, *map)) {
        return std::optional(
            FreeBlocksPlacement{{PlacementKind::FreeBlocks, twin.partitionStart + run->block, count,
                                 session.volume().volumeSectors},
                                std::move(*bitmap)});
    }
    return Error{ErrorKind::InvalidInput, "its UDF partition has no run of " +
                                              std::to_string(count) + " free blocks for the " +
                                              std::to_string(size) + " bytes (it has " +
                                              std::to_string(bitmap->freeBlocks()) +
                                              " free blocks in all); nothing was written"};
}

}  // namespace

Result<Placement> placeFileReplacement(Session& session, const RecordLocation& location,
                                       uint64_t size, bool intoGap) {
    const auto map = mapVolume(session.presentedSource(), session.volume());
    if (!map) {
        return map.error();
    }
    const auto structures = session.structures();
    const auto image = session.imageData();
    if (!image) {
        return image.error();
    }
    const PlacementScene scene{image->get(), session.layerOffset(), &*map, structures.get(),
                               session.endFixed()};
    return placeReplacement(scene, location, size, intoGap);
}

Result<ReplaceJob> prepareReplace(Session& session, DirectoryNumber directory,
                                  const RecordLocation& location,
                                  const std::string& replacementPath,
                                  const ReplaceOptions& options) {
    const auto size = sourceSize(replacementPath);
    if (!size) {
        return notReplaced(location, size.error());
    }
    auto placement = placeFileReplacement(session, location, *size, options.intoGap);
    std::optional<UdfSpaceBitmap> udfBitmap;
    if (session.volume().udfOnly && !(placement && placement->kind == PlacementKind::OwnExtent)) {
        auto free = placedInFreeBlocks(session, directory, location, *size);
        if (!free) {
            return notReplaced(location, free.error());
        }
        if (*free) {
            placement = (*free)->placement;
            udfBitmap = std::move((*free)->bitmap);
        }
    }
    if (!placement) {
        return notReplaced(location, placement.error());
    }
    std::optional<DirectoryRewrite> chain;
    std::optional<DirectoryRewrite> jolietChain;
    // A file of several extents becomes one, and one of 4 GiB or more becomes several: the
    // records themselves are rewritten, not patched.
    const bool rewritesRecords = location.isChained() || *size > UINT32_MAX;
    auto records = rewritesRecords
                       ? Result<RecordTargets>(RecordTargets{location, {}, {}, {}, {}, {}})
                       : session.recordTargets(directory, location);
    if (records && rewritesRecords) {
        auto rewritten = rewrittenChain(session, directory, location, placement->lba, *size);
        if (!rewritten) {
            return notReplaced(location, rewritten.error());
        }
        chain = std::move(*rewritten);
        if (session.volume().joliet) {
            auto joliet = rewrittenJolietChain(session, directory, location, placement->lba, *size);
            if (joliet) {
                jolietChain = std::move(*joliet);
            } else {
                records->twinMissing = joliet.error().message;
            }
        }
        if (session.volume().features.udf) {
            auto twin = session.udfTwinOfRecords(location);
            if (twin) {
                records->udfTwin = std::move(*twin);
            } else {
                records->udfMissing = twin.error().message;
            }
        }
    }
    if (!records) {
        return notReplaced(location, records.error());
    }
    return ReplaceJob{session.journalFiles(),
                      session.journal(),
                      std::move(*records),
                      std::move(chain),
                      std::move(jolietChain),
                      *placement,
                      std::move(udfBitmap),
                      session.volume().volumeSectors,
                      session.layerOffset(),
                      replacementPath,
                      *size,
                      options};
}

Result<ReplaceOutcome> replaceInEdit(JournalEdit& edit, const ReplaceJob& job,
                                     OperationObserver& observer) {
    const RecordLocation& location = job.records.primary;
    const size_t mark = edit.mark();
    const Placement& placement = job.placement;
    ReplaceOutcome outcome{placement, job.size, 0, {}, {}};
    const auto growth =
        writePlacedData(edit,
                        {placement, job.replacementPath, job.size, nameOf(location.identifier),
                         job.volumeSectors, job.layerOffset},
                        observer);
    if (!growth && edit.mark() == mark) {
        return notReplaced(location, growth.error());
    }
    auto targets =
        growth ? targetsReachingPlacement(edit, job) : Result<RecordTargets>(growth.error());
    if (targets && job.udfBitmap) {
        const UdfTwin& twin = *targets->udfTwin;
        if (auto taken = takeUdfBlocks(edit, job.udfBitmap, twin.partitionPlaces,
                                       {placement.lba - twin.partitionStart, placement.sectors});
            !taken) {
            targets = taken.error();
        }
    }
    auto patched =
        !targets ? Result<PatchOutcome>(targets.error())
        : job.chain
            ? rewriteChain(edit, job, *targets)
            : patchRecordTargets(edit, *targets, {placement.lba, static_cast<uint32_t>(job.size)});
    if (!patched) {
        return notReplaced(location, edit.rollBackAfter(patched.error(), mark, "the image"));
    }
    outcome.imageGrowth = *growth;
    outcome.patch = *patched;
    return outcome;
}

Result<ReplaceOutcome> runReplace(const ReplaceJob& job, OperationObserver& observer) {
    const RecordLocation& location = job.records.primary;
    auto edit =
        job.options.dryRun
            ? Result<JournalEdit>(JournalEdit::dryRun(job.files))
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
