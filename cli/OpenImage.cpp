#include "cli/OpenImage.h"

#include <iostream>

#include "cli/ImageText.h"

namespace kestrel::cli {

Result<Session> openImage(const std::string& imagePath, unsigned layer) {
    auto session = Session::open(imagePath);
    if (!session) {
        return session.error();
    }
    for (const auto& note : session->recoveryNotes()) {
        std::cerr << "kestrel-cli: " << note << '\n';
    }
    if (layer == 0) {
        return session;
    }
    using enum DualLayerCheck::Verdict;
    const auto check = session->mayHaveSecondLayer() ? session->checkDualLayer()
                                                     : DualLayerCheck{SingleLayer, std::nullopt};
    if (check.error) {
        return *check.error;
    }
    if (check.verdict != DualLayer && check.verdict != CopyAlreadyMade) {
        return Error{ErrorKind::NotFound, imagePath + " has no second layer"};
    }
    if (auto switched = session->switchLayers(); !switched) {
        return switched.error();
    }
    return session;
}

}  // namespace kestrel::cli

namespace kestrel::cli {

Result<VolumePath> fileInImage(const Session& session, const std::string& path) {
    auto resolved = resolveVolumePath(session.volume(), imageBytesFromUtf8(path));
    if (!resolved) {
        return resolved.error();
    }
    if (!resolved->rowName) {
        return Error{ErrorKind::NotFound,
                     path + " is a directory in " + session.imagePath() + ", not a file"};
    }
    if (auto found = session.findRecord(resolved->directory, *resolved->rowName); !found) {
        return found.error();
    }
    return resolved;
}

Result<std::vector<ListedFile>> filesInImage(const Session& session,
                                             const std::vector<std::string>& paths) {
    std::vector<ListedFile> files;
    for (const auto& path : paths) {
        auto file = fileInImage(session, path);
        if (!file) {
            return file.error();
        }
        files.push_back({file->directory, *file->rowName});
    }
    return files;
}

OperationSnapshot snapshotOf(const Session& session, const std::vector<ListedFile>& files) {
    OperationSnapshot merged;
    for (const auto& [directory, rowName] : files) {
        auto one = session.snapshot(directory, {rowName});
        if (merged.files.empty()) {
            std::swap(merged, one);
        } else {
            merged.files.push_back(std::move(one.files.front()));
        }
    }
    return merged;
}

}  // namespace kestrel::cli
