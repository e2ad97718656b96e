// A prompter that records every message and file request and answers from a script. It is
// asked only on the window's thread, as a real one must be, never on a worker's.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <deque>
#include <functional>
#include <vector>

#include "dialogs/Prompter.h"

namespace kestrel::test {

class ScriptedPrompter : public Prompter {
public:
    Answer show(const Message& message) override {
        onWindowThread();
        messages.push_back(message);
        if (onShow) {
            onShow(message);
        }
        if (!message.asks()) {
            return Answer::Ok;
        }
        EXPECT_FALSE(answers.empty()) << "unscripted question: " << message.text.toStdString();
        return next(answers, Answer::No);
    }

    QString chooseFileToOpen(const QString& nameFilter, const QString& initialName) override {
        fileRequests.push_back(nameFilter + " / " + initialName);
        return next(files, QString());
    }

    QString chooseFileToSave(const QString& nameFilter, const QString& initialName) override {
        fileRequests.push_back(nameFilter + " / " + initialName);
        return next(files, QString());
    }

    QString chooseFolder(const QString& title) override {
        folderTitles.push_back(title);
        return next(folders, QString());
    }

    // Called as each message is shown, while the window is as it is behind the message box.
    std::function<void(const Message&)> onShow;
    std::deque<Answer> answers;
    std::deque<QString> files;    // an empty text cancels the dialog
    std::deque<QString> folders;  // an empty text dismisses the picker
    std::vector<Message> messages;
    std::vector<QString> fileRequests;  // "filter / initial name"
    std::vector<QString> folderTitles;

private:
    static void onWindowThread() {
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
    }
    template <class Reply>
    static Reply next(std::deque<Reply>& script, Reply otherwise) {
        onWindowThread();
        if (!script.empty()) {
            otherwise = script.front();
            script.pop_front();
        }
        return otherwise;
    }
};

}  // namespace kestrel::test
