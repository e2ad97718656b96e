// Names from the image as text. Identifiers are bytes, read as Latin-1 as the window shows
// them; long names are UTF-8. A name may hold any byte, so before it is shown on a terminal
// or in a list row its control characters (C0, DEL, C1) and any byte that is not UTF-8 are
// written as escapes (\n, \t, \r, \x1b, \u009b): a name can then neither move the cursor,
// clear the screen nor break a line, and bytes that differ still look different.
#pragma once

#include <string>
#include <string_view>

namespace kestrel {

// Exact: every byte becomes the character of that code (U+0000 to U+00FF), in UTF-8.
std::string utf8FromImageBytes(std::string_view bytes);

// An identifier or a path of identifiers, as shown.
std::string shownName(std::string_view imageBytes);
// A record's identifier leading a line about it: an empty one would leave the line starting
// with its colon, naming nothing.
std::string shownRecordName(std::string_view imageBytes);
// UTF-8 text from the image (a long name), as shown.
std::string shownText(std::string_view utf8);
// A message of one or more lines, which may quote names: as shownText, but line breaks and
// tabs stay what they are.
std::string shownMessage(std::string_view utf8);

// Text in UTF-8 (a typed path, a UDF name) as image bytes: characters up to U+00FF become one
// byte each; text that is not UTF-8, or holds anything beyond Latin-1, is taken byte for byte.
std::string imageBytesFromUtf8(const std::string& text);

// The text imageBytesFromUtf8 made `bytes` from: UTF-8 that holds a character beyond U+00FF
// stands for itself, anything else is Latin-1.
std::string utf8FromTypedBytes(std::string_view bytes);

// Whether two names are the same but for the case of ASCII letters, as a name that Add would
// record is checked against those its directory already holds.
bool sameInAnyCase(std::string_view a, std::string_view b);

}  // namespace kestrel
