// Opens an image whose undo journal holds one entry of any bytes, so that recovery runs, then
// undoes every edit the journal lists. The image may change only to bytes that a range of
// the entry saved, at that range's place, with the range's checksums holding.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"
#include "fuzz/JournalInput.h"
#include "journal/StateFolder.h"

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
