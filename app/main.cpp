#include <csignal>

#include "app/KestrelApp.h"

int main(int argc, char** argv) {
    // Past a file size limit (ulimit -f) a write would kill the window mid-edit; ignored, the
    // write fails with EFBIG, so the edit is put back from the journal and reported.
    std::signal(SIGXFSZ, SIG_IGN);
    kestrel::CKestrelApp application(argc, argv);
    application.startApplication();
    return 0;
}
