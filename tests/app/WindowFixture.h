// The main window, shown offscreen with a scripted prompter, over a small CD image:
//   root:  MASTER.BIN, A.TXT, B.TXT, C.TXT, a hidden SECRET.TXT, and ZERO.BIN, of no bytes,
//          whose LBA lies far past the image's end; folders DOCS and EMPTY
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
#include <filesystem>
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

using C = CKestrelDlg;
using D = CModifyTocDlg;

// A directory record's extent field: the LBA little-endian, then big-endian.
inline std::vector<uint8_t> extentField(uint32_t lba) {
    std::vector<uint8_t> bytes;
    for (const int shift : {0, 8, 16, 24, 24, 16, 8, 0}) {
        bytes.push_back(static_cast<uint8_t>(lba >> shift));
    }
    return bytes;
}

class WindowFixture : public ::testing::Test {
protected:
    static constexpr int kDocs = 2;
    static constexpr int kEmpty = 3;
    static constexpr int kDeep = 4;

    void SetUp() override {
        builder.addDirectory(IsoBuilder::kRoot, "DOCS");
        builder.addDirectory(IsoBuilder::kRoot, "EMPTY");
        builder.addDirectory(kDocs, "DEEP");
        builder.addFile(IsoBuilder::kRoot, textFile("MASTER.BIN;1", "master data", {}, 5000));
        builder.addFile(IsoBuilder::kRoot, textFile("A.TXT;1", "alpha", {103, 2, 3}));
        builder.addFile(IsoBuilder::kRoot, textFile("B.TXT;1", "bravo", {99, 11, 30}));
        builder.addFile(IsoBuilder::kRoot, textFile("C.TXT;1", "charlie"));
        builder.addFile(IsoBuilder::kRoot, recordOnly("SECRET.TXT;1", 30, 10, 1));
        builder.addFile(IsoBuilder::kRoot, recordOnly("ZERO.BIN;1", 30, 0));
        builder.addFile(kDocs, textFile("D.TXT;1", "delta"));
        builder.addFile(kDeep, textFile("E.TXT;1", "echo"));
        builder.writeTo(image);
        overwriteBytes(image, recordOf("ZERO.BIN") + 2, extentField(0xFFFF0000));
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
    QTreeWidget* tree() const { return control<QTreeWidget>(C::kDirectoryTree); }
    QTreeWidget* list() const { return control<QTreeWidget>(C::kFileList); }
    QString text(int id) const { return control<QLabel>(id)->text(); }
    void click(int id) { QTest::mouseClick(control<QPushButton>(id), Qt::LeftButton); }
    bool enabled(int id) const { return control(id)->isEnabled(); }

    // Ctrl+Z, a shortcut of the window; offscreen, a dialog that closed leaves no window active.
    // In the path box, which has the focus once an image is opened and undoes its own typing
    // with the same keys.
    void pressUndoKeys(Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        auto* path = window->controlAs<QLineEdit>(C::kPathEdit);
        path->setFocus();
        QTest::keyClick(path, Qt::Key_Z, modifiers);
        ASSERT_TRUE(operationEnds());
    }

    bool operationEnds() const {
        QDeadlineTimer deadline(30000);
        while (window->operationRunning() && !deadline.hasExpired()) {
            QTest::qWait(5);
        }
        return !window->operationRunning();
    }

    void browseTo(const std::string& path) {
        prompter->files.push_back(fromLocalPath(path));
        click(C::kBrowseButton);
    }

    void selectDirectory(int number) { tree()->setCurrentItem(findDirectoryItem(number)); }
    QTreeWidgetItem* findDirectoryItem(int number) const {
        QTreeWidgetItem* root = tree()->topLevelItem(0);
        return number == kDeep ? root->child(0)->child(0)
               : number == 1   ? root
                               : root->child(number - 2);
    }
    void selectRows(const QStringList& names) {
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
    uint64_t dataOffset(const QString& row) const { return uint64_t{cell(row, 1).toUInt()} * 2048; }
    uint64_t recordOf(const std::string& name) const {
        return builder.recordOffset(IsoBuilder::kRoot, name + ";1");
    }

    // The messages shown since the last call, as "Notice: text", "Refusal: text",
    // "Warning: text" or "Question (caption): text".
    QStringList takeMessages() {
        QStringList shown;
        for (const auto& message : std::exchange(prompter->messages, {})) {
            using enum Message::Kind;
            shown.append((message.kind == Notice    ? QString("Notice")
                          : message.kind == Refusal ? QString("Refusal")
                          : message.kind == Warning ? QString("Warning")
                                                    : "Question (" + message.caption + ")") +
                         ": " + message.text);
        }
        return shown;
    }

    static QLineEdit* edit(D& dialog, int id) { return dialog.controlAs<QLineEdit>(id); }
    static void press(D& dialog, int id) {
        QTest::mouseClick(dialog.controlAs<QPushButton>(id), Qt::LeftButton);
    }
    void whenTocDialogOpens(std::function<void(D&)> act) {
        whenModalOpens(std::move(act));
        failIfADialogStaysOpen();
    }
    void modifyToc(std::function<void(D&)> act) {
        whenTocDialogOpens(std::move(act));
        click(C::kModifyTocButton);
    }
    // Modify TOC on the selected rows, typing `size` as the File Size and pressing Update.
    void modifySize(const QString& size) {
        modifyToc([size](D& dialog) {
            edit(dialog, D::kSizeEdit)->setText(size);
            press(dialog, D::kUpdate);
        });
    }
    // Runs `act` on the window's thread with each status and percentage a run reports, the
    // worker held until it returns (the display itself never holds the worker).
    void onProgress(std::function<void(const QString& status, int percent)> act) {
        window->setProgressProbe([this, act](const QString& status, int percent) {
            QMetaObject::invokeMethod(
                window.get(), [&] { act(status, percent); }, Qt::BlockingQueuedConnection);
        });
    }
    // A modal dialog left open is closed so that the test fails instead of hanging.
    static void failIfADialogStaysOpen() {
        QTimer::singleShot(10000, [] {
            if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                ADD_FAILURE() << "a modal dialog was left open";
                modal->reject();
            }
        });
    }

    TempDir dir;
    std::string image = dir.file("test.iso");
    IsoBuilder builder{Layout::CdRomXa, "TEST_DISC"};
    std::string layerCopy = dir.file("layer1-copy.tmp");
    ScriptedPrompter* prompter = nullptr;
    std::unique_ptr<CKestrelDlg> window;
};

}  // namespace kestrel::test
