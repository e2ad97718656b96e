// Compiled as part of file access, this must not build: file access cannot see the volume
// reading above it.
#include "image/Volume.h"
