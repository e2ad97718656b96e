#include "image/VolumePaths.h"

#include "image/LongNames.h"

#include <vector>

#include "image/DirectoryRecord.h"

namespace kestrel {

namespace {

std::vector<std::string_view> splitPath(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (!part.empty()) {
            parts.push_back(part);
        }
        if (slash == std::string_view::npos) {
            break;
        }
        path.remove_prefix(slash + 1);
    }
    return parts;
}

std::optional<DirectoryNumber> childDirectory(const Volume& volume, DirectoryNumber parent,
                                              std::string_view identifier) {
    for (const auto& directory : volume.directories) {
        if (directory.number != 1 && directory.parent == parent &&
            directory.identifier == identifier) {
            return directory.number;
        }
    }
    return std::nullopt;
}

}  // namespace

Result<VolumePath> resolveVolumePath(const Volume& volume, std::string_view path) {
    if (volume.directories.empty()) {
        return Error{ErrorKind::NotFound,
                     "the volume has no directories to find " + std::string(path) + " in"};
    }
    const auto parts = splitPath(path);
    VolumePath resolved{1, std::nullopt};
    for (size_t index = 0; index < parts.size(); ++index) {
        if (auto child = childDirectory(volume, resolved.directory, parts[index])) {
            resolved.directory = *child;
            continue;
        }
        if (index + 1 < parts.size()) {
            return Error{ErrorKind::NotFound, "no directory " + std::string(parts[index]) + " in " +
                                                  directoryPath(volume, resolved.directory)};
        }
        resolved.rowName = nameOf(std::string(parts[index]));
    }
    return resolved;
}

namespace {

template <class NameOf>
std::string climbedPath(const std::vector<PathTableDirectory>& directories,
                        DirectoryNumber directory, NameOf nameOf) {
    std::string path;
    // Every parent comes before its child, so the climb ends at the root.
    while (directory > 1 && directory <= directories.size()) {
        const auto& entry = directories[directory - 1];
        path = "/" + nameOf(entry.identifier) + path;
        directory = entry.parent < directory ? entry.parent : 1;
    }
    return path.empty() ? "/" : path;
}

}  // namespace

std::string directoryPath(const std::vector<PathTableDirectory>& directories,
                          DirectoryNumber directory) {
    return climbedPath(directories, directory, [](const std::string& name) { return name; });
}

std::string jolietDirectoryPath(const std::vector<PathTableDirectory>& directories,
                                DirectoryNumber directory) {
    return climbedPath(directories, directory, jolietName);
}

}  // namespace kestrel
