// Opens an image whose undo journal holds one entry of any bytes, so that recovery runs, then
// writes a patch of the journal's edits and undoes every edit the journal lists. The image
// may change only to bytes that a range of the entry saved, at that range's place, with the
// range's checksums holding. A patch, where one is written, makes the image as it is from the
// original the journal gives, byte for byte and with every window's checksum holding: it is
// never one that xdelta3 would apply into something else.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"
#include "fuzz/JournalInput.h"
#include "journal/OriginalImage.h"
#include "journal/StateFolder.h"
#include "ops/Adler32.h"
#include "ops/PatchExport.h"
#include "ops/PatchReader.h"

namespace {

using namespace kestrel;

struct SavedBytes {
    uint64_t offset;
    std::vector<uint8_t> bytes;
};

// The old bytes of each image range in the entry at `path` whose checksums hold; none when
// the core would not read it as an entry.
std::vector<SavedBytes> savedImageBytes(const std::string& path) {
    std::vector<SavedBytes> saved;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const auto entry = readJournalEntry(descriptor, path, true);
    for (const auto& range : entry ? entry->ranges : std::vector<SavedRange>()) {
        auto bytes = readSavedBytes(descriptor, path, range);
        if (bytes && !range.rolledBack && range.target == JournalTarget::Image) {
            saved.push_back({range.offset, std::move(*bytes)});
        }
    }
    ::close(descriptor);
    return saved;
}

// Makes `entry` the only entry of the journal of `image`, where Journal::of looks for it.
std::string placeEntry(const std::string& image, std::span<const uint8_t> entry) {
    std::filesystem::remove_all(stateFolderPath("journal"));
    const auto file = ImageFile::openForReading(image);
    const auto identity = file ? imageIdentity(*file) : Result<ImageIdentity>(file.error());
    if (!identity) {
        std::abort();  // the image was just written
    }
    const std::string folder = "journal/" + std::to_string(identity->device) + "-" +
                               std::to_string(identity->inode) + "-" +
                               std::to_string(identity->birth);
    const auto opened = openPrivateFolder(folder);
    const std::string path = stateFolderPath(folder + "/000001.edit");
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (!opened || descriptor < 0 ||
        ::write(descriptor, entry.data(), entry.size()) != static_cast<ssize_t>(entry.size())) {
        std::perror(path.c_str());
        std::abort();
    }
    ::close(*opened);
    ::close(descriptor);
    return path;
}

// Writes a patch of the journal's edits, then makes the image again from it, window by window,
// as xdelta3 would from the original the journal gives.
void checkPatchOf(const std::string& image) {
    const std::string patch = fuzz::scratch().path("edits.vcdiff");
    std::filesystem::remove(patch);
    if (!writePatch({image, patch, std::nullopt})) {
        return;
    }
    const auto now = fuzz::readWholeFile(image);
    const auto file = ImageFile::openForReading(image);
    const auto journal = file ? Journal::of(*file) : Result<Journal>(file.error());
    auto original = journal ? OriginalImage::rebuild(*journal, *file, std::nullopt)
                            : Result<OriginalImage>(journal.error());
    auto reader = original ? PatchReader::open(patch) : Result<PatchReader>(original.error());
    if (!reader) {
        throw checks::BrokenPromise(
            "a patch was written but cannot be read back against the "
            "original: " +
            reader.error().message);
    }
    const auto fromOriginal = [&](uint64_t offset, std::span<uint8_t> bytes) {
        return original->read(offset, bytes);
    };
    uint64_t made = 0;
    for (;;) {
        auto window = reader->next(fromOriginal);
        if (!window) {
            throw checks::BrokenPromise(
                "a window of the patch cannot be made from the "
                "original: " +
                window.error().message);
        }
        if (!*window) {
            break;
        }
        const auto& bytes = (*window)->bytes;
        if ((*window)->offset != made || bytes.size() > now.size() - made ||
            !std::equal(bytes.begin(), bytes.end(), now.begin() + static_cast<ptrdiff_t>(made)) ||
            ((*window)->adler && *(*window)->adler != adler32(kAdler32Start, bytes))) {
            throw checks::BrokenPromise("the patch makes bytes from " + std::to_string(made) +
                                        " on other than the image holds");
        }
        made += bytes.size();
    }
    if (made != now.size()) {
        throw checks::BrokenPromise("the patch makes " + std::to_string(made) +
                                    " bytes of an image of " + std::to_string(now.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A state folder of this process's own: each input empties its journals, which the other
    // targets, fuzzed beside it, keep in the state folder they share.
    [[maybe_unused]] static const int stateSet =
        ::setenv("XDG_STATE_HOME", fuzz::scratch().path("state").c_str(), 1);
    const auto input = fuzz::splitJournalInput({data, size});
    const auto image = fuzz::scratch().path("image.iso");
    fuzz::writeImage(input.image, image);
    const auto before = fuzz::readWholeFile(image);
    const auto saved = savedImageBytes(placeEntry(image, input.entry));
    if (auto session = Session::open(image, fuzz::scratch().path("layer1.tmp"));
        session && session->journal()) {
        checkPatchOf(image);
        if (const auto history = session->journal()->history()) {
            for (const auto& listed : *history) {
                (void)session->undo(listed.id);
            }
        }
        if (const auto last = session->journal()->lastUndoable(); last && *last) {
            (void)session->undo((*last)->id);
        }
    }
    const auto after = fuzz::readWholeFile(image);
    if (after.size() != before.size()) {
        throw checks::BrokenPromise("recovering or undoing resized the image");
    }
    for (size_t i = 0; i < after.size(); ++i) {
        if (after[i] != before[i] && std::ranges::none_of(saved, [&](const SavedBytes& range) {
                return i >= range.offset && i - range.offset < range.bytes.size() &&
                       range.bytes[i - range.offset] == after[i];
            })) {
            throw checks::BrokenPromise("byte " + std::to_string(i) +
                                        " of the image took a value no checksummed range of "
                                        "its journal saved there");
        }
    }
    return 0;
}
