#include "app/KestrelApp.h"

#include <QCommandLineParser>
#include <QTimer>

#include "app/KestrelDlg.h"

namespace kestrel {

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
    if (const auto images = parser.positionalArguments(); !images.isEmpty()) {
        // Opened once the window shows, so that an error is shown over it.
        QTimer::singleShot(0, &window,
                           [&window, image = images.first()] { window.openChosenImage(image); });
    }
    window.exec();
    return false;
}

}  // namespace kestrel
