// A prompter that records every message and file request and answers from a script.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "dialogs/Prompter.h"

namespace kestrel::test {

class ScriptedPrompter : public Prompter {
public:
    Answer show(const Message& message) override {
        messages.push_back(message);
        if (onShow) {
            onShow(message);
        }
        if (message.kind != Message::Kind::Question) {
            return Answer::Ok;
        }
        if (answers.empty()) {
            ADD_FAILURE() << "unscripted question: " << message.text.toStdString();
            return Answer::No;
        }
        const Answer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    QString chooseFileToOpen(const QString& nameFilter, const QString& initialName) override {
        fileFilters.push_back(nameFilter);
        initialNames.push_back(initialName);
        return next(files);
    }

    QString chooseFolder(const QString& title) override {
        folderTitles.push_back(title);
        return next(folders);
    }

    // Called as each message is shown, while the window is as it is behind the message box.
    std::function<void(const Message&)> onShow;
    std::deque<Answer> answers;
    std::deque<QString> files;    // an empty text cancels the dialog
    std::deque<QString> folders;  // an empty text dismisses the picker
    std::vector<Message> messages;
    std::vector<QString> fileFilters;
    std::vector<QString> initialNames;
    std::vector<QString> folderTitles;

private:
    static QString next(std::deque<QString>& script) {
        if (script.empty()) {
            return {};
        }
        QString answer = script.front();
        script.pop_front();
        return answer;
    }
};

}  // namespace kestrel::test
