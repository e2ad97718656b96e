#include "ops/AddFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "image/ExtentMap.h"
#include "image/LongNames.h"
#include "image/NameText.h"
#include "ops/DirectoryInsert.h"
#include "ops/DirectoryRewrite.h"
#include "ops/NewRecord.h"
#include "ops/RecordNames.h"
#include "ops/UdfPartitionGrowth.h"

namespace kestrel {

namespace {

constexpr uint64_t kSectorBytes = 2048;

Error notAdded(const std::string& name, const Error& error) {
    return Error{error.kind, name + " was not added: " + error.message};
}

// The records of `directory` after "." and "..", parsed.
std::vector<DirectoryRecord> recordsOf(const ReadDirectory& directory) {
    std::vector<DirectoryRecord> records;
    for (size_t at = 0; at < directory.bytes.size();) {
        const size_t length = directory.bytes[at];
        if (length == 0) {
            at = (at / kSectorBytes + 1) * kSectorBytes;
            continue;
        }
        const auto parsed = parseDirectoryRecord(std::span(directory.bytes).subspan(at));
        if (!parsed) {
            break;
        }
        records.push_back(*parsed);
        at += length;
    }
    if (records.size() >= 2) {
        records.erase(records.begin(), records.begin() + 2);
    }
    return records;
}

std::time_t modifiedTime(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_mtime : std::time(nullptr);
}

Result<DirectoryRewrite> rewriteWith(const ReadDirectory& directory,
                                     const std::vector<uint8_t>& record,
                                     const std::function<bool(const DirectoryRecord&)>& after) {
    auto inserted = insertRecord(directory.bytes, record, after);
    if (!inserted) {
        return inserted.error();
    }
    return DirectoryRewrite{directory.offset, directory.bytes, std::move(inserted->extent)};
}

// The file's records from `firstRecord` on: a chain of them for a file of 4 GiB or more.
Result<std::vector<uint8_t>> chainFrom(const Result<std::vector<uint8_t>>& firstRecord,
                                       const Extent& first, uint64_t size) {
    if (!firstRecord) {
        return firstRecord.error();
    }
    return chainedRecords(*firstRecord, first.lba, size);
}

// The Joliet records and the rewrite of their directory, or why the file gets none.
Result<std::optional<DirectoryRewrite>> jolietRewrite(Session& session, DirectoryNumber directory,
                                                      const std::string& longName,
                                                      const Extent& first, uint64_t size,
                                                      const std::array<uint8_t, 7>& date,
                                                      std::optional<std::string>& missing) {
    const auto matching = session.jolietDirectoryOf(directory);
    const auto tree = matching ? session.jolietTree() : Result<const JolietTree*>(matching.error());
    if (!tree) {
        missing = tree.error().message;
        return std::optional<DirectoryRewrite>();
    }
    if (!*matching) {
        missing = "no Joliet directory was found to match its directory";
        return std::optional<DirectoryRewrite>();
    }
    auto read = readDirectoryExtent(session.presentedSource(), placeOf((*tree)->entry(**matching)));
    if (!read) {
        missing = read.error().message;
        return std::optional<DirectoryRewrite>();
    }
    const auto siblings = recordsOf(*read);
    const bool versioned = std::ranges::any_of(siblings, [](const DirectoryRecord& sibling) {
        return sibling.isListed() && sibling.identifier.ends_with(std::string("\0;\0001", 4));
    });
    for (const auto& sibling : siblings) {
        if (sameInAnyCase(jolietName(sibling.identifier), longName)) {
            return Error{ErrorKind::InvalidInput, "its directory's Joliet view already holds \"" +
                                                      longName + "\". Nothing was written"};
        }
    }
    const auto identifier = jolietIdentifier(longName, versioned);
    if (!identifier) {
        return identifier.error();
    }
    const auto record = chainFrom(fileRecord(*identifier, first, date, {}), first, size);
    if (!record) {
        return record.error();
    }
    const std::string name = jolietName(*identifier);
    auto rewrite = rewriteWith(*read, *record, [&name](const DirectoryRecord& held) {
        return compareIdentifiers(jolietName(held.identifier), name) > 0;
    });
    if (!rewrite) {
        return Error{rewrite.error().kind, "In its Joliet directory: " + rewrite.error().message};
    }
    return std::optional<DirectoryRewrite>(std::move(*rewrite));
}

// The job on an image of UDF alone, where the file is named `name` as given.
Result<AddJob> udfOnlyJob(Session& session, DirectoryNumber directory,
                          const std::string& sourcePath, const std::string& name,
                          const AddOptions& options) {
    const auto size = sourceSize(sourcePath);
    auto addition =
        size ? prepareUdfAddition(session, directory, name, *size, modifiedTime(sourcePath))
             : Result<UdfAddition>(size.error());
    if (!addition) {
        return notAdded(name, addition.error());
    }
    const Placement placement = addition->placement;
    return AddJob{session.journalFiles(),
                  session.journal(),
                  {placement, sourcePath, *size, name, session.volume().volumeSectors, 0},
                  name,
                  name,
                  std::nullopt,
                  std::nullopt,
                  std::nullopt,
                  std::move(*addition),
                  std::nullopt,
                  options};
}

}  // namespace

Result<std::string> fittingIsoName(Session& session, const std::string& name) {
    const auto level = volumeNameLevel(session.presentedSource(), session.volume());
    if (!level) {
        return level.error();
    }
    return fileIdentifierFor(name, *level) ? name : fittingName(name, *level);
}

Result<AddJob> prepareAdd(Session& session, DirectoryNumber directory,
                          const std::string& sourcePath, const AddOptions& options) {
    const std::string longName = std::filesystem::path(sourcePath).filename().string();
    const std::string name = options.name.value_or(longName);
    if (session.volume().udfOnly) {
        return udfOnlyJob(session, directory, sourcePath, name, options);
    }
    if (directory == 0 || directory > session.volume().directories.size() ||
        session.volume().directories[directory - 1].sameAs != 0) {
        return notAdded(name, Error{ErrorKind::NotFound,
                                    "its directory is not one the volume lists; nothing was "
                                    "written"});
    }
    const auto size = sourceSize(sourcePath);
    if (!size) {
        return notAdded(name, size.error());
    }
    const ImageSource& volume = session.presentedSource();
    const auto level = volumeNameLevel(volume, session.volume());
    const auto identifier =
        level ? fileIdentifierFor(name, *level) : Result<std::string>(level.error());
    if (!identifier) {
        return notAdded(name, identifier.error());
    }
    auto read = readDirectoryExtent(volume, session.directoryPlace(directory));
    if (!read) {
        return notAdded(name, read.error());
    }
    const auto siblings = recordsOf(*read);
    const std::string isoName = nameOf(*identifier);
    for (const auto& sibling : siblings) {
        const auto rockRidge = rockRidgeName(sibling, volume);
        if (sameInAnyCase(sibling.name(), isoName) || (rockRidge && *rockRidge == longName)) {
            return notAdded(name, Error{ErrorKind::InvalidInput,
                                        "its directory already holds " + sibling.name() +
                                            (rockRidge ? " (" + *rockRidge + ")" : "") +
                                            ". Nothing was written"});
        }
    }

    const auto map = mapVolume(volume, session.volume());
    if (!map) {
        return notAdded(name, map.error());
    }
    const auto structures = session.structures();
    const auto image = session.imageData();
    if (!image) {
        return notAdded(name, image.error());
    }
    const PlacementScene scene{image->get(), session.layerOffset(), &*map, structures.get(),
                               session.endFixed()};
    // On a bridge image the file's UDF entry takes one more sector, behind its data.
    std::optional<std::string> udfMissing;
    auto udfName = session.volume().features.udf
                       ? udfTwinName(session, directory, longName)
                       : Result<UdfNewName>(Error{ErrorKind::NotFound, "no UDF file system"});
    if (session.volume().features.udf && !udfName) {
        udfMissing = udfName.error().message;
    }
    const uint64_t entryBytes = udfName ? kSectorBytes : 0;
    const uint64_t placedBytes = (*size + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
    const auto placement =
        placedBytes + entryBytes == 0
            ? Result<Placement>(
                  Placement{PlacementKind::OwnExtent, 0, 0, session.volume().volumeSectors})
            : placeNewData(scene, placedBytes + entryBytes, options.intoGap, "for the new file");
    if (!placement) {
        return notAdded(name, placement.error());
    }

    const std::time_t when = modifiedTime(sourcePath);
    std::optional<UdfAddition> udf;
    if (udfName) {
        auto addition = udfTwinAddition(volume, *udfName, *placement, *size, when);
        if (addition) {
            udf = std::move(*addition);
        } else {
            udfMissing = addition.error().message;
        }
    }
    const auto date = recordDate(when);
    // A file of 4 GiB or more is a chain of records, this the first.
    const Extent first{*size == 0 ? 0 : placement->lba,
                       static_cast<uint32_t>(std::min<uint64_t>(*size, kLargestChainedExtent))};
    const auto model = std::ranges::find_if(siblings, &DirectoryRecord::isListed);
    const auto systemUse =
        systemUseLike(model != siblings.end() ? *model : read->dot, longName, when);
    const auto record = chainFrom(fileRecord(*identifier, first, date, systemUse), first, *size);
    if (!record) {
        return notAdded(name, record.error());
    }
    auto primary = rewriteWith(*read, *record, [&identifier](const DirectoryRecord& held) {
        return compareIdentifiers(held.identifier, *identifier) > 0;
    });
    if (!primary) {
        return notAdded(name, primary.error());
    }
    AddJob job{session.journalFiles(),
               session.journal(),
               {*placement, sourcePath, *size, isoName, session.volume().volumeSectors,
                session.layerOffset()},
               *identifier,
               longName,
               std::move(*primary),
               std::nullopt,
               std::nullopt,
               std::move(udf),
               std::move(udfMissing),
               options};
    if (session.volume().joliet) {
        auto joliet =
            jolietRewrite(session, directory, longName, first, *size, date, job.jolietMissing);
        if (!joliet) {
            return notAdded(name, joliet.error());
        }
        job.joliet = std::move(*joliet);
    }
    return job;
}

Result<AddOutcome> addInEdit(JournalEdit& edit, const AddJob& job, OperationObserver& observer) {
    const std::string& name = job.data.name;
    const size_t mark = edit.mark();
    const auto growth = writePlacedData(edit, job.data, observer);
    if (!growth && edit.mark() == mark) {
        return notAdded(name, growth.error());
    }
    // A bridge's UDF partition grows over the entry and data placed behind it; where it
    // cannot, the ISO 9660 record stands and the message says why the UDF view lacks it.
    const UdfAddition* udf = job.udf ? &*job.udf : nullptr;
    std::optional<std::string> udfMissing = job.udfMissing;
    if (growth && udf && job.primary) {
        const size_t grownFrom = edit.mark();
        auto grown =
            growUdfPartition(edit, udf->partition, udf->partitionStart, udf->partitionSectors,
                             udf->placement.lba + udf->placement.sectors);
        if (!grown && edit.mark() != grownFrom) {
            return notAdded(name, edit.rollBackAfter(grown.error(), mark, "the image"));
        }
        if (!grown) {
            udfMissing = grown.error().message;
            udf = nullptr;
        }
    }
    std::vector<const DirectoryRewrite*> rewrites;
    if (job.primary) {
        rewrites.push_back(&*job.primary);
    }
    if (udf) {
        for (const auto& write : udf->writes) {
            rewrites.push_back(&write);
        }
    }
    if (job.joliet) {
        rewrites.push_back(&*job.joliet);
    }
    auto written = growth ? writeDirectoryRewrites(edit, rewrites, job.data.layerOffset)
                          : Result<void>(growth.error());
    if (written && udf) {
        written = takeUdfBlocks(edit, udf->bitmap, udf->partition, udf->taken, udf->uniqueId);
    }
    if (!written) {
        return notAdded(name, edit.rollBackAfter(written.error(), mark, "the image"));
    }
    std::optional<std::string> viewNotUpdated;
    if (job.jolietMissing) {
        viewNotUpdated = "The Joliet view (what Windows shows) does not list " + name + ": " +
                         *job.jolietMissing;
    }
    if (udfMissing) {
        const std::string text =
            "The UDF view (what players and most systems read) does not list " + name + ": " +
            *udfMissing;
        viewNotUpdated = viewNotUpdated ? *viewNotUpdated + "\n\n" + text : text;
    }
    return AddOutcome{
        job.data.placement, job.identifier, job.data.size, *growth, viewNotUpdated, {}};
}

Result<AddOutcome> runAdd(const AddJob& job, OperationObserver& observer) {
    auto edit =
        job.options.dryRun
            ? Result<JournalEdit>(JournalEdit::dryRun(job.files))
            : beginJournalEdit(job.journal, job.options.keepUndo,
                               {EditKind::Add, 1, job.data.size, job.data.name, 0, 0}, job.files);
    if (!edit) {
        return notAdded(job.data.name, edit.error());
    }
    auto outcome = addInEdit(*edit, job, observer);
    if (!outcome) {
        return outcome;
    }
    if (auto completed = edit->complete(); !completed) {
        return notAdded(job.data.name, completed.error());
    }
    outcome->previewed = edit->previewed();
    return outcome;
}

Result<AddOutcome> addFile(Session& session, DirectoryNumber directory,
                           const std::string& sourcePath, const AddOptions& options,
                           OperationObserver& observer) {
    const auto job = prepareAdd(session, directory, sourcePath, options);
    if (!job) {
        return job.error();
    }
    auto added = runAdd(*job, observer);
    session.forgetReadStructures();
    return added;
}

}  // namespace kestrel
