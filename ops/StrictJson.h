// JSON that a person writes by hand, read strictly. nlohmann-json's parser keeps the last of
// a key given twice, stops at a zero byte as at the end of the text, and refuses a number it
// cannot hold as it refuses text that is not JSON; each of these is refused here, saying what
// and where: a key given twice (with the place of its object, as a JSON pointer), a zero byte
// or anything but blanks after the value (with its byte offset), and a number beyond what
// JSON's readers hold, 1e400 or a whole number past 64 bits (with its place).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "io/Result.h"

namespace kestrel {

// `what` names the text in messages: "the plan".
Result<nlohmann::json> parseStrictJson(std::string_view text, const std::string& what);

}  // namespace kestrel
