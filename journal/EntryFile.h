// An entry file of a journal folder, open for reading or, for recovery, appending: its
// descriptor is closed with it.
#pragma once

#include <optional>
#include <string>

#include "journal/EntryRecords.h"

namespace kestrel {

class EntryFile {
public:
    static Result<EntryFile> open(const std::string& path, bool forAppending);

    EntryFile(EntryFile&& other) noexcept;
    EntryFile& operator=(EntryFile&&) = delete;
    EntryFile(const EntryFile&) = delete;
    EntryFile& operator=(const EntryFile&) = delete;
    ~EntryFile();

    int descriptor() const { return descriptor_; }
    const std::string& path() const { return path_; }
    Result<JournalEntryFile> read(bool checkRanges) const {
        return readJournalEntry(descriptor_, path_, checkRanges);
    }
    Result<JournalEntryFile> readCounted() const {
        return readJournalEntryCounted(descriptor_, path_);
    }
    Result<void> readTable(SavedRange& range) const {
        return readBlockTable(descriptor_, path_, range);
    }
    Result<std::vector<uint8_t>> savedBytes(const SavedRange& range) const {
        return readSavedBytes(descriptor_, path_, range);
    }
    // Read from the entry's last bytes alone; an entry that cannot be read counts as complete,
    // since nothing of it can be applied.
    bool completed() const;

private:
    EntryFile(int descriptor, std::string path) : descriptor_(descriptor), path_(std::move(path)) {}

    int descriptor_;
    std::string path_;
};

}  // namespace kestrel
