// The prompter the window uses: real message boxes and file dialogs, modal to the window.
#pragma once

#include "dialogs/Prompter.h"

class QWidget;

namespace kestrel {

class QtPrompter : public Prompter {
public:
    explicit QtPrompter(QWidget* owner) : owner_(owner) {}

    Answer show(const Message& message) override;
    QString chooseFileToOpen(const QString& nameFilter, const QString& initialName) override;
    QString chooseFileToSave(const QString& nameFilter, const QString& initialName) override;
    QString chooseFolder(const QString& title) override;

private:
    QWidget* owner_;
};

}  // namespace kestrel
