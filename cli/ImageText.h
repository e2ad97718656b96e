// Identifiers and labels come from the image as bytes, read as Latin-1 as the window shows
// them (utf8FromImageBytes, shownName); the terminal and JSON speak UTF-8. Long names are
// UTF-8 already.
#pragma once

#include <string>

#include "image/NameText.h"

namespace kestrel::cli {

// A path typed in UTF-8 as the image's bytes: characters up to U+00FF become one byte each;
// text that is not UTF-8, or holds anything beyond Latin-1, is taken byte for byte.
std::string imageBytesFromUtf8(const std::string& text);

}  // namespace kestrel::cli
