#include "ops/PatchCheck.h"

#include "io/ContainerOpen.h"
#include "journal/EditSummary.h"
#include "journal/ImageIdentity.h"
#include "ops/Adler32.h"
#include "ops/PatchReader.h"

namespace kestrel {

namespace {

Result<void> readWhole(const ImageFile& image, uint64_t offset, std::span<uint8_t> bytes) {
    const auto read = image.readAt(offset, bytes);
    if (!read) {
        return read.error();
    }
    if (*read != bytes.size()) {
        return Error{ErrorKind::Changed,
                     image.path() + " ends at byte " + std::to_string(offset + *read)};
    }
    return {};
}

}  // namespace

Result<PatchFit> checkPatch(const std::string& imagePath, const std::string& patchPath) {
    auto reader = PatchReader::open(patchPath);
    if (!reader) {
        return reader.error();
    }
    const auto source = parsePatchHeader(reader->applicationHeader());
    if (!source) {
        return Error{ErrorKind::InvalidInput,
                     patchPath +
                         " is not a patch Kestrel wrote: its header does not name "
                         "the image it was made from"};
    }
    PatchFit fit{false, {}, false, *source};
    const auto container = resolveContainer(imagePath);
    const auto image = container ? ImageFile::openForReading(container->dataPath)
                                 : Result<ImageFile>(container.error());
    const auto size = image ? image->size() : Result<uint64_t>(image.error());
    const auto descriptors = size ? descriptorsHash(*image) : Result<uint64_t>(size.error());
    if (!descriptors) {
        return descriptors.error();
    }
    const std::string& name = container->dataPath;
    if (*size != source->size) {
        fit.reason = name + " holds " + formatBytes(*size) + " (" + std::to_string(*size) +
                     " bytes); the patch was made from an image of " +
                     std::to_string(source->size) + " bytes";
        return fit;
    }
    if (*descriptors != source->descriptorsHash) {
        fit.reason = "the volume descriptors of " + name +
                     " are not those of the image the patch was made from";
        return fit;
    }
    const auto fromImage = [&](uint64_t offset, std::span<uint8_t> bytes) {
        return readWhole(*image, offset, bytes);
    };
    fit.alreadyApplied = true;
    std::vector<uint8_t> held;
    for (;;) {
        auto window = reader->next(fromImage);
        if (!window) {
            return window.error();
        }
        if (!*window) {
            break;
        }
        const auto& made = **window;
        if (made.adler && adler32(kAdler32Start, made.bytes) != *made.adler) {
            fit.reason = "applied to " + name + ", the patch would not make bytes " +
                         std::to_string(made.offset) + " to " +
                         std::to_string(made.offset + made.bytes.size() - 1) +
                         " as it was made to (their Adler-32 differs): the image holds other "
                         "bytes than the one the patch was made from";
            return fit;
        }
        held.resize(made.bytes.size());
        fit.alreadyApplied =
            fit.alreadyApplied && readWhole(*image, made.offset, held) && held == made.bytes;
    }
    fit.fits = true;
    return fit;
}

}  // namespace kestrel
