// A listed file that an operation could not handle, and why.
#pragma once

#include <string>

#include "io/Result.h"

namespace kestrel {

struct FileFailure {
    std::string rowName;
    Error error;
};

}  // namespace kestrel
