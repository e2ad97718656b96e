// kestrel-fuzz-journal-seeds FOLDER
//
// Writes seed inputs for the journal target from entries the core writes: a Dummy, an
// Overwrite and a Relink of a small image, each with the image after it, once complete (to
// be undone), once without its mark of completion (to be recovered) and once with a mark of
// the kind earlier versions wrote, which names no size or time: a fresh copy of the image
// fits it, so a patch of the edit is written. Their ranges count the blocks they wrote with
// zeros: all of them (the Dummy, whose tables a patch leaves unread), some (the Overwrite's
// replacement followed by zeros) and none (the Relink). Seeds of entries written before the
// counts were kept stay in the corpus beside them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "fuzz/FuzzImage.h"
#include "fuzz/JournalInput.h"
#include "isobuilder/IsoBuilder.h"
#include "journal/EntryRecords.h"
#include "ops/Blanking.h"
#include "ops/MasterFile.h"
#include "ops/Overwrite.h"

namespace {

using namespace kestrel;

// An entry's mark of completion is its last record: a 16-byte head, 8 bytes and a checksum.
constexpr size_t kCompletionMark = 32;

class Quiet : public OperationObserver {
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

bool edit(Session& session, const std::string& kind, const std::string& replacement) {
    Quiet quiet;
    if (kind == "dummy") {
        return blankFiles(session.snapshot(1, {"A.TXT", "C.TXT"}), quiet).failures.empty();
    }
    if (kind == "overwrite") {
        return overwriteFile(session.snapshot(1, {"B.TXT"}), replacement, quiet).ok();
    }
    const auto master = chooseMasterFile(session, 1, "A.TXT");
    return master && !relinkFiles(session, 1, {"B.TXT", "C.TXT"}, *master, true).failure;
}

void writeSeed(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// The entry at `path` with its mark of completion keeping the descriptors' checksum alone.
std::vector<uint8_t> withEarlierMark(const std::string& path, const std::string& copy) {
    // A mark of today: a 16-byte head, the checksum, size and time, and the record's checksum.
    constexpr uint64_t kMark = 16 + 24 + 8;
    const auto bytes = fuzz::readWholeFile(path);
    writeSeed(copy, bytes);
    const int descriptor = ::open(copy.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    const auto entry = readJournalEntry(descriptor, copy, true);
    bool written = entry && entry->complete() && cutEntry(descriptor, copy, bytes.size() - kMark);
    const auto cut = written ? readJournalEntry(descriptor, copy, true) : entry;
    if (written && cut && !cut->complete() && cut->wholeRecordsEnd == bytes.size() - kMark) {
        ImageIdentity after;
        after.descriptorsHash = entry->after->descriptorsHash;
        written = appendComplete(descriptor, copy, after).ok();
    } else {
        written = false;
    }
    ::close(descriptor);
    if (!written) {
        std::fputs("kestrel-fuzz-journal-seeds: cannot rewrite the mark of completion\n", stderr);
        std::exit(1);
    }
    return fuzz::readWholeFile(copy);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: kestrel-fuzz-journal-seeds FOLDER\n", stderr);
        return 1;
    }
    const std::string folder = argv[1];
    const auto& scratch = fuzz::scratch();
    ::setenv("XDG_STATE_HOME", scratch.path("state").c_str(), 1);
    const std::string replacement = scratch.path("replacement");
    writeSeed(replacement, std::vector<uint8_t>(1500, 'r'));
    using isobuilder::textFile;
    isobuilder::IsoBuilder builder(isobuilder::Layout::CdRomXa, "JOURNAL");
    builder.addFile(1, textFile("A.TXT;1", std::string(2100, 'a')));
    builder.addFile(1, textFile("B.TXT;1", std::string(2200, 'b')));
    builder.addFile(1, textFile("C.TXT;1", "c"));
    for (const std::string kind : {"dummy", "overwrite", "relink"}) {
        const std::string image = scratch.path(kind + ".iso");
        builder.writeTo(image);
        auto session = Session::open(image, image + ".layer1");
        if (!session || !edit(*session, kind, replacement)) {
            std::fprintf(stderr, "kestrel-fuzz-journal-seeds: the %s failed\n", kind.c_str());
            return 1;
        }
        const auto after = fuzz::describeImage(fuzz::readWholeFile(image));
        const auto entry = fuzz::readWholeFile(session->journal()->folder() + "/000001.edit");
        writeSeed(folder + "/seed-" + kind, fuzz::joinJournalInput(after, entry));
        writeSeed(
            folder + "/seed-" + kind + "-cut-short",
            fuzz::joinJournalInput(after, std::span(entry).first(entry.size() - kCompletionMark)));
        writeSeed(folder + "/seed-" + kind + "-earlier-mark",
                  fuzz::joinJournalInput(
                      after, withEarlierMark(session->journal()->folder() + "/000001.edit",
                                             scratch.path(kind + ".edit"))));
    }
    return 0;
}
