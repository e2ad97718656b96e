#include "journal/EntryFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrel {

Result<EntryFile> EntryFile::open(const std::string& path, bool forAppending) {
    const int descriptor = ::open(
        path.c_str(), (forAppending ? O_RDWR | O_APPEND : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return systemError("Cannot open the undo journal", path, errno);
    }
    return EntryFile(descriptor, path);
}

EntryFile::EntryFile(EntryFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), path_(std::move(other.path_)) {}

EntryFile::~EntryFile() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

bool EntryFile::completed() const {
    const auto mark = readCompletionMark(descriptor_, path_);
    return !mark || mark->has_value();
}

}  // namespace kestrel
