#include "journal/StateFolder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace kestrel {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return home;
    }
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) {
        return user->pw_dir;
    }
    return "/tmp";
}

namespace {

std::string stateRoot() {
    const char* state = std::getenv("XDG_STATE_HOME");
    return state != nullptr && state[0] == '/' ? std::string(state)
                                               : homeFolder() + "/.local/state";
}

Result<int> openFolder(int parent, const std::string& name, const std::string& path) {
    if (::mkdirat(parent, name.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
        return systemError("Cannot create the folder", path, errno);
    }
    const int folder =
        ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0) {
        return systemError("Cannot open the folder", path,
                           errno == ELOOP || errno == ENOTDIR ? ENOTDIR : errno);
    }
    struct stat status {};
    if (::fstat(folder, &status) != 0 || status.st_uid != ::geteuid() ||
        (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        ::close(folder);
        return Error{ErrorKind::Io, "Refused to keep undo data in " + path +
                                        ": it belongs to another user or others may read it"};
    }
    return folder;
}

}  // namespace

Result<void> makePrivateFolders(const std::string& folder) {
    std::filesystem::path partial;
    for (const auto& part : std::filesystem::path(folder)) {
        partial /= part;
        if (::mkdir(partial.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
            return systemError("Cannot create the folder", partial.string(), errno);
        }
    }
    return {};
}

std::string stateFolderPath(const std::string& name) {
    return stateRoot() + "/kestrel/" + name;
}

Result<int> openPrivateFolder(const std::string& name) {
    const std::string root = stateRoot();
    if (auto made = makePrivateFolders(root); !made) {
        return made.error();
    }
    int folder = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return systemError("Cannot open the folder", root, errno);
    }
    std::string path = root;
    for (const auto& part : std::filesystem::path("kestrel/" + name)) {
        path += "/" + part.string();
        auto next = openFolder(folder, part.string(), path);
        ::close(folder);
        if (!next) {
            return next.error();
        }
        folder = *next;
    }
    return folder;
}

}  // namespace kestrel
