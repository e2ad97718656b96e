// What a worker last reported of the file in hand, kept for the window to show when it next
// repaints. The worker never waits for the window: a report not yet shown is replaced by the
// next, so the window shows the latest file and percentage, not every one.
#pragma once

#include <QString>
#include <atomic>
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

    // On the worker's thread. A small file's percentages come a hundred at a time, so they
    // are stored without a lock; only the status, once a file, takes one.
    void beginFile(QString status) {
        {
            const std::lock_guard lock(mutex_);
            status_ = std::move(status);
            percent_.store(0, std::memory_order_relaxed);
        }
        changed_.store(true, std::memory_order_release);
    }
    void setPercent(int percent) {
        percent_.store(percent, std::memory_order_relaxed);
        changed_.store(true, std::memory_order_release);
    }

    // On the window's thread: the latest report, once.
    std::optional<Report> take() {
        if (!changed_.exchange(false, std::memory_order_acquire)) {
            return std::nullopt;
        }
        // The percentage is read under the lock, so it is never an earlier file's beside the
        // new file's status.
        const std::lock_guard lock(mutex_);
        return Report{status_, percent_.load(std::memory_order_relaxed)};
    }

private:
    std::mutex mutex_;
    QString status_;
    std::atomic<int> percent_ = 0;
    std::atomic<bool> changed_ = false;
};

}  // namespace kestrel
