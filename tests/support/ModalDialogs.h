// Driving the modal dialogs a test opens: the action is queued before the dialog's own event
// loop starts and runs once it is the active modal widget.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <functional>

namespace kestrel::test {

template <class Dialog>
void whenModalOpens(std::function<void(Dialog&)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr)
            << "the expected " << Dialog::staticMetaObject.className() << " did not open";
        act(*dialog);
    });
}

}  // namespace kestrel::test
