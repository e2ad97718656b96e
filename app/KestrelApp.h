// The application object: runs the main window modally, and the program ends when it closes.
#pragma once

#include <QApplication>

namespace kestrel {

class CKestrelApp : public QApplication {
    Q_OBJECT

public:
    CKestrelApp(int& argc, char** argv);

    // Shows the main window until it closes, opening the image named on the command line
    // first, if any. Returns false: there is no message loop beyond the window's own.
    bool startApplication();
};

}  // namespace kestrel
