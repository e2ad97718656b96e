// Compiled as part of the reading side, this must not build: the reading side cannot see the
// writing side above it.
#include "ops/ImageWriter.h"
