#include "ops/Session.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "image/DualLayer.h"
#include "image/IsoLayout.h"
#include "image/LongNames.h"
#include "image/NameText.h"
#include "image/UdfTag.h"
#include "ops/ImageJournal.h"
#include "ops/UndoEdit.h"

namespace kestrel {

namespace {

const std::vector<UdfEntry> kNoUdfEntries;

std::vector<Extent> extentsOf(const DirectoryListing& listing) {
    std::vector<Extent> files;
    for (const auto& row : listing.rows) {
        files.push_back(row.lastRecordExtent());
    }
    return files;
}

// The extents of a directory's listed files, read without building its rows: all a record
// edit needs to find the Joliet directory that matches.
Result<std::vector<Extent>> listedExtents(const ImageSource& image, DirectoryPlace place,
                                          ListingStart start) {
    std::vector<Extent> files;
    auto walked = walkRecordViews(image, place, start, [&files](const RecordView& view) {
        if (view.isListed()) {
            files.push_back({view.extentLba(), view.dataLength()});
        }
        return WalkStep::Continue;
    });
    if (!walked) {
        return walked.error();
    }
    return files;
}

// The UDF directory holding the most files whose data is one of `files`; none when none holds
// any, or two hold as many.
const UdfDirectory* udfDirectoryHolding(const std::vector<UdfDirectory>& directories,
                                        const std::vector<Extent>& files) {
    std::set<std::pair<uint32_t, uint64_t>> data;
    for (const auto& file : files) {
        data.emplace(file.lba, file.length);
    }
    const UdfDirectory* best = nullptr;
    ptrdiff_t most = 0;
    bool tied = false;
    for (const auto& directory : directories) {
        const auto held = std::ranges::count_if(directory.entries, [&data](const UdfEntry& entry) {
            const auto lba = entry.lba();
            return !entry.directory && lba && data.contains({*lba, entry.file.informationLength});
        });
        if (held > most) {
            best = &directory;
            most = held;
            tied = false;
        } else if (held > 0 && held == most) {
            tied = true;
        }
    }
    return tied ? nullptr : best;
}

// Why the image cannot be opened, with what the open put back, and the last edit when it
// may be what made the volume unreadable: undo needs only the journal.
Error unreadableVolume(Error unreadable, const ImageJournal& opened) {
    for (const auto& note : opened.recoveryNotes()) {
        unreadable.message += "\n\n" + note;
    }
    if (const auto last = opened.lastEdit(); last && *last) {
        unreadable.message +=
            "\n\n" + (*last)->description + "; undoing it puts back what was there.";
    }
    return unreadable;
}

}  // namespace

Session::Session(ImageContainer container, std::shared_ptr<const ImageFile> image,
                 std::string layerCopyPath, std::unique_ptr<ImageSource> presented, Volume volume,
                 Result<Journal> journal)
    : imagePath_(std::move(container.dataPath)),
      imageName_(std::move(container.shownPath)),
      image_(std::move(image)),
      layerCopyPath_(std::move(layerCopyPath)),
      imageLayout_(container.raw),
      presented_(std::move(presented)),
      volume_(std::move(volume)),
      journal_(std::move(journal)),
      layer0Bytes_(uint64_t{volume_.volumeSectors} << kSectorShift) {
    const auto size = image_->size();
    trackEndsImage_ =
        imageLayout_ && size && *size == imageLayout_->sectorOffset(imageLayout_->sectors);
}

Result<Session> Session::open(const std::string& chosenPath, std::string layerCopyPath) {
    // An edit a crash cut short is put back before anything is read.
    auto opened = ImageJournal::open(chosenPath);
    if (!opened) {
        return opened.error();
    }
    auto file = opened->image()->duplicate();
    if (!file) {
        return file.error();
    }
    auto image = openContainer(opened->container(), std::move(*file));
    auto volume = readVolume(*image);
    if (!volume) {
        return unreadableVolume(volume.error(), *opened);
    }
    Session session(opened->container(), opened->image(), std::move(layerCopyPath),
                    std::move(image), std::move(*volume), opened->takeJournal());
    session.recoveryNotes_ = opened->recoveryNotes();
    return session;
}

// A repeat of an earlier directory lists nothing and holds no record: its extent is listed
// once, under the directory it repeats.
bool Session::hasDirectory(DirectoryNumber directory) const {
    return presented_ && directory != 0 && directory <= volume_.directories.size() &&
           volume_.directories[directory - 1].sameAs == 0;
}

Result<void> Session::requireSameFile() const {
    const auto named = identityAt(presentedPath());
    if (!named) {
        return named.error();
    }
    const auto opened = presented_->identity();
    if (!opened) {
        return opened.error();
    }
    if (*opened != *named) {
        return Error{ErrorKind::Changed, presentedName() +
                                             " is no longer the file that was opened: it was "
                                             "replaced since; browse to it again"};
    }
    return {};
}

DirectoryPlace Session::directoryPlace(DirectoryNumber directory) const {
    return placeOf(volume_.directories[directory - 1]);
}

DualLayerCheck Session::checkDualLayer() {
    using enum DualLayerCheck::Verdict;
    constexpr auto failed = &DualLayerCheck::failed;
    if (layerCopyMade_ || presentsLayerOne()) {
        return DualLayerCheck{CopyAlreadyMade, std::nullopt};
    }
    if (imageLayout_) {
        return DualLayerCheck{SingleLayer, std::nullopt};  // a CD has one layer
    }
    const auto size = presented_->size();
    if (!size) {
        return failed(ImageUnreadable, size.error());
    }
    if (*size <= layer0Bytes_) {
        return DualLayerCheck{SingleLayer, std::nullopt};
    }
    if (layer0Bytes_ < kLayerOneLead) {
        return failed(
            ImageUnreadable,
            Error{ErrorKind::CorruptImage,
                  imageName() + " records a first volume of " + std::to_string(layer0Bytes_) +
                      " bytes, too short for a second volume to start inside it"});
    }
    const auto layerOne = hasLayerOneDescriptor(*presented_, layer0Bytes_);
    if (!layerOne) {
        return failed(ImageUnreadable, layerOne.error());
    }
    if (!*layerOne) {
        return DualLayerCheck{SingleLayer, std::nullopt};
    }
    // Layer 1's directories lie before the data of its files, which on the discs this editor
    // knows start where layer 0's first root record points.
    auto root = listDirectory(1);
    if (!root) {
        return failed(ImageUnreadable, root.error());
    }
    const uint64_t start = layerOneStart();
    const uint64_t wanted = uint64_t{root->firstRecordLba.value_or(0)} << kSectorShift;
    auto claim = LayerCopyClaim::take(layerCopyPath_);
    if (!claim) {
        return failed(CopyNotMade, claim.error());
    }
    // The copy holds no more than the image has from layer 1's start: records claiming more
    // would only fill the cache with zeros.
    auto check =
        copyLayerOneStart(*presented_, start, std::min(wanted, *size - start), *claim->file());
    if (check.verdict != DualLayer) {
        return check;
    }
    layerCopy_ = claim->file();
    layerCopyPath_ = claim->path();
    layerCopyClaim_ = std::move(*claim);
    layerCopyMade_ = true;
    return check;
}

Result<void> Session::switchLayers() {
    layerOne_ = !layerOne_;
    joliet_.reset();
    udf_.reset();
    udfOnly_.reset();
    structures_.reset();
    volume_ = Volume{};
    presented_.reset();
    const auto& held = layerOne_ ? layerCopy_ : image_;
    auto file = held ? held->duplicate()
                     : Result<ImageFile>(Error{ErrorKind::NotFound, "No layer-1 copy was made"});
    if (!file) {
        return file.error();
    }
    auto presented = openContainer({presentedPath(), layerOne_ ? std::nullopt : imageLayout_,
                                    layerOne_ ? presentedName() : imageName_},
                                   std::move(*file));
    auto volume = readVolume(*presented);
    if (!volume) {
        return volume.error();
    }
    presented_ = std::move(presented);
    volume_ = std::move(*volume);
    return {};
}

Result<DirectoryListing> Session::listDirectory(DirectoryNumber directory) {
    if (!hasDirectory(directory)) {
        return DirectoryListing{};
    }
    if (auto same = requireSameFile(); !same) {
        return same.error();
    }
    if (volume_.udfOnly) {
        const auto udf = udfDirectory(directory);
        if (!udf) {
            return udf.error();
        }
        return *udf == nullptr ? DirectoryListing{} : listUdfFiles(**udf);
    }
    auto listing = kestrel::listDirectory(*presented_, directoryPlace(directory),
                                          volume_.listingStart, dataEnd());
    if (!listing || !volume_.joliet) {
        return listing;
    }
    // A Joliet tree that cannot be read only costs the rows their Joliet names.
    auto joliet = jolietTree();
    if (!joliet || *joliet == nullptr) {
        return listing;
    }
    const auto matching = (*joliet)->matchingDirectory(extentsOf(*listing));
    for (auto& row : listing->rows) {
        if (matching && row.longName.empty()) {
            const auto twin = (*joliet)->twin(*matching, row.lastRecordExtent(), row.name);
            if (twin) {
                row.longName = jolietName(twin->identifier);
            }
        }
    }
    return listing;
}

Result<RecordLocation> Session::findRecord(DirectoryNumber directory,
                                           const std::string& rowName) const {
    if (!hasDirectory(directory)) {
        return recordNotFound(rowName, presentedName());
    }
    if (auto same = requireSameFile(); !same) {
        return same.error();
    }
    if (volume_.udfOnly) {
        const auto udf = udfDirectory(directory);
        if (!udf) {
            return udf.error();
        }
        const UdfEntry* file = *udf == nullptr ? nullptr : findUdfFile(**udf, rowName);
        if (file == nullptr) {
            return recordNotFound(rowName, presentedName());
        }
        return udfLocationOf(*file);
    }
    return findDirectoryRecord(*presented_, directoryPlace(directory), volume_.listingStart,
                               rowName, dataEnd());
}

Result<const UdfFileSystem*> Session::udfFileSystem() const {
    if (!udfOnly_) {
        auto read = readUdfFileSystem(*presented_);
        if (!read) {
            return read.error();
        }
        udfOnly_ = std::move(*read);
    }
    return &*udfOnly_;
}

Result<const UdfDirectory*> Session::udfDirectory(DirectoryNumber directory) const {
    const auto files = udfFileSystem();
    if (!files) {
        return files.error();
    }
    const auto& directories = (*files)->tree.directories;
    return directory == 0 || directory > directories.size() ? nullptr : &directories[directory - 1];
}

Result<RecordTargets> Session::udfRecordTargets(DirectoryNumber directory,
                                                const RecordLocation& location) const {
    const auto udf = udfDirectory(directory);
    if (!udf) {
        return udf.error();
    }
    if (*udf == nullptr) {
        return recordNotFound(location.identifier, presentedName());
    }
    const auto& entries = (*udf)->entries;
    const auto file = std::ranges::find_if(entries, [&location](const UdfEntry& entry) {
        return uint64_t{entry.file.sector} * kUdfBlockSize == location.recordOffset &&
               udfRowName(entry) == location.identifier;
    });
    if (file == entries.end()) {
        return recordNotFound(location.identifier, presentedName());
    }
    auto twin = udfTwinOf(udfOnly_->volume, file->file);
    if (!twin) {
        return Error{twin.error().kind, nameOf(location.identifier) + " cannot be edited: " +
                                            twin.error().message + "; nothing was written"};
    }
    RecordTargets targets{location,         std::nullopt, std::nullopt,
                          std::move(*twin), std::nullopt, std::nullopt};
    targets.udfOnly = true;
    return targets;
}

std::optional<std::string> Session::endFixed() const {
    if (!imageLayout_) {
        return std::nullopt;
    }
    const auto size = imageLength();
    if (size && *size == imageLayout_->sectorOffset(imageLayout_->sectors)) {
        return std::nullopt;
    }
    return "the raw image's data track is followed by more of " + image_->path() +
           " (other tracks), which would no longer start where the cue sheet says";
}

Result<std::unique_ptr<ImageSource>> Session::imageData() const {
    auto file = image_->duplicate();
    if (!file) {
        return file.error();
    }
    file->readThrough(imagePending_);
    return openContainer({imagePath_, imageLayout_, imageName_}, std::move(*file));
}

uint64_t Session::dataEnd() const {
    // The layer-1 copy holds only the start of its volume; the file data lies in the image.
    const auto size = presentsLayerOne() ? imageLength() : presented_->size();
    if (!size) {
        return kNoDataEnd;
    }
    return *size > layerOffset() ? *size - layerOffset() : 0;
}

Result<const JolietTree*> Session::jolietTree() {
    if (!volume_.joliet || !presented_) {
        return nullptr;
    }
    if (!joliet_) {
        auto tree = JolietTree::read(*presented_, *volume_.joliet);
        if (!tree) {
            return tree.error();
        }
        joliet_ = std::move(*tree);
    }
    return &*joliet_;
}

Result<const UdfView*> Session::udfView() {
    if (!volume_.features.udf || !presented_) {
        return nullptr;
    }
    if (!udf_) {
        auto view = UdfView::read(*presented_);
        if (!view) {
            return view.error();
        }
        udf_ = std::move(*view);
    }
    return &*udf_;
}

Result<UdfTwin> Session::udfTwinOfRecords(const RecordLocation& location) {
    if (presentsLayerOne()) {
        return Error{ErrorKind::NotFound, "Kestrel reads a UDF file system on layer 0 only"};
    }
    auto view = udfView();
    if (!view) {
        return view.error();
    }
    if (!*view) {
        return Error{ErrorKind::NotFound, "the image has no UDF file system"};
    }
    const auto extents = fileExtents(location);
    uint64_t length = 0;
    for (const Extent& extent : extents) {
        if (extent.lba != extents.front().lba + length / kSectorSize || length % kSectorSize != 0) {
            return Error{ErrorKind::NotFound,
                         "its extents lie apart, as no UDF entry's data can be found by them"};
        }
        length += extent.length;
    }
    return (*view)->twin(extents.front().lba, length, nameOf(location.identifier));
}

Result<std::optional<size_t>> Session::jolietDirectoryOf(DirectoryNumber directory) {
    auto tree = hasDirectory(directory) ? jolietTree() : Result<const JolietTree*>(nullptr);
    if (!tree || *tree == nullptr) {
        return tree ? Result<std::optional<size_t>>(std::nullopt) : tree.error();
    }
    const PathTableDirectory& entry = volume_.directories[directory - 1];
    if (entry.parent == 0) {
        return std::optional<size_t>(JolietTree::kRoot);
    }
    const auto files = listedExtents(*presented_, directoryPlace(directory), volume_.listingStart);
    if (!files) {
        return files.error();
    }
    if (!files->empty()) {
        return (*tree)->matchingDirectory(*files);
    }
    const auto parent = jolietDirectoryOf(entry.parent);
    if (!parent || !*parent) {
        return parent;
    }
    return (*tree)->subdirectory(**parent, entry.identifier);
}

Result<const UdfDirectory*> Session::udfDirectoryOf(DirectoryNumber directory) {
    if (presentsLayerOne()) {
        return Error{ErrorKind::NotFound, "Kestrel reads a UDF file system on layer 0 only"};
    }
    auto files = hasDirectory(directory) ? udfFileSystem() : Result<const UdfFileSystem*>(nullptr);
    if (!files || *files == nullptr || (*files)->tree.directories.empty()) {
        return files ? Result<const UdfDirectory*>(nullptr) : files.error();
    }
    const auto& directories = (*files)->tree.directories;
    const PathTableDirectory& entry = volume_.directories[directory - 1];
    if (entry.parent == 0) {
        return &directories.front();
    }
    const auto held = listedExtents(*presented_, directoryPlace(directory), volume_.listingStart);
    if (!held) {
        return held.error();
    }
    if (!held->empty()) {
        return udfDirectoryHolding(directories, *held);
    }
    const auto parent = udfDirectoryOf(entry.parent);
    if (!parent || !*parent) {
        return parent;
    }
    const auto parentIndex = static_cast<size_t>(*parent - directories.data());
    const std::string name = utf8FromImageBytes(entry.identifier);
    const UdfDirectory* found = nullptr;
    for (const auto& candidate : directories) {
        if (candidate.parent == parentIndex && sameInAnyCase(candidate.name, name)) {
            if (found) {
                return nullptr;
            }
            found = &candidate;
        }
    }
    return found;
}

std::shared_ptr<const VolumeStructures> Session::structures() const {
    if (!structures_ && presented_) {
        // A volume of UDF alone has its file system read already, or read here for both.
        const auto udf = volume_.udfOnly ? udfFileSystem() : Result<const UdfFileSystem*>(nullptr);
        if (auto read = VolumeStructures::read(*presented_, volume_, udf ? *udf : nullptr)) {
            structures_ = std::make_shared<const VolumeStructures>(std::move(*read));
        }
    }
    return structures_;
}

void Session::readThrough(const StagedWrites* staged) {
    if (staged == nullptr) {
        readThroughPending(nullptr, nullptr);
        return;
    }
    readThroughPending(&staged->pending(JournalTarget::Image),
                       &staged->pending(JournalTarget::LayerCopy));
}

void Session::readThrough(const DryRunWrites& written) {
    readThroughPending(&written.pending(JournalTarget::Image),
                       &written.pending(JournalTarget::LayerCopy));
}

void Session::readThroughPending(const PendingWrites* image, const PendingWrites* layerCopy) {
    imagePending_ = image;
    layerCopyPending_ = layerCopy;
    if (presented_) {
        presented_->readThrough(presentsLayerOne() ? layerCopy : image);
    }
    // The Joliet tree kept the staged edits' changes: read afresh, it holds what was written.
    joliet_.reset();
    udf_.reset();
    udfOnly_.reset();
}

Result<uint64_t> Session::imageLength() const {
    if (imagePending_ != nullptr && imagePending_->length()) {
        return *imagePending_->length();
    }
    return image_->size();
}

// A write that failed part-way is put back before the failure is reported.
JournalFiles Session::journalFiles() const {
    return {image_, layerCopyMade_ ? layerCopy_ : nullptr, imageLayout_};
}

Result<JournalEdit> Session::beginEdit(const EditSummary& summary, bool keepUndo) const {
    return beginJournalEdit(journal_, keepUndo, summary, journalFiles());
}

Result<std::function<Result<void>(OperationObserver*)>> Session::undoTask(uint64_t id) const {
    if (!journal_) {
        return journal_.error();
    }
    if (auto same = requireSameFile(); !same) {
        return same.error();
    }
    return std::function<Result<void>(OperationObserver*)>(
        [journal = *journal_, files = journalFiles(), id](OperationObserver* observer) {
            return undoEntry(journal, id, files, observer);
        });
}

void Session::forgetReadStructures() {
    joliet_.reset();
    udf_.reset();
    udfOnly_.reset();
    structures_.reset();
    if (presentsLayerOne()) {
        followLayerOneSize();
    } else if (!layerCopyMade_) {
        followImageLength();
    }
}

void Session::followLayerOneSize() {
    // A volume that cannot be read now is kept as it was, as on layer 0.
    if (!presented_) {
        return;
    }
    if (auto volume = readVolume(*presented_)) {
        volume_ = std::move(*volume);
    }
}

void Session::followImageLength() {
    const auto size = imageLength();
    auto file = size ? image_->duplicate() : Result<ImageFile>(size.error());
    if (!file) {
        return;
    }
    file->readThrough(imagePending_);
    if (trackEndsImage_ && *size >= imageLayout_->firstByte) {
        imageLayout_->sectors = (*size - imageLayout_->firstByte) / kRawSectorSize;
    }
    auto presented = openContainer({imagePath_, imageLayout_, imageName_}, std::move(*file));
    // A volume that cannot be read now is kept as it was read: its records still name the
    // same places, and every edit checks them again before it writes.
    auto volume = readVolume(*presented);
    if (!volume) {
        return;
    }
    presented_ = std::move(presented);
    volume_ = std::move(*volume);
    layer0Bytes_ = uint64_t{volume_.volumeSectors} << kSectorShift;
}

Result<void> Session::undo(uint64_t id) {
    auto task = undoTask(id);
    if (!task) {
        return task.error();
    }
    auto undone = (*task)(nullptr);
    forgetReadStructures();
    return undone;
}

Result<RecordTargets> Session::recordTargets(DirectoryNumber directory,
                                             const RecordLocation& location) {
    if (!hasDirectory(directory)) {
        return recordNotFound(location.identifier, presentedName());
    }
    if (auto single = requireOneExtent(location); !single) {
        return single.error();
    }
    if (volume_.udfOnly) {
        return udfRecordTargets(directory, location);
    }
    RecordTargets targets{
        location,     std::nullopt,
        std::nullopt, std::nullopt,
        std::nullopt, presentsLayerOne() ? std::optional(layerOneStart()) : std::nullopt};
    if (volume_.features.udf) {
        auto twin = udfTwinOfRecords(location);
        if (twin) {
            targets.udfTwin = std::move(*twin);
        } else {
            targets.udfMissing = twin.error().message;
        }
    }
    if (!volume_.joliet) {
        return targets;
    }
    const auto primary =
        listedExtents(*presented_, directoryPlace(directory), volume_.listingStart);
    auto joliet = primary ? jolietTree() : Result<const JolietTree*>(primary.error());
    if (!joliet) {
        targets.twinMissing = joliet.error().message;
        return targets;
    }
    const auto matching = (*joliet)->matchingDirectory(*primary);
    targets.jolietTwin =
        matching ? (*joliet)->twin(*matching, extentOf(location), nameOf(location.identifier))
                 : std::nullopt;
    if (!targets.jolietTwin) {
        targets.twinMissing = "no single Joliet record points at the same data";
    }
    return targets;
}

Result<PatchOutcome> Session::patchRecord(JournalEdit& edit, DirectoryNumber directory,
                                          const RecordLocation& location,
                                          const RecordFields& fields) {
    const auto targets = recordTargets(directory, location);
    if (!targets) {
        return targets.error();
    }
    auto outcome = patchRecordTargets(edit, *targets, fields);
    if (targets->udfOnly) {
        udfOnly_.reset();
    }
    if (outcome && outcome->udfTwinPatched && udf_) {
        udf_->update(*targets->udfTwin, fields.lba, fields.size);
    }
    if (outcome && targets->jolietTwin && !outcome->viewNotUpdated) {
        joliet_->update(*targets->jolietTwin,
                        {fields.lba, fields.size.value_or(targets->jolietTwin->dataLength)});
    }
    return outcome;
}

OperationSnapshot Session::snapshot(DirectoryNumber directory,
                                    const std::vector<std::string>& rowNames) const {
    OperationSnapshot snapshot;
    snapshot.image = image_;
    snapshot.imagePending = imagePending_;
    snapshot.imageLayout = imageLayout_;
    snapshot.imageName = imageName_;
    snapshot.recordsPath = presentedPath();
    snapshot.layerOffset = layerOffset();
    snapshot.textNames = volume_.udfOnly;
    snapshot.structures = structures();
    if (journal_) {
        snapshot.journal = *journal_;
    }

    // The first record listed under each name is the one its row stands for.
    std::unordered_map<std::string, std::optional<RecordLocation>> wanted;
    for (const auto& name : rowNames) {
        wanted.emplace(name, std::nullopt);
    }
    // A file replaced since it was opened would have its data written at the old file's
    // offsets: every row carries the refusal instead.
    Result<void> walked = hasDirectory(directory) ? requireSameFile() : Result<void>();
    if (walked && hasDirectory(directory) && volume_.udfOnly) {
        const auto udf = udfDirectory(directory);
        walked = udf ? Result<void>() : Result<void>(udf.error());
        for (const UdfEntry& entry : udf&&* udf != nullptr ? (*udf)->entries : kNoUdfEntries) {
            auto found = entry.directory ? wanted.end() : wanted.find(udfRowName(entry));
            if (found != wanted.end() && !found->second) {
                found->second = udfLocationOf(entry);
            }
        }
    } else if (walked && hasDirectory(directory)) {
        walked = walkListedFiles(*presented_, directoryPlace(directory), volume_.listingStart,
                                 dataEnd(), [&](const ListedRecords& file) {
                                     auto found =
                                         wanted.find(nameOf(std::string(file.first.identifier())));
                                     if (found != wanted.end() && !found->second) {
                                         found->second = locationOf(file);
                                     }
                                     return WalkStep::Continue;
                                 });
    }
    for (const auto& name : rowNames) {
        const auto& found = wanted.at(name);
        if (!walked) {
            snapshot.files.push_back({name, walked.error()});
        } else if (!found) {
            snapshot.files.push_back({name, recordNotFound(name, presentedName())});
        } else {
            snapshot.files.push_back({name, *found});
        }
    }
    return snapshot;
}

}  // namespace kestrel
