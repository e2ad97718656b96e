// Dialogs described as a table of controls, the way their layouts were designed: each
// control with its kind, numeric ID, text and rectangle in dialog units. Creation order is
// tab order.
#pragma once

#include <QDialog>
#include <map>
#include <span>

#include "dialogs/DialogUnits.h"

class QKeyEvent;
class QPushButton;

namespace kestrel {

enum class ControlKind {
    GroupBox,
    Edit,
    PushButton,
    ImageButton,  // a push button that shows a picture instead of its text
    TreeView,
    ListView,  // a list of rows in columns
    Picture,   // `text` names the image resource; the control takes the image's size
    Label,
    RightLabel,
    CentredLabel,
    ProgressBar,
};

enum class StartState { Shown, Disabled, Hidden };

struct ControlTemplate {
    int id;  // 0 for a control without an ID of its own
    ControlKind kind;
    const char* text;
    DialogRect rect;
    StartState state = StartState::Shown;
};

struct DialogTemplate {
    const char* caption;
    int width;
    int height;
    std::span<const ControlTemplate> controls;
};

// A fixed-size dialog built from a template. Each control with an ID has that number as
// its object name. Enter presses the focused push button; with the focus anywhere else it
// presses the dialog's default button, and in a dialog without one (no push button is the
// default unless the dialog makes it so) it closes the dialog the way OK does.
class TemplateDialog : public QDialog {
    Q_OBJECT

public:
    TemplateDialog(const DialogTemplate& layout, Qt::WindowFlags flags, QWidget* parent);

    QWidget* control(int id) const;
    template <class Widget>
    Widget* controlAs(int id) const {
        return qobject_cast<Widget*>(control(id));
    }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPushButton* defaultButton() const;

    std::map<int, QWidget*> controls_;
};

}  // namespace kestrel
