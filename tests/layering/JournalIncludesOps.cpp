// Compiled as part of the undo journal, this must not build: the journal lies below the
// edits, which save through it, and restores through the file access alone.
#include "ops/ImageWriter.h"
