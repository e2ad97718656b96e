#include "app/KestrelApp.h"

int main(int argc, char** argv) {
    kestrel::CKestrelApp application(argc, argv);
    application.startApplication();
    return 0;
}
