// The Modify TOC dialog: shows one record's extent LBA and data length for editing. It reads
// and writes only the editor state's tocName, tocLba and tocSize; the caller writes the
// record.
#pragma once

#include <QString>

#include "dialogs/DialogTemplate.h"

class QGroupBox;

namespace kestrel {

struct EditorState;
class Prompter;

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

    CModifyTocDlg(EditorState& state, Prompter& prompter, QWidget* parent);

private:
    void initTocDialog();
    void applyTocEdit();
    void cancelTocEdit();

    EditorState& state_;
    Prompter& prompter_;
    QGroupBox* nameGroup;
    QString lbaText;
    QString sizeText;
};

}  // namespace kestrel
