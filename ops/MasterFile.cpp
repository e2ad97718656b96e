#include "ops/MasterFile.h"

namespace kestrel {

namespace {

const char* layerName(bool layerOne) {
    return layerOne ? "layer 1" : "layer 0";
}

}  // namespace

Result<MasterFile> chooseMasterFile(const Session& session, DirectoryNumber directory,
                                    const std::string& rowName) {
    auto master = session.findRecord(directory, rowName);
    if (!master) {
        return master.error();
    }
    return MasterFile{rowName, master->extentLba, master->dataLength, session.presentsLayerOne()};
}

PatchRun relinkFiles(Session& session, DirectoryNumber directory,
                     const std::vector<std::string>& rowNames, const MasterFile& master,
                     bool withSize) {
    PatchRun run;
    if (master.onLayerOne != session.presentsLayerOne() && !rowNames.empty()) {
        run.failure = FileFailure{
            rowNames.front(),
            Error{ErrorKind::Changed, "the master file " + master.rowName + " is on " +
                                          layerName(master.onLayerOne) + ", and LBAs of " +
                                          layerName(master.onLayerOne) + " name other data on " +
                                          layerName(session.presentsLayerOne()) +
                                          "; choose a master file on this layer"}};
        return run;
    }
    if (rowNames.empty()) {
        return run;
    }
    auto edit = session.beginEdit(
        {EditKind::Relink, static_cast<uint32_t>(rowNames.size()), 0, rowNames.front(), 0, 0});
    if (!edit) {
        run.failure = FileFailure{rowNames.front(), edit.error()};
        return run;
    }
    const RecordFields fields{master.lba, withSize ? std::optional(master.size) : std::nullopt};
    for (const auto& rowName : rowNames) {
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
        run.failure = FileFailure{run.patched.empty() ? rowNames.front() : run.patched.front(),
                                  completed.error()};
        run.patched.clear();
        run.viewsNotUpdated.clear();
    }
    return run;
}

}  // namespace kestrel
