// Modify TOC through the window: the dialog on the first selected row, each way of closing it,
// and what the list shows after.
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using ModifyTocTest = WindowFixture;

// Only Update, or Enter in an edit, with good values writes; a value outside its field's range
// is refused with the dialog left open. Each opening shows B.TXT's values as the list does, the
// LBA signed: it is 3000000000 at first.
TEST_F(ModifyTocTest, EachWayOutOfTheDialogWritesOnlyWhatUpdateConfirms) {
    overwriteBytes(image, recordOf("B.TXT") + 2, extentField(3000000000));
    browseTo(image);
    const QString patched = "Notice: File(s) Patched";
    const auto typed = [](int field, const QString& value, bool staysOpen) {
        return [field, value, staysOpen](D& d) {
            edit(d, field)->setText(value);
            press(d, D::kUpdate);
            EXPECT_EQ(d.isVisible(), staysOpen);
            d.reject();
        };
    };
    const std::vector<std::tuple<const char*, QString, std::function<void(D&)>>> waysOut{
        {"Update", patched, [](D& d) { press(d, D::kUpdate); }},
        {"Enter in the size", patched,
         [](D& d) { QTest::keyClick(edit(d, D::kSizeEdit), Qt::Key_Enter, Qt::KeypadModifier); }},
        {"Cancel", "", [](D& d) { press(d, D::kCancel); }},
        {"Escape", "", [](D& d) { QTest::keyClick(edit(d, D::kLbaEdit), Qt::Key_Escape); }},
        {"close box", "", [](D& d) { d.close(); }},
        {"LBA -1", "", typed(D::kLbaEdit, "-1", false)},
        {"LBA below its range",
         "Refusal: LBA Position: \"-2147483649\" is outside -2147483648 to 4294967295.\nNothing "
         "was written.",
         typed(D::kLbaEdit, "-2147483649", true)},
        {"size below its range",
         "Refusal: File Size: \"-1\" is outside 0 to 4294967295.\nNothing was written.",
         typed(D::kSizeEdit, "-1", true)},
    };
    for (uint32_t way = 0; way < waysOut.size(); ++way) {
        const auto& [name, message, act] = waysOut[way];
        SCOPED_TRACE(name);
        const auto before = readFileBytes(image);
        const QStringList listed{"B.TXT", cell("B.TXT", 1), cell("B.TXT", 2)};
        // Values of its own for each way out, so that every write shows; the first is read back
        // as the list shows a 32-bit LBA.
        QStringList typedValues{QString::number(100 + way), QString::number(200 + way)};
        QStringList shownAfter = typedValues;
        if (way == 0) {
            typedValues = {"2999999999", " 4294967295"};
            shownAfter = {"-1294967297", "4294967295"};
        }
        selectRows({"B.TXT", "A.TXT"});  // B.TXT is listed first
        modifyToc([&](D& dialog) {
            EXPECT_EQ(QStringList({dialog.controlAs<QGroupBox>(D::kNameGroup)->title(),
                                   edit(dialog, D::kLbaEdit)->text(),
                                   edit(dialog, D::kSizeEdit)->text()}),
                      listed);
            EXPECT_EQ(dialog.focusWidget(), edit(dialog, D::kLbaEdit));
            for (const auto* label : dialog.findChildren<QLabel*>()) {
                EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
            }
            edit(dialog, D::kLbaEdit)->setText(typedValues[0]);
            edit(dialog, D::kSizeEdit)->setText(typedValues[1]);
            act(dialog);
        });
        EXPECT_EQ(takeMessages(), message.isEmpty() ? QStringList() : QStringList{message});
        if (message == patched) {
            EXPECT_EQ(QStringList({cell("B.TXT", 1), cell("B.TXT", 2)}), shownAfter);
            EXPECT_TRUE(list()->selectedItems().isEmpty());
        } else {
            EXPECT_EQ(readFileBytes(image), before);
        }
    }
}

}  // namespace
}  // namespace kestrel::test
