// What a worker last reported of the file in hand, kept for the window to show when it next
// repaints. The worker never waits for the window: a report not yet shown is replaced by the
// next, so the window shows the latest file and percentage, not every one.
#pragma once

#include <QString>
#include <mutex>
#include <optional>
#include <utility>

namespace kestrel {

class ProgressFeed {
public:
    struct Report {
        QString status;
        int percent = 0;
    };

    // On the worker's thread.
    void beginFile(QString status) {
        const std::lock_guard lock(mutex_);
        latest_ = {std::move(status), 0};
        changed_ = true;
    }
    void setPercent(int percent) {
        const std::lock_guard lock(mutex_);
        latest_.percent = percent;
        changed_ = true;
    }

    // On the window's thread: the latest report, once.
    std::optional<Report> take() {
        const std::lock_guard lock(mutex_);
        if (!std::exchange(changed_, false)) {
            return std::nullopt;
        }
        return latest_;
    }

private:
    std::mutex mutex_;
    Report latest_;
    bool changed_ = false;
};

}  // namespace kestrel
