// A prompter that records every message and file request and answers from a script.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "dialogs/Prompter.h"

namespace kestrel::test {

class ScriptedPrompter : public Prompter {
public:
    Answer show(const Message& message) override {
        messages.push_back(message);
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

    QString chooseFileToOpen(const QString& nameFilter) override {
        fileFilters.push_back(nameFilter);
        if (files.empty()) {
            return {};
        }
        const QString file = files.front();
        files.pop_front();
        return file;
    }

    std::deque<Answer> answers;
    std::deque<QString> files;  // an empty text cancels the dialog
    std::vector<Message> messages;
    std::vector<QString> fileFilters;
};

}  // namespace kestrel::test
