// The Modify TOC dialog: shows one record's extent LBA and data length for editing. It reads
// and writes only the editor state's tocName, tocLba and tocSize; the caller writes the
// record.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

#include "dialogs/DialogTemplate.h"

class QGroupBox;

namespace kestrel {

class Prompter;

// The values the dialog shows and edits: the file's name and its record's LBA and size.
struct TocValues {
    std::string name;
    int32_t lba = 0;
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

    CModifyTocDlg(TocValues& values, Prompter& prompter, QWidget* parent);

private:
    void initTocDialog();
    void applyTocEdit();
    void cancelTocEdit();

    TocValues& values_;
    Prompter& prompter_;
    QGroupBox* nameGroup;
    QString lbaText;
    QString sizeText;
};

}  // namespace kestrel
