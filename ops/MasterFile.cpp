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
    const RecordFields fields{master.lba, withSize ? std::optional(master.size) : std::nullopt};
    for (const auto& rowName : rowNames) {
        auto location = session.findRecord(directory, rowName);
        auto patched = location ? session.patchRecord(directory, *location, fields)
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
    return run;
}

}  // namespace kestrel
