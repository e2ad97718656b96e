// An image as its undo journal sees it: the file's bytes and the journal kept for them,
// opened without reading the volume. So an edit that left the volume unreadable, a Dummy over
// its descriptors, say, can still be recovered after a crash and undone on request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/ImageFile.h"
#include "io/RawLayout.h"
#include "journal/Journal.h"

namespace kestrel {

// The newest edit in effect, as the user is told of it when the image no longer opens.
struct LastEdit {
    uint64_t id = 0;
    std::string edit;  // "Dummy of FILE1.BIN"
    // "The last edit, Dummy of FILE1.BIN at 12:03, wrote over sector 16, the primary volume
    // descriptor"
    std::string description;
};

class ImageJournal {
public:
    // Finds the image's file (a cue sheet's data file), opens its journal and puts back any
    // edit a crash cut short.
    static Result<ImageJournal> open(const std::string& chosenPath);

    const ImageContainer& container() const { return container_; }
    // The image's file, opened once for update (for reading where it cannot be written).
    const std::shared_ptr<const ImageFile>& image() const { return image_; }
    const std::string& imagePath() const { return container_.dataPath; }
    // The journal; an error says why the image cannot be edited with undo.
    const Result<Journal>& journal() const { return journal_; }
    Result<Journal> takeJournal() { return std::move(journal_); }
    // What a crash cut short and the open put back, one note per edit.
    const std::vector<std::string>& recoveryNotes() const { return recoveryNotes_; }
    // The files an edit of the image writes, without a layer-1 copy.
    JournalFiles files() const { return {image_, nullptr, container_.raw}; }

    // The newest edit in effect that Undo would revert, and what it wrote over.
    Result<std::optional<LastEdit>> lastEdit() const;
    // Reverts entry `id` after checking that every range still holds what it wrote.
    Result<void> undo(uint64_t id) const;

private:
    ImageJournal(ImageContainer container, std::shared_ptr<const ImageFile> image,
                 Result<Journal> journal)
        : container_(std::move(container)),
          image_(std::move(image)),
          journal_(std::move(journal)) {}

    ImageContainer container_;
    std::shared_ptr<const ImageFile> image_;
    Result<Journal> journal_;
    std::vector<std::string> recoveryNotes_;
};

}  // namespace kestrel
