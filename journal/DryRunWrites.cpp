#include "journal/DryRunWrites.h"

#include "io/SectorCodes.h"

namespace kestrel {

namespace {

// The bytes kept of large writes; past them, a dry run of a file of gigabytes stays small.
constexpr uint64_t kKeptBytes = uint64_t{16} << 20;
// A write shorter than this is kept whatever came before: records, descriptors, directories
// and partition tables are written so, while file data is written a transfer block (128 KiB
// of user data) at a time.
constexpr uint64_t kAlwaysKept = uint64_t{64} << 10;

}  // namespace

// A withheld write's bytes are file data that no later step should need: what a later write
// over them saves is the image's bytes before the plan (the old bytes a dry run shows), and
// the volume's structures lie elsewhere. A step that does read them (a structure the data
// covers, or a raw image's sector rewritten, read whole for its header) is refused rather
// than previewed from bytes the plan would not leave there. The last raw sector's worth of a
// run of them is kept: a file's data ends there in part, with zeros written after it into the
// same sector, and a growth after it makes the sectors it adds from the track's last one.
void DryRunWrites::write(JournalTarget target, uint64_t offset, std::span<const uint8_t> bytes) {
    PendingWrites& pending = pendingOf(target);
    if (bytes.size() < kAlwaysKept || kept_ + bytes.size() <= kKeptBytes) {
        kept_ += bytes.size() < kAlwaysKept ? 0 : bytes.size();
        pending.write(offset, bytes);
        return;
    }
    const size_t slot = static_cast<size_t>(target);
    // The end kept of the run this write goes on is withheld now, so a run keeps one.
    const uint64_t from = offset == withheldEnd_[slot] ? keptEndFrom_[slot] : offset;
    const uint64_t keptFrom = offset + bytes.size() - kRawSectorSize;
    pending.withhold(from, keptFrom - from);
    pending.write(keptFrom, bytes.last(kRawSectorSize));
    withheldEnd_[slot] = offset + bytes.size();
    keptEndFrom_[slot] = keptFrom;
}

}  // namespace kestrel
