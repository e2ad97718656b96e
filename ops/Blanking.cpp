#include "ops/Blanking.h"

#include <algorithm>

#include "ops/DataRewrite.h"

namespace kestrel {

namespace {

constexpr uint8_t kDummyFill = 0x00;

Result<void> blankFile(const OperationSnapshot& snapshot, const SnapshotFile& file,
                       OperationObserver& observer) {
    return rewriteFileData(snapshot, file, observer, [](uint64_t, std::span<uint8_t> block) {
        std::ranges::fill(block, kDummyFill);
        return Result<void>();
    });
}

}  // namespace

OperationReport blankFiles(const OperationSnapshot& snapshot, OperationObserver& observer) {
    OperationReport report;
    for (const auto& file : snapshot.files) {
        if (observer.stopRequested()) {
            report.stopped = true;
            break;
        }
        if (auto blanked = blankFile(snapshot, file, observer); !blanked) {
            report.failures.push_back({file.rowName, blanked.error()});
        }
    }
    return report;
}

}  // namespace kestrel
