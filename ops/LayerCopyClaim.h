// The file a session makes its layer-1 copy in. Every session of the user names the same
// fixed file, and the copy is emptied and rewritten as it is made: so a session locks the
// file before it writes it, for as long as anything holds the copy open, and one that finds
// it locked by another makes a copy of its own beside it, which goes with the session.
#pragma once

#include <memory>
#include <string>

#include "io/ImageFile.h"

namespace kestrel {

class LayerCopyClaim {
public:
    // Locks the file at `sharedPath`, made if missing with its folders; where another open
    // file holds that lock, the first free one of this process's own beside it: the same name
    // with the process id, and a count from the second on, before its extension.
    static Result<LayerCopyClaim> take(const std::string& sharedPath);

    LayerCopyClaim(LayerCopyClaim&& other) noexcept;
    LayerCopyClaim& operator=(LayerCopyClaim&& other) noexcept;
    LayerCopyClaim(const LayerCopyClaim&) = delete;
    LayerCopyClaim& operator=(const LayerCopyClaim&) = delete;
    // Removes a copy of this process's own; the shared one stays for the next session.
    ~LayerCopyClaim();

    const std::string& path() const { return file_->path(); }
    // The locked file, still as it was found; the lock lasts while any handle on it is open.
    const std::shared_ptr<ImageFile>& file() const { return file_; }

private:
    LayerCopyClaim(std::shared_ptr<ImageFile> file, bool own) : file_(std::move(file)), own_(own) {}
    void release();

    std::shared_ptr<ImageFile> file_;
    bool own_ = false;
};

}  // namespace kestrel
