#include "journal/JournalFolder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "journal/EntryFile.h"
#include "journal/ImageIdentity.h"
#include "journal/StateFolder.h"

namespace kestrel {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kEntrySuffix = ".edit";
constexpr std::string_view kEntryMagic = "KESTREL JOURNAL1";
// The magic, the Begin record's head, its fields with the longest name kept, and its
// checksum: an entry that cannot be read and is no longer was cut short in its Begin record.
constexpr uintmax_t kLongestBegin = 16 + 16 + 73 + 4096 + 8;

}  // namespace

Result<std::map<uint64_t, std::string>> entryFiles(const std::string& folder) {
    std::map<uint64_t, std::string> entries;
    std::error_code error;
    fs::directory_iterator items(folder, error);
    if (error == std::errc::no_such_file_or_directory) {
        return entries;
    }
    if (error) {
        return systemError("Cannot read the undo journal", folder, error.value());
    }
    for (const auto& item : items) {
        const std::string name = item.path().filename().string();
        const auto digits = name.size() - kEntrySuffix.size();
        if (name.size() > kEntrySuffix.size() && name.ends_with(kEntrySuffix) && digits <= 18 &&
            std::all_of(name.begin(), name.begin() + static_cast<ptrdiff_t>(digits),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            entries[std::stoull(name.substr(0, digits))] = item.path().string();
        }
    }
    return entries;
}

std::string entryName(uint64_t id) {
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "%06llu%s", static_cast<unsigned long long>(id),
                  kEntrySuffix.data());
    return name.data();
}

bool beginCutShort(const std::string& path) {
    std::error_code error;
    const uintmax_t size = fs::file_size(path, error);
    if (error || size > kLongestBegin) {
        return false;
    }
    std::array<char, kEntryMagic.size()> start{};
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    const ssize_t got = ::pread(descriptor, start.data(), start.size(), 0);
    ::close(descriptor);
    return got >= 0 && std::string_view(start.data(), static_cast<size_t>(got)) ==
                           kEntryMagic.substr(0, static_cast<size_t>(got));
}

OwnedFolder::OwnedFolder(OwnedFolder&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

OwnedFolder& OwnedFolder::operator=(OwnedFolder&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

OwnedFolder::~OwnedFolder() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

int OwnedFolder::release() {
    return std::exchange(descriptor_, -1);
}

Result<bool> tryLockFolder(int folder, const std::string& path) {
    if (::flock(folder, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno == EWOULDBLOCK) {
        return false;
    }
    return systemError("Cannot lock the undo journal", path, errno);
}

void noteImageState(const std::string& folder, const ImageIdentity& now) {
    const auto entries = entryFiles(folder);
    if (!entries || entries->empty()) {
        return;
    }
    auto newest = EntryFile::open(entries->rbegin()->second, true);
    // Without the mark, the journal no longer fits the image at the next edit and is set
    // aside, as after another program's write: nothing is applied to bytes it does not know.
    if (newest && newest->completed()) {
        static_cast<void>(appendComplete(newest->descriptor(), newest->path(), now));
    }
}

void pruneJournals(uint64_t totalBytes, const std::string& keep, const std::string& lockedFolder) {
    struct Held {
        fs::file_time_type written;
        uint64_t bytes;
        fs::path path;
    };
    std::vector<Held> held;
    std::vector<OwnedFolder> locks;
    uint64_t total = 0;
    std::error_code error;
    for (const auto& folder : fs::directory_iterator(stateFolderPath("journal"), error)) {
        if (!folder.is_directory(error) || folder.is_symlink(error)) {
            continue;
        }
        // Another process's edit may be adding to it now: its entries are left for later.
        if (folder.path() != fs::path(lockedFolder)) {
            OwnedFolder lock(
                ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            const auto locked =
                lock.get() < 0 ? Result<bool>(false) : tryLockFolder(lock.get(), folder.path());
            if (!locked || !*locked) {
                continue;
            }
            locks.push_back(std::move(lock));
        }
        const auto entries = entryFiles(folder.path().string());
        for (const auto& [id, path] : entries ? *entries : std::map<uint64_t, std::string>()) {
            std::error_code ignored;
            const uint64_t bytes = fs::file_size(path, ignored);
            total += bytes;
            held.push_back({fs::last_write_time(path, ignored), bytes, path});
        }
    }
    std::ranges::sort(held, {}, &Held::written);
    for (const auto& entry : held) {
        if (total <= totalBytes) {
            break;
        }
        if (entry.path == keep) {
            continue;
        }
        // An entry cut short keeps the only copy of what its image lost.
        if (auto file = EntryFile::open(entry.path, false); file && !file->completed()) {
            continue;
        }
        std::error_code ignored;
        if (fs::remove(entry.path, ignored)) {
            total -= entry.bytes;
        }
    }
}

}  // namespace kestrel
