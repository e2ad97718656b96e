// Every message box and file picker the window shows goes through this interface, so the
// window's logic never opens one itself: the window gives the Qt implementation, tests a
// scripted one that records what was asked and answers from a script.
#pragma once

#include <QString>

namespace kestrel {

struct Message {
    enum class Kind {
        Notice,    // OK only, no icon, the application's name as the title
        Refusal,   // OK only, the critical icon, "ISO EDIT ERROR" as the title
        Question,  // Yes and No, Yes the default, no icon
        Warning,   // Yes and No, No the default, the warning icon: a risk the user must take
    };

    Kind kind;
    QString text;
    QString caption;  // empty: the application's name

    static Message notice(const QString& text) { return {Kind::Notice, text, {}}; }
    static Message refusal(const QString& text) {
        return {Kind::Refusal, text, QStringLiteral("ISO EDIT ERROR")};
    }
    static Message question(const QString& text, const QString& caption) {
        return {Kind::Question, text, caption};
    }
    static Message warning(const QString& text, const QString& caption) {
        return {Kind::Warning, text, caption};
    }
    bool asks() const { return kind == Kind::Question || kind == Kind::Warning; }
};

enum class Answer { Ok, Yes, No };

class Prompter {
public:
    virtual ~Prompter() = default;

    virtual Answer show(const Message& message) = 0;
    // The open-file dialog with one filter, such as "ISO Images (*.iso) (*.iso)", and a file
    // name to start with: the chosen path, or an empty text when the user cancelled.
    virtual QString chooseFileToOpen(const QString& nameFilter, const QString& initialName) = 0;
    // The save-file dialog, the same way: the path to write, or an empty text.
    virtual QString chooseFileToSave(const QString& nameFilter, const QString& initialName) = 0;
    // The folder picker: the chosen folder's path, or an empty text when none was chosen.
    virtual QString chooseFolder(const QString& title) = 0;
};

}  // namespace kestrel
