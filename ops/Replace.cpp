#include "ops/Replace.h"

#include "ops/PlacedData.h"

namespace kestrel {

namespace {

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
    const auto size = sourceSize(replacementPath);
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
    auto patched = growth ? patchRecordTargets(edit, job.records,
                                               {placement.lba, static_cast<uint32_t>(job.size)})
                          : Result<PatchOutcome>(growth.error());
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
