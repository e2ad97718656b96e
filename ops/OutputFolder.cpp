#include "ops/OutputFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrel {

namespace {

constexpr int kFolder = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

Error refused(const std::string& path, const std::string& why) {
    return Error{ErrorKind::Io, "Cannot extract into " + path + ": " + why};
}

// Why `name` in `parent` could not be entered as a folder, once opening it without following
// a link has failed with `errorNumber`.
Error notAFolder(int parent, const std::string& name, const std::string& path, int errorNumber) {
    struct stat status {};
    if ((errorNumber == ENOTDIR || errorNumber == ELOOP) &&
        ::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        return refused(path, S_ISLNK(status.st_mode)
                                 ? "a symbolic link of that name is in the way"
                                 : "something other than a folder has that name");
    }
    return systemError("Cannot enter the folder", path, errorNumber);
}

}  // namespace

Result<OutputFolder> OutputFolder::open(const std::string& path, bool make) {
    if (path.empty()) {
        return Error{ErrorKind::NotFound, "No folder was chosen to extract to"};
    }
    const int descriptor = ::open(path.c_str(), kFolder);
    if (descriptor >= 0) {
        return OutputFolder(descriptor, path);
    }
    if (errno == ENOTDIR) {
        return refused(path, "it is not a folder");
    }
    if (errno != ENOENT || !make) {
        return systemError("Cannot open the folder", path, errno);
    }
    // Made in its parent and entered from there like any folder below it.
    const size_t end = path.find_last_not_of('/') + 1;
    const size_t slash = path.rfind('/', end - 1);
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    const std::string parentPath = start == 0 ? "." : start == 1 ? "/" : path.substr(0, slash);
    const int parent = ::open(parentPath.c_str(), kFolder);
    if (parent < 0) {
        return systemError("Cannot make the folder " + path + " in", parentPath, errno);
    }
    // Named in messages as the path given names it.
    auto made = OutputFolder(parent, path.substr(0, start)).enter(path.substr(start, end - start));
    if (!made) {
        return made.error();
    }
    return OutputFolder(std::exchange(made->descriptor_, -1), path);
}

OutputFolder::OutputFolder(OutputFolder&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), path_(std::move(other.path_)) {}

OutputFolder::~OutputFolder() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

Result<OutputFolder> OutputFolder::enter(const std::string& name) const {
    const std::string path = pathOf(name);
    if (::mkdirat(descriptor_, name.c_str(), 0777) != 0 && errno != EEXIST) {
        return systemError("Cannot make the folder", path, errno);
    }
    // O_NOFOLLOW: a link of that name, there before or planted since, is not entered.
    const int descriptor = ::openat(descriptor_, name.c_str(), kFolder | O_NOFOLLOW);
    if (descriptor < 0) {
        return notAFolder(descriptor_, name, path, errno);
    }
    return OutputFolder(descriptor, path);
}

std::string OutputFolder::pathOf(const std::string& name) const {
    return path_.empty() || path_.ends_with('/') ? path_ + name : path_ + "/" + name;
}

}  // namespace kestrel
