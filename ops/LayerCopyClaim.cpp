#include "ops/LayerCopyClaim.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

#include "journal/StateFolder.h"

namespace kestrel {

namespace {

std::string ownPath(const std::filesystem::path& shared, unsigned count) {
    std::string name = shared.stem().string() + "." + std::to_string(::getpid());
    if (count > 1) {
        name += "-" + std::to_string(count);
    }
    return (shared.parent_path() / (name + shared.extension().string())).string();
}

// Whether `name` is one ownPath gives beside `shared`, in any process.
bool isOwnCopyName(const std::string& name, const std::filesystem::path& shared) {
    const std::string stem = shared.stem().string() + ".";
    const std::string extension = shared.extension().string();
    if (name.size() <= stem.size() + extension.size() || !name.starts_with(stem) ||
        !name.ends_with(extension)) {
        return false;
    }
    const auto middle =
        std::string_view(name).substr(stem.size(), name.size() - stem.size() - extension.size());
    return std::isdigit(static_cast<unsigned char>(middle.front())) != 0 &&
           std::ranges::all_of(middle, [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '-';
           });
}

// Whether `path` still names the file `file` holds open: a session removes its own copy's
// name before its lock goes, so a file locked just then may be nameless, or another have
// taken its name since.
Result<bool> isNamedBy(const ImageFile& file, const std::string& path) {
    const auto held = file.identity();
    if (!held) {
        return held.error();
    }
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0) {
        return errno == ENOENT ? Result<bool>(false) : systemError("Cannot read", path, errno);
    }
    return held->device == named.st_dev && held->inode == named.st_ino;
}

// A process killed before its session ended leaves its own copy behind; a copy nobody holds
// locked belongs to no session. It is removed while locked here, as its owner would.
void removeLeftCopies(const std::filesystem::path& shared) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(shared.parent_path(), error), end;
         !error && entry != end; entry.increment(error)) {
        if (!isOwnCopyName(entry->path().filename().string(), shared)) {
            continue;
        }
        const std::string path = entry->path().string();
        auto file = ImageFile::openForReading(path);
        const auto locked = file ? file->tryLock() : Result<bool>(false);
        if (const auto named = locked && *locked ? isNamedBy(*file, path) : Result<bool>(false);
            named && *named) {
            ::unlink(path.c_str());
        }
    }
}

// The file at `path`, locked; nothing when another open file holds its lock.
Result<std::optional<ImageFile>> lockedAt(const std::string& path) {
    for (;;) {
        auto file = ImageFile::openOrCreate(path);
        if (!file) {
            return file.error();
        }
        const auto locked = file->tryLock();
        if (!locked) {
            return locked.error();
        }
        if (!*locked) {
            return std::optional<ImageFile>();
        }
        const auto named = isNamedBy(*file, path);
        if (!named) {
            return named.error();
        }
        if (*named) {
            return std::optional(std::move(*file));
        }
    }
}

}  // namespace

Result<LayerCopyClaim> LayerCopyClaim::take(const std::string& sharedPath) {
    const std::filesystem::path shared(sharedPath);
    if (auto folder = makePrivateFolders(shared.parent_path().string()); !folder) {
        return folder.error();
    }
    removeLeftCopies(shared);
    for (unsigned count = 0;; ++count) {
        auto file = lockedAt(count == 0 ? sharedPath : ownPath(shared, count));
        if (!file) {
            return file.error();
        }
        if (*file) {
            return LayerCopyClaim(std::make_shared<ImageFile>(std::move(**file)), count != 0);
        }
    }
}

LayerCopyClaim::LayerCopyClaim(LayerCopyClaim&& other) noexcept
    : file_(std::move(other.file_)), own_(std::exchange(other.own_, false)) {}

LayerCopyClaim& LayerCopyClaim::operator=(LayerCopyClaim&& other) noexcept {
    if (this != &other) {
        release();
        file_ = std::move(other.file_);
        own_ = std::exchange(other.own_, false);
    }
    return *this;
}

LayerCopyClaim::~LayerCopyClaim() {
    release();
}

// The name goes while the file is still locked, so no other session can have taken it since.
void LayerCopyClaim::release() {
    if (file_ && own_) {
        ::unlink(file_->path().c_str());
    }
    file_.reset();
    own_ = false;
}

}  // namespace kestrel
