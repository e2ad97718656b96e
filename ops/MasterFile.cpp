#include "ops/MasterFile.h"

#include "ops/RecordPatch.h"

namespace kestrel {

Result<void> chooseMasterFile(EditorState& state, DirectoryNumber directory,
                              const std::string& rowName) {
    auto master = findDirectoryRecord(state, directory, rowName);
    if (!master) {
        return master.error();
    }
    state.masterLba = master->extentLba;
    state.masterSize = master->dataLength;
    return {};
}

PatchRun relinkFiles(const EditorState& state, DirectoryNumber directory,
                     const std::vector<std::string>& rowNames, bool withSize) {
    PatchRun run;
    const auto size = withSize ? std::optional(state.masterSize) : std::nullopt;
    for (const auto& rowName : rowNames) {
        auto location = findDirectoryRecord(state, directory, rowName);
        auto patched = location ? patchDirectoryRecord(state, *location, state.masterLba, size)
                                : Result<void>(location.error());
        if (!patched) {
            run.failure = FileFailure{rowName, patched.error()};
            break;
        }
        run.patched.push_back(rowName);
    }
    return run;
}

}  // namespace kestrel
