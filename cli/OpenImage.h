// Opening an image for a command, as the window's Browse does, on the layer asked for.
#pragma once

#include <string>

#include "ops/Session.h"

namespace kestrel::cli {

// Opens the image through the session (which puts back an edit a crash cut short, and says so
// on stderr) and presents layer 1 when `layer` is 1. An image without a second volume is
// refused for layer 1.
Result<Session> openImage(const std::string& imagePath, unsigned layer);

}  // namespace kestrel::cli
