#include "ops/PlanApply.h"

#include <algorithm>
#include <unordered_map>

#include "image/DirectoryWalk.h"
#include "image/IsoLayout.h"
#include "image/VolumePaths.h"
#include "io/ContainerOpen.h"
#include "io/ImageFile.h"
#include "journal/UndoLimits.h"
#include "ops/AddFile.h"
#include "ops/Blanking.h"
#include "ops/ImageWriter.h"
#include "ops/MasterFile.h"
#include "ops/Overwrite.h"
#include "ops/Replace.h"

namespace kestrel {

namespace {

// A plan whose file data edits rewrite up to this much is made in memory first, where its old
// and new bytes are kept until it is committed; a larger one is made edit by edit.
constexpr uint64_t kStagedPlanBytes = uint64_t{16} << 20;

struct PlannedFile {
    DirectoryNumber directory = 0;
    std::string rowName;
};

Result<DirectoryNumber> resolveDirectory(const Session& session, const std::string& path) {
    auto resolved = resolveVolumePath(session.volume(), path);
    if (!resolved) {
        return resolved.error();
    }
    if (resolved->rowName) {
        return Error{ErrorKind::NotFound, path + " is not a directory"};
    }
    return resolved->directory;
}

// The job of a planned Add, found as the image is now.
Result<AddJob> prepareAdd(Session& session, const PlannedAdd& add, bool dryRun) {
    const auto directory = resolveDirectory(session, add.directory);
    if (!directory) {
        return directory.error();
    }
    return prepareAdd(session, *directory, add.file, {add.name, add.intoGap, true, dryRun});
}

Result<PlannedFile> resolveFile(const Session& session, const std::string& path) {
    auto resolved = resolveVolumePath(session.volume(), path);
    if (!resolved) {
        return resolved.error();
    }
    if (!resolved->rowName) {
        return Error{ErrorKind::NotFound, path + " is a directory, not a file"};
    }
    return PlannedFile{resolved->directory, *resolved->rowName};
}

// A file's record as the edits before have left it, and the directory it was found in.
struct FoundFile {
    DirectoryNumber directory = 0;
    RecordLocation location;
};

// Finds the records the plan edits. Each directory is walked once for all the names the plan
// edits in it, and each look-up reads its record's extent and length again, so that an edit
// sees what the ones before it wrote while a plan of thousands of edits in a directory of
// thousands of files walks it once rather than once an edit.
// A walk's findings hold while nothing inside the directory is written but the extent and
// length of its own records. A record edit also writes those of the file's Joliet twin, so a
// directory is walked once only where no Joliet record lies inside it, and a record edit in
// another directory that lies inside it makes it walked again: a crafted image may share
// sectors between directories. Dummy and Overwrite write wherever a record points, so after
// one every directory is walked again.
class FileFinder {
public:
    FileFinder(Session& session, const EditPlan& plan);

    Result<FoundFile> find(const std::string& path);
    // The record of `file` was rewritten.
    void patched(const FoundFile& file);
    // File data is about to be written.
    void forget() { walked_.clear(); }

private:
    struct WalkedDirectory {
        uint64_t start = 0;
        uint64_t end = 0;
        // By row name; none where each look-up walks the directory afresh.
        std::optional<std::unordered_map<std::string, Result<RecordLocation>>> records;
    };

    Result<RecordLocation> locate(const PlannedFile& file);
    WalkedDirectory walk(DirectoryNumber directory);
    bool holdsJolietRecord(uint64_t start, uint64_t end);

    Session& session_;
    std::unordered_map<DirectoryNumber, std::vector<std::string>> names_;
    std::unordered_map<DirectoryNumber, WalkedDirectory> walked_;
};

FileFinder::FileFinder(Session& session, const EditPlan& plan) : session_(session) {
    const auto add = [this](const std::string& path) {
        if (auto file = resolveFile(session_, path)) {
            names_[file->directory].push_back(file->rowName);
        }
    };
    for (const auto& planned : plan.edits) {
        if (const auto* relink = std::get_if<PlannedRelink>(&planned)) {
            std::ranges::for_each(relink->files, add);
        } else if (const auto* record = std::get_if<PlannedRecordEdit>(&planned)) {
            add(record->file);
        } else if (const auto* replace = std::get_if<PlannedReplace>(&planned)) {
            add(replace->file);
        }
    }
}

Result<FoundFile> FileFinder::find(const std::string& path) {
    auto file = resolveFile(session_, path);
    auto location = file ? locate(*file) : Result<RecordLocation>(file.error());
    if (!location) {
        return location.error();
    }
    return FoundFile{file->directory, std::move(*location)};
}

void FileFinder::patched(const FoundFile& file) {
    const uint64_t offset = file.location.recordOffset;
    std::erase_if(walked_, [&](const auto& entry) {
        const auto& [directory, walked] = entry;
        return directory != file.directory && offset >= walked.start && offset < walked.end;
    });
}

Result<RecordLocation> FileFinder::locate(const PlannedFile& file) {
    // A UDF file system is read whole, once per edit: nothing to save by walking here.
    if (session_.volume().udfOnly) {
        return session_.findRecord(file.directory, file.rowName);
    }
    auto walked = walked_.find(file.directory);
    if (walked == walked_.end()) {
        walked = walked_.emplace(file.directory, walk(file.directory)).first;
    }
    if (!walked->second.records) {
        return session_.findRecord(file.directory, file.rowName);
    }
    const auto& found = walked->second.records->at(file.rowName);
    return found ? readAgain(session_.presentedSource(), *found) : found;
}

FileFinder::WalkedDirectory FileFinder::walk(DirectoryNumber directory) {
    WalkedDirectory walked;
    const auto place = placeOf(session_.volume().directories.at(directory - 1));
    walked.start = place.offset;
    const auto end = directoryEnd(session_.presentedSource(), place);
    if (!end) {
        return walked;
    }
    walked.end = *end;
    if (holdsJolietRecord(walked.start, walked.end)) {
        return walked;
    }
    auto snapshot = session_.snapshot(directory, names_.at(directory));
    walked.records.emplace();
    for (auto& file : snapshot.files) {
        walked.records->emplace(std::move(file.rowName), std::move(file.record));
    }
    return walked;
}

// Records lie inside one sector each, and a directory is whole sectors: a record that starts
// outside the directory has no byte inside it. A Joliet tree that cannot be read may lie
// anywhere.
bool FileFinder::holdsJolietRecord(uint64_t start, uint64_t end) {
    const auto tree = session_.jolietTree();
    if (!tree) {
        return true;
    }
    return *tree != nullptr &&
           std::ranges::any_of((*tree)->files(), [&](const RecordLocation& file) {
               return file.recordOffset >= start && file.recordOffset < end;
           });
}

Result<MasterFile> masterAt(const Session& session, const std::string& path) {
    auto file = resolveFile(session, path);
    if (!file) {
        return file.error();
    }
    return chooseMasterFile(session, file->directory, file->rowName);
}

// A file's snapshot for a data edit, refused unless its record is found and its data lies
// inside the image, over none of the volume's own structures unless the edit forces it.
Result<OperationSnapshot> dataSnapshot(const Session& session, const std::string& path,
                                       bool force) {
    auto file = resolveFile(session, path);
    if (!file) {
        return file.error();
    }
    auto snapshot = session.snapshot(file->directory, {file->rowName});
    snapshot.structuresConfirmed = force;
    auto image = snapshot.openImage();
    if (!image) {
        return image.error();
    }
    if (auto offset = snapshot.writeOffsetIn(snapshot.files.front(), **image); !offset) {
        return offset.error();
    }
    return snapshot;
}

std::string describe(const PlannedEdit& planned) {
    struct {
        std::string operator()(const PlannedRelink& edit) const {
            return "relink to " + edit.master;
        }
        std::string operator()(const PlannedRecordEdit& edit) const {
            return "set-record " + edit.file;
        }
        std::string operator()(const PlannedDummy& edit) const {
            return "dummy " + edit.files.front();
        }
        std::string operator()(const PlannedOverwrite& edit) const {
            return "overwrite " + edit.file;
        }
        std::string operator()(const PlannedReplace& edit) const { return "replace " + edit.file; }
        std::string operator()(const PlannedAdd& edit) const {
            return "add " + edit.file + " to " + edit.directory;
        }
    } describer;
    return std::visit(describer, planned);
}

Error inEdit(size_t index, const PlannedEdit& planned, Error error) {
    error.message =
        "edit " + std::to_string(index + 1) + " (" + describe(planned) + "): " + error.message;
    return error;
}

// What the check of a plan found out about making it.
struct PlanCheck {
    uint64_t dataBytes = 0;  // the file data its edits rewrite
    // A Replace or an Add may change the image's length, which a plan made in memory first
    // cannot.
    bool replaces = false;
};

// Checks one edit; adds what it found to `check`.
Result<void> checkEdit(Session& session, FileFinder& finder, const PlannedEdit& planned,
                       PlanCheck& check) {
    uint64_t& dataBytes = check.dataBytes;
    if (const auto* relink = std::get_if<PlannedRelink>(&planned)) {
        auto master = masterAt(session, relink->master);
        if (!master) {
            return master.error();
        }
        if (auto sameLayer = requireMasterOnLayer(session, *master); !sameLayer) {
            return sameLayer;
        }
        for (const auto& path : relink->files) {
            auto found = finder.find(path);
            if (auto single =
                    found ? requireOneExtent(found->location) : Result<void>(found.error());
                !single) {
                return single;
            }
        }
        return {};
    }
    if (const auto* record = std::get_if<PlannedRecordEdit>(&planned)) {
        auto found = finder.find(record->file);
        return found ? requireOneExtent(found->location) : Result<void>(found.error());
    }
    if (const auto* replace = std::get_if<PlannedReplace>(&planned)) {
        // Placed as the image is now: a Replace is made in its turn, and a plan whose edits
        // before it freed or filled room is placed then as they left it.
        auto found = finder.find(replace->file);
        auto job = found ? prepareReplace(session, found->directory, found->location,
                                          replace->replacement, {replace->intoGap, true, false})
                         : Result<ReplaceJob>(found.error());
        if (!job) {
            return job.error();
        }
        // Only the old bytes of the file's own sectors are saved; sectors added hold none.
        if (job->placement.kind == PlacementKind::OwnExtent) {
            dataBytes += job->size;
        }
        check.replaces = true;
        return {};
    }
    if (const auto* add = std::get_if<PlannedAdd>(&planned)) {
        // Checked as the image is now, and made in its turn, as a Replace is.
        if (auto job = prepareAdd(session, *add, false); !job) {
            return job.error();
        }
        check.replaces = true;
        return {};
    }
    if (const auto* overwrite = std::get_if<PlannedOverwrite>(&planned)) {
        if (auto replacement = ImageFile::openForReading(overwrite->replacement); !replacement) {
            return replacement.error();
        }
    }
    const auto* dummy = std::get_if<PlannedDummy>(&planned);
    const auto& files =
        dummy != nullptr ? dummy->files : std::vector{std::get<PlannedOverwrite>(planned).file};
    const bool force = dummy != nullptr ? dummy->force : std::get<PlannedOverwrite>(planned).force;
    for (const auto& path : files) {
        auto snapshot = dataSnapshot(session, path, force);
        if (!snapshot) {
            return snapshot.error();
        }
        dataBytes += snapshot->dataBytes();
    }
    return {};
}

Result<void> patchFile(Session& session, FileFinder& finder, JournalEdit& edit,
                       const FoundFile& file, const RecordFields& fields,
                       std::vector<std::string>& views) {
    auto patched = session.patchRecord(edit, file.directory, file.location, fields);
    if (!patched) {
        return patched.error();
    }
    finder.patched(file);
    if (patched->viewNotUpdated) {
        views.push_back(*patched->viewNotUpdated);
    }
    return {};
}

Result<void> applyEdit(Session& session, FileFinder& finder, JournalEdit& edit,
                       const PlannedEdit& planned, OperationObserver& observer,
                       std::vector<std::string>& views) {
    if (const auto* relink = std::get_if<PlannedRelink>(&planned)) {
        auto master = masterAt(session, relink->master);
        if (!master) {
            return master.error();
        }
        const RecordFields fields{master->lba,
                                  relink->withSize ? std::optional(master->size) : std::nullopt};
        for (const auto& path : relink->files) {
            auto file = finder.find(path);
            auto patched = file ? patchFile(session, finder, edit, *file, fields, views)
                                : Result<void>(file.error());
            if (!patched) {
                return patched;
            }
        }
        return {};
    }
    if (const auto* record = std::get_if<PlannedRecordEdit>(&planned)) {
        auto file = finder.find(record->file);
        if (!file) {
            return file.error();
        }
        return patchFile(session, finder, edit, *file,
                         {record->lba.value_or(file->location.extentLba), record->size}, views);
    }
    finder.forget();
    if (const auto* replace = std::get_if<PlannedReplace>(&planned)) {
        auto found = finder.find(replace->file);
        auto job =
            found ? prepareReplace(session, found->directory, found->location, replace->replacement,
                                   {replace->intoGap, true, edit.previewsOnly()})
                  : Result<ReplaceJob>(found.error());
        auto replaced =
            job ? replaceInEdit(edit, *job, observer) : Result<ReplaceOutcome>(job.error());
        // The edits after it find the volume as it left it: its size, the record.
        session.forgetReadStructures();
        finder.forget();
        if (!replaced) {
            return replaced.error();
        }
        if (replaced->patch.viewNotUpdated) {
            views.push_back(*replaced->patch.viewNotUpdated);
        }
        return {};
    }
    if (const auto* add = std::get_if<PlannedAdd>(&planned)) {
        auto job = prepareAdd(session, *add, edit.previewsOnly());
        auto added = job ? addInEdit(edit, *job, observer) : Result<AddOutcome>(job.error());
        // The edits after it find the volume as it left it: its size, the directory.
        session.forgetReadStructures();
        finder.forget();
        if (!added) {
            return added.error();
        }
        if (added->viewNotUpdated) {
            views.push_back(*added->viewNotUpdated);
        }
        return {};
    }
    if (const auto* dummy = std::get_if<PlannedDummy>(&planned)) {
        for (const auto& path : dummy->files) {
            auto snapshot = dataSnapshot(session, path, dummy->force);
            auto image =
                snapshot ? ImageWriter::openUserData(edit) : Result<ImageWriter>(snapshot.error());
            auto blanked =
                image ? blankFile(*image, edit, *snapshot, snapshot->files.front(), observer)
                      : Result<void>(image.error());
            if (auto synced = blanked ? image->finish() : blanked; !synced) {
                return synced;
            }
        }
        return {};
    }
    const auto& overwrite = std::get<PlannedOverwrite>(planned);
    auto replacement = ImageFile::openForReading(overwrite.replacement);
    if (!replacement) {
        return replacement.error();
    }
    auto snapshot = dataSnapshot(session, overwrite.file, overwrite.force);
    auto image = snapshot ? ImageWriter::openUserData(edit) : Result<ImageWriter>(snapshot.error());
    auto replaced = image ? overwriteFileData(*image, edit, *snapshot, snapshot->files.front(),
                                              *replacement, observer)
                          : Result<void>(image.error());
    return replaced ? image->finish() : replaced;
}

// Makes the plan in memory, each edit reading what the ones before it wrote, then commits
// it to `edit`: every range saved with one sync of the journal, then written, then synced.
// A plan of thousands of record edits so costs three syncs rather than two for each edit.
Result<PlanOutcome> applyStaged(Session& session, const EditPlan& plan, OperationObserver& observer,
                                JournalEdit& edit) {
    JournalEdit staging = session.stagingEdit();
    session.readThrough(staging.staged());
    FileFinder finder(session, plan);
    PlanOutcome outcome;
    for (size_t index = 0; index < plan.edits.size(); ++index) {
        const auto& planned = plan.edits[index];
        if (auto applied =
                applyEdit(session, finder, staging, planned, observer, outcome.viewsNotUpdated);
            !applied) {
            session.readThrough(nullptr);
            return inEdit(index, planned, applied.error());
        }
    }
    session.readThrough(nullptr);
    for (const auto target : {JournalTarget::Image, JournalTarget::LayerCopy}) {
        const std::string* path = edit.files().pathOf(target);
        if (path == nullptr) {
            continue;
        }
        auto writer = ImageWriter::open(edit, target);
        auto written =
            writer ? writer->applyStaged(*staging.staged()) : Result<void>(writer.error());
        if (written) {
            written = writer->finish();
        }
        if (!written) {
            return edit.rollBackAfter(written.error(), 0, session.imagePath());
        }
    }
    if (auto completed = edit.complete(); !completed) {
        return completed.error();
    }
    return outcome;
}

// Previews the plan edit by edit, each reading the image as the edits before it would leave
// it, so that what it lists is what applying would write.
Result<PlanOutcome> dryRun(Session& session, const EditPlan& plan, OperationObserver& observer) {
    JournalEdit edit = session.dryRunEdit();
    session.readThrough(*edit.dryRunWrites());
    FileFinder finder(session, plan);
    PlanOutcome outcome;
    Result<void> previewed;
    for (size_t index = 0; previewed && index < plan.edits.size(); ++index) {
        const auto& planned = plan.edits[index];
        if (auto applied =
                applyEdit(session, finder, edit, planned, observer, outcome.viewsNotUpdated);
            !applied) {
            previewed = inEdit(index, planned, applied.error());
        }
    }
    // The volume is read again as the image holds it: the edits were never made.
    session.readThrough(nullptr);
    session.forgetReadStructures();
    if (!previewed) {
        return previewed.error();
    }
    outcome.previewed = edit.previewed();
    return outcome;
}

Result<PlanCheck> checkEdits(Session& session, const EditPlan& plan) {
    FileFinder finder(session, plan);
    PlanCheck check;
    for (size_t index = 0; index < plan.edits.size(); ++index) {
        if (auto checked = checkEdit(session, finder, plan.edits[index], check); !checked) {
            return inEdit(index, plan.edits[index], checked.error());
        }
        // The edits after an Add may name the file it adds: each is checked as it is made,
        // and a refusal then puts back every edit before it.
        if (std::holds_alternative<PlannedAdd>(plan.edits[index])) {
            break;
        }
    }
    return check;
}

Result<PlanCheck> checkWithRoom(Session& session, const EditPlan& plan) {
    // Putting back a failed edit needs what it overwrote: a plan is only made with undo.
    const auto& journal = session.journal();
    if (!journal) {
        return journal.error();
    }
    auto check = checkEdits(session, plan);
    if (!check) {
        return check.error();
    }
    const UndoRoom room = undoRoomFor(check->dataBytes, journal->folder());
    if (!room.fits) {
        return Error{ErrorKind::Io, room.refusal};
    }
    return check;
}

}  // namespace

Result<uint64_t> checkPlan(Session& session, const EditPlan& plan) {
    const auto check = checkWithRoom(session, plan);
    return check ? Result<uint64_t>(check->dataBytes) : Result<uint64_t>(check.error());
}

Result<PlanOutcome> applyPlan(Session& session, const EditPlan& plan, OperationObserver& observer,
                              bool preview) {
    const auto check = checkWithRoom(session, plan);
    if (!check) {
        return check.error();
    }
    if (preview) {
        return dryRun(session, plan, observer);
    }
    const uint64_t dataBytes = check->dataBytes;
    auto edit = session.beginEdit(
        {EditKind::Plan, static_cast<uint32_t>(plan.edits.size()), dataBytes, std::string(), 0, 0});
    if (!edit) {
        return edit.error();
    }
    if (dataBytes <= kStagedPlanBytes && !check->replaces) {
        return applyStaged(session, plan, observer, *edit);
    }
    FileFinder finder(session, plan);
    PlanOutcome outcome;
    for (size_t index = 0; index < plan.edits.size(); ++index) {
        const auto& planned = plan.edits[index];
        if (auto applied =
                applyEdit(session, finder, *edit, planned, observer, outcome.viewsNotUpdated);
            !applied) {
            return inEdit(index, planned,
                          edit->rollBackAfter(applied.error(), 0, session.imagePath()));
        }
    }
    if (auto completed = edit->complete(); !completed) {
        return completed.error();
    }
    return outcome;
}

}  // namespace kestrel
