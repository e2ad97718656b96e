#include "cli/OpenImage.h"

#include <iostream>
#include <map>

#include "image/NameText.h"
#include "journal/UndoLimits.h"

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

namespace {

Result<VolumePath> resolveFile(const Session& session, const std::string& path) {
    auto resolved = resolveVolumePath(session.volume(), imageBytesFromUtf8(path));
    if (!resolved) {
        return resolved.error();
    }
    if (!resolved->rowName) {
        return Error{ErrorKind::NotFound,
                     path + " is a directory in " + session.presentedName() + ", not a file"};
    }
    return resolved;
}

}  // namespace

Result<VolumePath> fileInImage(const Session& session, const std::string& path) {
    auto resolved = resolveFile(session, path);
    if (!resolved) {
        return resolved.error();
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
        auto file = resolveFile(session, path);
        if (!file) {
            return file.error();
        }
        files.push_back({file->directory, *file->rowName});
    }
    const auto found = snapshotOf(session, files);
    for (const auto& file : found.files) {
        if (!file.record) {
            return file.record.error();
        }
    }
    return files;
}

// Each directory is walked once for all the files named in it, so naming thousands of files
// costs one walk of each directory rather than one a file.
OperationSnapshot snapshotOf(const Session& session, const std::vector<ListedFile>& files) {
    if (files.empty()) {
        return session.snapshot(0, {});
    }
    std::map<DirectoryNumber, std::vector<std::string>> namesByDirectory;
    for (const auto& [directory, rowName] : files) {
        namesByDirectory[directory].push_back(rowName);
    }
    std::map<DirectoryNumber, OperationSnapshot> byDirectory;
    for (const auto& [directory, names] : namesByDirectory) {
        byDirectory.emplace(directory, session.snapshot(directory, names));
    }
    OperationSnapshot merged = byDirectory.begin()->second;
    merged.files.clear();
    std::map<DirectoryNumber, size_t> taken;
    for (const auto& [directory, rowName] : files) {
        merged.files.push_back(byDirectory.at(directory).files[taken[directory]++]);
    }
    return merged;
}

Result<void> requireUndoRoom(const Result<Journal>& journal, uint64_t savedBytes,
                             const CommonOptions& options) {
    if (options.noUndo) {
        return {};
    }
    const char* hint = "; --no-undo edits without undo";
    if (!journal) {
        return Error{journal.error().kind, journal.error().message + hint};
    }
    const UndoRoom room = undoRoomFor(savedBytes, journal->folder());
    if (!room.fits) {
        return Error{ErrorKind::Io, room.refusal + hint};
    }
    return {};
}

}  // namespace kestrel::cli
