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
            // A path that goes on past a repeat goes on in the directory it repeats, whose
            // entries are its own.
            const DirectoryNumber repeated = volume.directories[*child - 1].sameAs;
            resolved.directory = repeated != 0 && index + 1 < parts.size() ? repeated : *child;
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
    std::vector<const std::string*> climbed;
    // Every parent comes before its child, so the climb ends at the root.
    while (directory > 1 && directory <= directories.size()) {
        const auto& entry = directories[directory - 1];
        climbed.push_back(&entry.identifier);
        directory = entry.parent < directory ? entry.parent : 1;
    }
    // Put together once, from the root down, rather than copied at every level.
    std::string path;
    for (auto name = climbed.rbegin(); name != climbed.rend(); ++name) {
        path += "/" + nameOf(**name);
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

std::vector<std::string> directoryPaths(const std::vector<PathTableDirectory>& directories,
                                        bool joliet) {
    std::vector<std::string> paths(directories.size() + 1);
    for (const auto& directory : directories) {
        if (directory.number == 1) {
            paths[1] = "/";
            continue;
        }
        // The parent's path is made already: every parent comes before its children.
        const std::string& parent =
            paths[directory.parent < directory.number ? directory.parent : 1];
        const std::string name = joliet ? jolietName(directory.identifier) : directory.identifier;
        paths[directory.number] = (parent == "/" ? "" : parent) + "/" + name;
    }
    return paths;
}

}  // namespace kestrel
