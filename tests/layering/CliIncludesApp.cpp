// Compiled as part of the command line, this must not build: the command line sits on the core
// alone and cannot see the window.
#include "app/KestrelDlg.h"
