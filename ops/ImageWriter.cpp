#include "ops/ImageWriter.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

namespace kestrel {

Result<ImageWriter> ImageWriter::open(const std::string& path, JournalEdit* edit,
                                      JournalTarget target) {
    auto file = ImageFile::open(path, O_RDWR, "for writing");
    if (!file) {
        return file.error();
    }
    return ImageWriter(std::move(*file), edit, target);
}

Result<ImageWriter> ImageWriter::createPrivate(const std::string& path, uint64_t size) {
    auto file = ImageFile::open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, "for writing",
                                S_IRUSR | S_IWUSR);
    if (!file) {
        return file.error();
    }
    if (auto made = file->makePrivate(); !made) {
        return made.error();
    }
    if (auto sized = file->setSize(size); !sized) {
        return sized.error();
    }
    return ImageWriter(std::move(*file), nullptr, JournalTarget::LayerCopy);
}

Result<void> ImageWriter::checkInside(uint64_t offset, size_t length) const {
    const auto size = file_.size();
    if (!size) {
        return size.error();
    }
    if (offset > *size || length > *size - offset) {
        return Error{ErrorKind::OutOfRange, "Refused to write " + std::to_string(length) +
                                                " bytes at byte " + std::to_string(offset) +
                                                " of " + path() + ": the file ends at byte " +
                                                std::to_string(*size)};
    }
    return {};
}

Result<void> ImageWriter::stage(uint64_t offset, std::span<const uint8_t> newBytes, bool sync) {
    if (edit_ == nullptr || !edit_->keepsUndo()) {
        return {};
    }
    if (auto inside = checkInside(offset, newBytes.size()); !inside) {
        return inside;
    }
    // The buffer is kept from one large block to the next, sparing its pages' faults.
    if (oldBytes_.size() < newBytes.size()) {
        oldBytes_.resize(newBytes.size());
    }
    const auto old = std::span(oldBytes_).first(newBytes.size());
    const auto read = file_.readAt(offset, old);
    if (!read) {
        return read.error();
    }
    if (*read < old.size()) {
        return Error{ErrorKind::OutOfRange, path() + " ended at byte " +
                                                std::to_string(offset + *read) +
                                                " while its bytes were being saved for undo"};
    }
    if (auto saved = edit_->save(target_, offset, old, newBytes, sync); !saved) {
        return saved;
    }
    if (staged_.size() == 2) {
        staged_.erase(staged_.begin());
    }
    staged_.push_back({offset, offset + newBytes.size(), sync});
    return {};
}

Result<void> ImageWriter::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
    if (auto inside = checkInside(offset, bytes.size()); !inside) {
        return inside;
    }
    const auto staged = std::ranges::find_if(staged_, [&](const Staged& range) {
        return offset >= range.from && offset + bytes.size() <= range.to;
    });
    if (staged == staged_.end()) {
        if (auto saved = stage(offset, bytes); !saved) {
            return saved;
        }
    } else if (!staged->synced) {
        if (auto synced = edit_->syncSaved(); !synced) {
            return synced;
        }
        for (auto& range : staged_) {
            range.synced = true;
        }
    }
    return file_.writeAt(offset, bytes);
}

Result<void> ImageWriter::finish() {
    if (auto synced = file_.sync(); !synced) {
        return synced;
    }
    return file_.close();
}

}  // namespace kestrel
