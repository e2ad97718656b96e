#include "io/ExtentClone.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel {

uint64_t cloneBlockSize(int descriptor) {
    struct statfs system {};
    if (::fstatfs(descriptor, &system) != 0 || system.f_bsize <= 0) {
        return 0;
    }
    return static_cast<uint64_t>(system.f_bsize);
}

bool cloneRange(int source, uint64_t from, int destination, uint64_t to, uint64_t length) {
    // The kernel refuses a clone into a descriptor opened for appending; the flag is set
    // aside for the call alone, so the appends that follow still go to the file's end.
    const int flags = ::fcntl(destination, F_GETFL);
    if (flags < 0 ||
        ((flags & O_APPEND) != 0 && ::fcntl(destination, F_SETFL, flags & ~O_APPEND) != 0)) {
        return false;
    }
    const file_clone_range range{source, from, length, to};
    int result;
    do {
        result = ::ioctl(destination, FICLONERANGE, &range);
    } while (result != 0 && errno == EINTR);
    const int error = errno;
    if ((flags & O_APPEND) != 0 && ::fcntl(destination, F_SETFL, flags) != 0 && result == 0) {
        return false;
    }
    errno = error;
    return result == 0;
}

bool holdsNoHole(int descriptor, uint64_t offset, uint64_t length) {
    const off_t hole = ::lseek(descriptor, static_cast<off_t>(offset), SEEK_HOLE);
    return hole >= 0 && static_cast<uint64_t>(hole) >= offset + length;
}

}  // namespace kestrel
