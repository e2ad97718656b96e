// Modify TOC: the values typed for one file's extent LBA and data length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "io/Result.h"

namespace kestrel {

// The LBA value that marks a cancelled edit; an LBA entered as -1 cancels as well.
inline constexpr int32_t kTocCancelled = -1;

// Reads decimal input the way atol does: leading white space, an optional sign, then digits
// up to the first other character; no digits reads as 0, so "1A2B" is 1 and "abc" is 0.
// A value is kept as its 32 bits, so 3000000000 reads as -1294967296. Values no 32-bit field
// can hold, below -2147483648 or above 4294967295, are refused.
Result<int32_t> parseTocValue(std::string_view text);

}  // namespace kestrel
