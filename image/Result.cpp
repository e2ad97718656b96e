#include "image/Result.h"

#include <cstring>

namespace kestrel {

Error systemError(const std::string& action, const std::string& path, int errorNumber) {
    return Error{ErrorKind::Io, action + " " + path + ": " + std::strerror(errorNumber)};
}

}  // namespace kestrel
