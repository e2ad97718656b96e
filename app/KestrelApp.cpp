#include "app/KestrelApp.h"

#include <QCommandLineParser>
#include <QDialog>
#include <QTimer>

#include "app/KestrelDlg.h"

namespace kestrel {

// Notices take the display name as their title. On X11 and Wayland Qt also appends
// " — Kestrel" to the title of every window it shows once the name is set, so the name is
// set only when the main window is up: that window keeps the title its users know.
void showMainWindow(QDialog& window) {
    window.setWindowModality(Qt::ApplicationModal);
    window.show();
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Kestrel"));
}

CKestrelApp::CKestrelApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationVersion(QStringLiteral(KESTREL_VERSION));
    setDesktopFileName(QStringLiteral("kestrel"));
}

bool CKestrelApp::startApplication() {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Edits ISO 9660 disc images in place."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("image"),
                                 QStringLiteral("An image to open, as if chosen with Browse."),
                                 QStringLiteral("[image]"));
    parser.process(*this);

    CKestrelDlg window;
    showMainWindow(window);
    if (const auto images = parser.positionalArguments(); !images.isEmpty()) {
        // Opened once the window shows, so that an error is shown over it.
        QTimer::singleShot(0, &window,
                           [&window, image = images.first()] { window.openChosenImage(image); });
    }
    window.exec();
    return false;
}

}  // namespace kestrel
