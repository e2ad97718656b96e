#include "ops/Replace.h"

#include <algorithm>

#include "image/ByteOrder.h"
#include "ops/DirectoryInsert.h"
#include "ops/ImageWriter.h"
#include "ops/PlacedData.h"

namespace kestrel {

namespace {

Error notReplaced(const RecordLocation& location, const Error& error) {
    return Error{error.kind, nameOf(location.identifier) + " was not replaced: " + error.message};
}

// The directory at `place` with the chain of records at `chain` made one: the first record,
// no longer flagged, given `lba` and `size`, the others taken away.
Result<DirectoryRewrite> collapsedRecords(const ImageSource& image, DirectoryPlace place,
                                          const RecordLocation& chain, uint32_t lba,
                                          uint32_t size) {
    auto read = readDirectoryExtent(image, place);
    if (!read) {
        return read.error();
    }
    const size_t at = chain.recordOffset - read->offset;
    if (chain.recordOffset < read->offset || at >= read->bytes.size()) {
        return Error{ErrorKind::Changed, "its records no longer lie in its directory"};
    }
    std::vector<uint8_t> record(read->bytes.begin() + static_cast<ptrdiff_t>(at),
                                read->bytes.begin() + static_cast<ptrdiff_t>(at) + read->bytes[at]);
    record[record::kFlags] &= static_cast<uint8_t>(~kMultiExtentFlag);
    writeBothEndian(std::span(record).subspan<record::kExtentLba, 8>(), lba);
    writeBothEndian(std::span(record).subspan<record::kDataLength, 8>(), size);
    auto collapsed = replaceRecords(read->bytes, at, chain.extents.size(), record);
    if (!collapsed) {
        return collapsed.error();
    }
    return DirectoryRewrite{read->offset, std::move(read->bytes), std::move(collapsed->extent)};
}

// The directory of a file of several extents with its chain of records made one.
Result<DirectoryRewrite> collapsedChain(Session& session, DirectoryNumber directory,
                                        const RecordLocation& location, uint32_t lba,
                                        uint32_t size) {
    if (!location.brokenChain.empty()) {
        return Error{ErrorKind::InvalidInput,
                     "its chain of records is broken (" + location.brokenChain +
                         "), so which records are its own is not known; nothing was written"};
    }
    if (session.presentsLayerOne()) {
        return Error{ErrorKind::InvalidInput,
                     "the records of a file of several extents are rewritten on layer 0 only; "
                     "nothing was written"};
    }
    return collapsedRecords(session.presentedSource(), session.directoryPlace(directory), location,
                            lba, size);
}

// The matching Joliet directory with the file's Joliet chain made one record as the primary
// one is: the chain there whose extents are the file's. Why there is none, otherwise.
Result<DirectoryRewrite> collapsedJolietChain(Session& session, DirectoryNumber directory,
                                              const RecordLocation& location, uint32_t lba,
                                              uint32_t size) {
    const auto matching = session.jolietDirectoryOf(directory);
    const auto tree = matching ? session.jolietTree() : Result<const JolietTree*>(matching.error());
    if (!tree) {
        return tree.error();
    }
    if (!*matching) {
        return Error{ErrorKind::NotFound, "no Joliet directory was found to match its directory"};
    }
    const DirectoryPlace place = placeOf((*tree)->entry(**matching));
    std::vector<RecordLocation> chains;
    auto walked = walkListedFiles(session.presentedSource(), place, ListingStart::BehindDotRecords,
                                  kNoDataEnd, [&](const ListedRecords& file) {
                                      if (file.chained && file.brokenChain.empty() &&
                                          std::ranges::equal(file.extents, location.extents)) {
                                          chains.push_back(locationOf(file));
                                      }
                                      return WalkStep::Continue;
                                  });
    if (!walked) {
        return walked.error();
    }
    if (chains.size() != 1) {
        return Error{ErrorKind::NotFound,
                     chains.empty() ? "no Joliet chain of records points at the same data"
                                    : "several Joliet chains of records point at the same data"};
    }
    return collapsedRecords(session.presentedSource(), place, chains.front(), lba, size);
}

// Writes the job's directory with the file's chain made one record; the views it leaves
// alone are named in the outcome, as a record edit names them.
Result<PatchOutcome> rewriteChain(JournalEdit& edit, const ReplaceJob& job) {
    auto image = ImageWriter::openUserData(edit);
    auto written = image ? writeDirectoryRewrite(*image, *job.chain) : Result<void>(image.error());
    if (written && job.jolietChain) {
        written = writeDirectoryRewrite(*image, *job.jolietChain);
    }
    if (written) {
        written = image->finish();
    }
    if (!written) {
        return written.error();
    }
    PatchOutcome outcome;
    for (const auto& [view, why] : {std::pair("Joliet view of ", job.records.twinMissing),
                                    std::pair("UDF view of ", job.records.udfMissing)}) {
        if (why) {
            const std::string text = "The " + std::string(view) +
                                     nameOf(job.records.primary.identifier) +
                                     " was not updated: " + *why;
            outcome.viewNotUpdated =
                outcome.viewNotUpdated ? *outcome.viewNotUpdated + "\n\n" + text : text;
        }
    }
    return outcome;
}

}  // namespace

Result<Placement> placeFileReplacement(Session& session, const RecordLocation& location,
                                       uint64_t size, bool intoGap) {
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
    const auto size = sourceSize(replacementPath);
    if (!size) {
        return notReplaced(location, size.error());
    }
    const auto placement = placeFileReplacement(session, location, *size, options.intoGap);
    if (!placement) {
        return notReplaced(location, placement.error());
    }
    if (session.volume().udfOnly && placement->kind != PlacementKind::OwnExtent) {
        return notReplaced(location,
                           Error{ErrorKind::InvalidInput,
                                 "on an image of UDF alone, a replacement goes into the file's own "
                                 "sectors only (it needs " +
                                     std::to_string(*size) +
                                     " bytes), as Kestrel does not yet take blocks from the UDF "
                                     "partition's free space; nothing was written"});
    }
    std::optional<DirectoryRewrite> chain;
    std::optional<DirectoryRewrite> jolietChain;
    auto records = location.isChained()
                       ? Result<RecordTargets>(RecordTargets{location, {}, {}, {}, {}, {}})
                       : session.recordTargets(directory, location);
    if (records && location.isChained()) {
        auto collapsed = collapsedChain(session, directory, location, placement->lba,
                                        static_cast<uint32_t>(*size));
        if (!collapsed) {
            return notReplaced(location, collapsed.error());
        }
        chain = std::move(*collapsed);
        if (session.volume().joliet) {
            auto joliet = collapsedJolietChain(session, directory, location, placement->lba,
                                               static_cast<uint32_t>(*size));
            if (joliet) {
                jolietChain = std::move(*joliet);
            } else {
                records->twinMissing = joliet.error().message;
            }
        }
        if (session.volume().features.udf) {
            records->udfMissing = "the UDF entry of a file of several extents is not rewritten";
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
    auto patched = !growth ? Result<PatchOutcome>(growth.error())
                   : job.chain
                       ? rewriteChain(edit, job)
                       : patchRecordTargets(edit, job.records,
                                            {placement.lba, static_cast<uint32_t>(job.size)});
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
