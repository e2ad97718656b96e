// The Modify TOC dialog: shows one record's extent LBA and data length for editing. It reads
// and writes only the values it is given; the caller writes the record.
#pragma once

#include <QString>
#include <cstdint>

#include "dialogs/DialogTemplate.h"

class QGroupBox;

namespace kestrel {

class Prompter;

// What the dialog shows and edits.
struct TocValues {
    QString name;     // the row's name as the list shows it, the group's title
    int32_t lba = 0;  // shown signed, as the list shows it
    uint32_t size = 0;
};

class CModifyTocDlg : public TemplateDialog {
    Q_OBJECT

public:
    enum Control {
        kUpdate = 1008,
        kCancel = 1010,
        kNameGroup = 1035,
        kLbaEdit = 1036,
        kSizeEdit = 1037,
    };

    // Update, or Enter in an edit, stores good values in `values`; a value that is not a
    // decimal number in its field's range is refused with a message and the dialog stays
    // open. exec() returns Accepted only when Update stored values with an LBA other than
    // -1; Cancel, Escape and the close box leave `values` as they were.
    CModifyTocDlg(TocValues& values, Prompter& prompter, QWidget* parent);

private:
    void initTocDialog();
    void applyTocEdit();

    TocValues& values_;
    Prompter& prompter_;
    QGroupBox* nameGroup;
};

}  // namespace kestrel
