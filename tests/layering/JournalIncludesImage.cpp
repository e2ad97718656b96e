// Compiled as part of the undo journal, this must not build: the journal keeps bytes, and
// knows nothing of the volumes read from them.
#include "image/Volume.h"
