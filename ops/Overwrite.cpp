#include "ops/Overwrite.h"

#include <algorithm>

#include "io/ImageFile.h"
#include "ops/DataRewrite.h"

namespace kestrel {

Result<void> overwriteFileData(ImageWriter& image, JournalEdit& edit,
                               const OperationSnapshot& snapshot, const SnapshotFile& file,
                               const ImageFile& replacement, OperationObserver& observer) {
    // A shorter replacement is followed by zeros up to the recorded length.
    return rewriteFileData(image, edit, snapshot, file, observer,
                           [&](uint64_t done, std::span<uint8_t> block) -> Result<void> {
                               const auto got = replacement.readAt(done, block);
                               if (!got) {
                                   return got.error();
                               }
                               std::fill(block.begin() + static_cast<ptrdiff_t>(*got), block.end(),
                                         uint8_t{0});
                               return {};
                           });
}

Result<void> overwriteFile(const OperationSnapshot& snapshot, const std::string& replacementPath,
                           OperationObserver& observer) {
    const SnapshotFile& file = snapshot.files.front();
    auto replacement = ImageFile::openForReading(replacementPath);
    if (!replacement) {
        return replacement.error();
    }
    auto edit = snapshot.beginEdit(EditKind::Overwrite);
    if (!edit) {
        return edit.error();
    }
    auto image = ImageWriter::openUserData(*edit);
    if (!image) {
        return image.error();
    }
    auto replaced = overwriteFileData(*image, *edit, snapshot, file, *replacement, observer);
    if (!replaced) {
        return replaced;
    }
    return finishRewrite(*image, *edit);
}

}  // namespace kestrel
