// A journal folder as files: its entries by number, its lock, and the upkeep done under it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "io/Result.h"
#include "journal/EntryRecords.h"

namespace kestrel {

// The entry files of a journal folder by number; a folder that does not exist has none, one
// that cannot be read is an error.
Result<std::map<uint64_t, std::string>> entryFiles(const std::string& folder);
// "000012.edit"
std::string entryName(uint64_t id);
// Whether the file at `path` is an entry whose Begin record never became whole: a crash
// struck right after it was created. It saved nothing, and is removed under the lock.
bool beginCutShort(const std::string& path);

// An open folder descriptor, closed with this; closing it releases a lock taken on it.
class OwnedFolder {
public:
    explicit OwnedFolder(int descriptor = -1) : descriptor_(descriptor) {}
    OwnedFolder(OwnedFolder&& other) noexcept;
    OwnedFolder& operator=(OwnedFolder&& other) noexcept;
    OwnedFolder(const OwnedFolder&) = delete;
    OwnedFolder& operator=(const OwnedFolder&) = delete;
    ~OwnedFolder();

    int get() const { return descriptor_; }
    int release();

private:
    int descriptor_;
};

// Takes the folder's lock without waiting: false when another process holds it.
Result<bool> tryLockFolder(int folder, const std::string& path);

// Adds to the newest entry of `folder`, when it is complete, a mark that the image is `now`:
// an edit made without undo changed it. Called under the lock.
void noteImageState(const std::string& folder, const ImageIdentity& now);

// Drops the oldest complete entries of every image until all take at most `totalBytes`;
// `keep` is never dropped. Each folder is pruned under its lock; a folder busy with an edit
// is passed over, except `lockedFolder`, whose lock the caller holds.
void pruneJournals(uint64_t totalBytes, const std::string& keep, const std::string& lockedFolder);

}  // namespace kestrel
