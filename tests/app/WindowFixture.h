// The main window, shown offscreen with a scripted prompter, over a small CD image:
//   root:  MASTER.BIN, A.TXT, B.TXT, C.TXT, a hidden SECRET.TXT; folders DOCS and EMPTY
//   DOCS:  D.TXT and the folder DEEP, which holds E.TXT
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "app/KestrelDlg.h"
#include "dialogs/ImageText.h"
#include "dialogs/ModifyTocDlg.h"
#include "support/Images.h"
#include "support/ModalDialogs.h"
#include "support/QtPrinters.h"
#include "support/TestFiles.h"
#include "tests/app/ScriptedPrompter.h"

namespace kestrel::test {

class WindowFixture : public ::testing::Test {
protected:
    static constexpr int kDocs = 2;
    static constexpr int kEmpty = 3;
    static constexpr int kDeep = 4;
    static constexpr uint32_t kMasterSize = 5000;

    void SetUp() override {
        builder.addDirectory(IsoBuilder::kRoot, "DOCS");
        builder.addDirectory(IsoBuilder::kRoot, "EMPTY");
        builder.addDirectory(kDocs, "DEEP");
        builder.addFile(IsoBuilder::kRoot,
                        textFile("MASTER.BIN;1", "master data", {}, kMasterSize));
        builder.addFile(IsoBuilder::kRoot, textFile("A.TXT;1", "alpha", {103, 2, 3}));
        builder.addFile(IsoBuilder::kRoot, textFile("B.TXT;1", "bravo", {99, 11, 30}));
        builder.addFile(IsoBuilder::kRoot, textFile("C.TXT;1", "charlie"));
        builder.addFile(IsoBuilder::kRoot, recordOnly("SECRET.TXT;1", 30, 10, 1));
        builder.addFile(kDocs, textFile("D.TXT;1", "delta"));
        builder.addFile(kDeep, textFile("E.TXT;1", "echo"));
        builder.writeTo(image);
        makeWindow();
    }

    void makeWindow() {
        auto scripted = std::make_unique<ScriptedPrompter>();
        prompter = scripted.get();
        window = std::make_unique<CKestrelDlg>(std::move(scripted), layerCopy);
        window->show();
        window->activateWindow();
        QApplication::processEvents();
    }

    template <class Widget = QWidget>
    Widget* control(int id) const {
        auto* widget = window->controlAs<Widget>(id);
        EXPECT_NE(widget, nullptr) << "control " << id;
        return widget;
    }
    QTreeWidget* tree() const { return control<QTreeWidget>(CKestrelDlg::kDirectoryTree); }
    QTreeWidget* list() const { return control<QTreeWidget>(CKestrelDlg::kFileList); }
    QString text(int id) const { return control<QLabel>(id)->text(); }

    void click(int id) { QTest::mouseClick(control<QPushButton>(id), Qt::LeftButton); }
    bool enabled(int id) const { return control(id)->isEnabled(); }
    bool visible(int id) const { return control(id)->isVisible(); }

    // Lets a background operation run to its end, serving what it asks of the window.
    bool operationEnds() const {
        QDeadlineTimer deadline(30000);
        while (window->operationRunning() && !deadline.hasExpired()) {
            QTest::qWait(5);
        }
        return !window->operationRunning();
    }

    void browseTo(const std::string& path) {
        prompter->files.push_back(fromLocalPath(path));
        click(CKestrelDlg::kBrowseButton);
    }

    void selectDirectory(int number) { tree()->setCurrentItem(findDirectoryItem(number)); }
    QTreeWidgetItem* findDirectoryItem(int number) const {
        QTreeWidgetItem* root = tree()->topLevelItem(0);
        switch (number) {
            case kDocs:
                return root->child(0);
            case kEmpty:
                return root->child(1);
            case kDeep:
                return root->child(0)->child(0);
            default:
                return root;
        }
    }

    // Rows by name; each is added to the selection.
    void selectRows(const QStringList& names) {
        list()->clearSelection();
        for (int row = 0; row < list()->topLevelItemCount(); ++row) {
            auto* item = list()->topLevelItem(row);
            item->setSelected(names.contains(item->text(0)));
        }
    }

    QStringList column(int column) const {
        QStringList texts;
        for (int row = 0; row < list()->topLevelItemCount(); ++row) {
            texts.append(list()->topLevelItem(row)->text(column));
        }
        return texts;
    }
    QString cell(const QString& name, int column) const {
        const auto found = list()->findItems(name, Qt::MatchExactly, 0);
        return found.isEmpty() ? QString() : found.first()->text(column);
    }

    // The messages shown since the last call.
    std::vector<Message> takeMessages() { return std::exchange(prompter->messages, {}); }

    // Runs `act` on the Modify TOC dialog once it is open.
    void whenTocDialogOpens(std::function<void(CModifyTocDlg&)> act) {
        whenModalOpens(std::move(act));
        failIfADialogStaysOpen();
    }

    // Should a modal dialog stay open, it is closed so that the test fails instead of hanging.
    static void failIfADialogStaysOpen() {
        QTimer::singleShot(10000, [] {
            if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << "a modal dialog was left open";
                modal->reject();
            }
        });
    }

    uint64_t recordOf(int directory, const std::string& identifier) const {
        return builder.recordOffset(directory, identifier);
    }

    TempDir dir;
    std::string image = dir.file("test.iso");
    IsoBuilder builder{Layout::CdRomXa, "TEST_DISC"};
    std::string layerCopy = dir.file("layer1-copy.tmp");
    ScriptedPrompter* prompter = nullptr;
    std::unique_ptr<CKestrelDlg> window;
};

inline bool isMessage(const Message& message, Message::Kind kind, const QString& text) {
    return message.kind == kind && message.text == text;
}

}  // namespace kestrel::test
