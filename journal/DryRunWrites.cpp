#include "journal/DryRunWrites.h"

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
// than previewed from bytes the plan would not leave there.
void DryRunWrites::write(JournalTarget target, uint64_t offset, std::span<const uint8_t> bytes) {
    if (bytes.size() < kAlwaysKept || kept_ + bytes.size() <= kKeptBytes) {
        kept_ += bytes.size() < kAlwaysKept ? 0 : bytes.size();
        pendingOf(target).write(offset, bytes);
        return;
    }
    pendingOf(target).withhold(offset, bytes.size());
}

}  // namespace kestrel
