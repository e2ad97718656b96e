// The application object: runs the main window modally, and the program ends when it closes.
#pragma once

#include <QApplication>

class QDialog;

namespace kestrel {

// Shows `window` modal, as exec() would, and then names the application "Kestrel", the title
// of every notice.
void showMainWindow(QDialog& window);

class CKestrelApp : public QApplication {
    Q_OBJECT

public:
    CKestrelApp(int& argc, char** argv);

    // Shows the main window until it closes, opening the image named on the command line
    // first, if any. Returns false: there is no message loop beyond the window's own.
    bool startApplication();
};

}  // namespace kestrel
