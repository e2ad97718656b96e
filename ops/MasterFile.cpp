#include "ops/MasterFile.h"

#include <map>
#include <unordered_map>

namespace kestrel {

namespace {

const char* layerName(bool layerOne) {
    return layerOne ? "layer 1" : "layer 0";
}

// The first of `files` stored in a chain of records, which no row is patched beside: one walk
// of each directory finds them all.
std::optional<FileFailure> firstChainedFile(const Session& session,
                                            const std::vector<ListedFile>& files) {
    std::map<DirectoryNumber, std::vector<std::string>> names;
    for (const auto& [directory, rowName] : files) {
        names[directory].push_back(rowName);
    }
    std::map<DirectoryNumber, std::unordered_map<std::string, RecordLocation>> found;
    for (const auto& [directory, rowNames] : names) {
        for (auto& file : session.snapshot(directory, rowNames).files) {
            if (file.record) {
                found[directory].emplace(file.rowName, std::move(*file.record));
            }
        }
    }
    for (const auto& [directory, rowName] : files) {
        const auto record = found[directory].find(rowName);
        if (record == found[directory].end()) {
            continue;
        }
        if (auto single = requireOneExtent(record->second); !single) {
            return FileFailure{rowName, single.error()};
        }
    }
    return std::nullopt;
}

}  // namespace

Result<MasterFile> chooseMasterFile(const Session& session, DirectoryNumber directory,
                                    const std::string& rowName) {
    auto master = session.findRecord(directory, rowName);
    if (!master) {
        return master.error();
    }
    if (auto single = requireOneExtent(*master); !single) {
        return single.error();
    }
    return MasterFile{rowName, master->extentLba, master->dataLength, session.presentsLayerOne()};
}

Result<void> requireMasterOnLayer(const Session& session, const MasterFile& master) {
    if (master.onLayerOne == session.presentsLayerOne()) {
        return {};
    }
    return Error{ErrorKind::Changed, "the master file " + master.rowName + " is on " +
                                         layerName(master.onLayerOne) + ", and LBAs of " +
                                         layerName(master.onLayerOne) + " name other data on " +
                                         layerName(session.presentsLayerOne()) +
                                         "; choose a master file on this layer"};
}

PatchRun relinkFiles(Session& session, DirectoryNumber directory,
                     const std::vector<std::string>& rowNames, const MasterFile& master,
                     bool withSize, bool keepUndo) {
    std::vector<ListedFile> files;
    for (const auto& rowName : rowNames) {
        files.push_back({directory, rowName});
    }
    return relinkFiles(session, files, master, withSize, keepUndo);
}

PatchRun relinkFiles(Session& session, const std::vector<ListedFile>& files,
                     const MasterFile& master, bool withSize, bool keepUndo) {
    PatchRun run;
    if (files.empty()) {
        return run;
    }
    const std::string& first = files.front().rowName;
    if (auto sameLayer = requireMasterOnLayer(session, master); !sameLayer) {
        run.failure = FileFailure{first, sameLayer.error()};
        return run;
    }
    if (auto chained = firstChainedFile(session, files)) {
        run.failure = std::move(*chained);
        return run;
    }
    auto edit = session.beginEdit(
        {EditKind::Relink, static_cast<uint32_t>(files.size()), 0, first, 0, 0}, keepUndo);
    if (!edit) {
        run.failure = FileFailure{first, edit.error()};
        return run;
    }
    const RecordFields fields{master.lba, withSize ? std::optional(master.size) : std::nullopt};
    for (const auto& [directory, rowName] : files) {
        auto location = session.findRecord(directory, rowName);
        auto patched = location ? session.patchRecord(*edit, directory, *location, fields)
                                : Result<PatchOutcome>(location.error());
        if (!patched) {
            run.failure = FileFailure{rowName, patched.error()};
            break;
        }
        run.patched.push_back(rowName);
        if (patched->viewNotUpdated) {
            run.viewsNotUpdated.push_back(*patched->viewNotUpdated);
        }
    }
    // Without its mark of completion the edit is put back: no row stays patched.
    if (auto completed = edit->complete(); !completed) {
        run.failure =
            FileFailure{run.patched.empty() ? first : run.patched.front(), completed.error()};
        run.patched.clear();
        run.viewsNotUpdated.clear();
    }
    return run;
}

}  // namespace kestrel
