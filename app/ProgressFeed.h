// What a worker last reported of the file in hand, kept for the window to show when it next
// repaints. The worker never waits for the window: a report not yet shown is replaced by the
// next, so the window shows the latest file and percentage, not every one.
#pragma once

#include <QString>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>

#include "dialogs/ImageText.h"

namespace kestrel {

class ProgressFeed {
public:
    struct Report {
        QString status;
        int percent = 0;
    };

    // On the worker's thread. Thousands of small files may pass between two frames, so the
    // status text is made only for the file the window shows; a small file's percentages
    // come a hundred at a time, so they are stored without a lock.
    void beginFile(const char* statusFormat, const std::string& rowText) {
        {
            const std::lock_guard lock(mutex_);
            statusFormat_ = statusFormat;
            rowText_ = rowText;
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
        // new file's name.
        const std::lock_guard lock(mutex_);
        return Report{
            QString::fromLatin1(statusFormat_).arg(QString::fromStdString(shownText(rowText_))),
            percent_.load(std::memory_order_relaxed)};
    }

private:
    std::mutex mutex_;
    const char* statusFormat_ = "%1";
    std::string rowText_;
    std::atomic<int> percent_ = 0;
    std::atomic<bool> changed_ = false;
};

}  // namespace kestrel
