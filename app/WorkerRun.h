// What a window's worker thread uses to reach the window: the observer that feeds it the
// run's progress and tells the run to stop, and the call that runs a function on the window's
// thread and waits for it. Included by the files whose runs use them.
#pragma once

#include <QMetaObject>
#include <type_traits>

#include "app/KestrelDlg.h"
#include "dialogs/ImageText.h"

namespace kestrel {

// Reports a worker's progress to the window and tells it when to stop: an extraction on
// CANCEL, any operation when the window closes.
class CKestrelDlg::WorkerObserver : public OperationObserver {
public:
    WorkerObserver(CKestrelDlg& window, const char* statusFormat, bool honoursCancel)
        : window_(window), statusFormat_(statusFormat), honoursCancel_(honoursCancel) {}

    void beginFile(const std::string& rowName) override {
        const std::string text = window_.rowText(rowName);
        window_.progressFeed_.beginFile(statusFormat_, text);
        if (window_.progressProbe_) {
            status_ =
                QString::fromLatin1(statusFormat_).arg(QString::fromStdString(shownText(text)));
            probe(0);
        }
    }
    void showPercent(int percent) override {
        window_.progressFeed_.setPercent(percent);
        probe(percent);
    }
    bool stopRequested() override {
        return window_.closing_ || (honoursCancel_ && window_.extractActive_ == 0);
    }

private:
    void probe(int percent) const {
        if (window_.progressProbe_) {
            window_.progressProbe_(status_, percent);
        }
    }

    CKestrelDlg& window_;
    const char* statusFormat_;
    bool honoursCancel_;
    QString status_;
};

template <class Function>
std::invoke_result_t<Function> CKestrelDlg::onWindowThread(Function function) {
    using Value = std::invoke_result_t<Function>;
    auto afterProgress = [this, function = std::move(function)]() mutable {
        showLatestProgress();
        return function();
    };
    if constexpr (std::is_void_v<Value>) {
        QMetaObject::invokeMethod(this, std::move(afterProgress), Qt::BlockingQueuedConnection);
    } else {
        Value value{};
        QMetaObject::invokeMethod(this, std::move(afterProgress), Qt::BlockingQueuedConnection,
                                  &value);
        return value;
    }
}

}  // namespace kestrel
