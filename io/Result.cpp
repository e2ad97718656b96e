#include "io/Result.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kestrel {

Error systemError(const std::string& action, const std::string& path, int errorNumber) {
    return Error{ErrorKind::Io, action + " " + path + ": " + std::strerror(errorNumber)};
}

Result<void> closeDescriptor(int& descriptor, const std::string& path) {
    const int closing = std::exchange(descriptor, -1);
    if (closing >= 0 && ::close(closing) != 0 && errno != EINTR) {
        return systemError("Cannot close", path, errno);
    }
    return {};
}

}  // namespace kestrel
