#include "ops/Blanking.h"

#include <algorithm>

#include "ops/DataRewrite.h"

namespace kestrel {

namespace {

constexpr uint8_t kDummyFill = 0x00;

Result<void> blankFile(JournalEdit& edit, const OperationSnapshot& snapshot,
                       const SnapshotFile& file, OperationObserver& observer) {
    return rewriteFileData(edit, snapshot, file, observer, [](uint64_t, std::span<uint8_t> block) {
        std::ranges::fill(block, kDummyFill);
        return Result<void>();
    });
}

}  // namespace

OperationReport blankFiles(const OperationSnapshot& snapshot, OperationObserver& observer) {
    OperationReport report;
    auto edit = snapshot.beginEdit(EditKind::Dummy);
    for (const auto& file : snapshot.files) {
        if (observer.stopRequested()) {
            report.stopped = true;
            break;
        }
        auto blanked =
            edit ? blankFile(*edit, snapshot, file, observer) : Result<void>(edit.error());
        if (!blanked) {
            report.failures.push_back({file.rowName, blanked.error()});
        }
    }
    // Without its mark of completion the run is put back: every file failed.
    if (auto completed = edit ? edit->complete() : Result<void>(); !completed) {
        report.failures.clear();
        for (const auto& file : snapshot.files) {
            report.failures.push_back({file.rowName, completed.error()});
        }
    }
    return report;
}

}  // namespace kestrel
