#include "ops/Extraction.h"

#include <algorithm>
#include <limits>

#include "io/ContainerOpen.h"
#include "io/RawImage.h"
#include "ops/OutputFile.h"

namespace kestrel {

namespace {

// What a file's extraction reads: its data from its first byte, or, for a file of a raw image
// with Form 2 sectors (an XA stream), each sector's subheader and the 2324 bytes behind it,
// the form the field's tools put such files back from.
struct ExtractedBytes {
    uint64_t length = 0;
    std::function<Result<size_t>(uint64_t at, std::span<uint8_t> block)> read;
};

Result<ExtractedBytes> extentBytes(const OperationSnapshot& snapshot, const SnapshotFile& file,
                                   const ImageSource& image, const DataPiece& piece) {
    const uint32_t length = piece.length;
    const uint64_t dataOffset = piece.offset;
    const auto plain = ExtractedBytes{length, [&image, dataOffset](uint64_t at, auto block) {
                                          return image.readAt(dataOffset + at, block);
                                      }};
    if (!snapshot.imageLayout) {
        return plain;
    }
    const auto& raw = static_cast<const RawImage&>(image);
    const uint64_t first = dataOffset / kUserDataSize;
    const uint64_t sectors = (uint64_t{length} + kUserDataSize - 1) / kUserDataSize;
    const auto form2 = holdsForm2Sector(raw.file(), raw.layout(), first, sectors);
    if (!form2) {
        return form2.error();
    }
    if (!*form2) {
        return plain;
    }
    if (sectors * kXaSectorView.length > std::numeric_limits<uint32_t>::max()) {
        return Error{ErrorKind::OutOfRange, file.rowName +
                                                " holds Form 2 sectors whose data with their "
                                                "subheaders would pass 4 GiB; nothing was written"};
    }
    return ExtractedBytes{sectors * kXaSectorView.length, [&raw, first](uint64_t at, auto block) {
                              return readSectorView(raw.file(), raw.layout(), kXaSectorView,
                                                    first * kXaSectorView.length + at, block);
                          }};
}

// A file of several extents reads as their bytes one after another, each extent in its form.
Result<ExtractedBytes> extractedBytes(const OperationSnapshot& snapshot, const SnapshotFile& file,
                                      const ImageSource& image,
                                      const std::vector<DataPiece>& pieces) {
    if (pieces.size() == 1) {
        return extentBytes(snapshot, file, image, pieces.front());
    }
    std::vector<ExtractedBytes> parts;
    uint64_t length = 0;
    for (const auto& piece : pieces) {
        auto part = extentBytes(snapshot, file, image, piece);
        if (!part) {
            return part.error();
        }
        length += part->length;
        parts.push_back(std::move(*part));
    }
    return ExtractedBytes{
        length,
        [parts = std::move(parts)](uint64_t at, std::span<uint8_t> block) -> Result<size_t> {
            size_t got = 0;
            for (uint64_t partStart = 0; const auto& part : parts) {
                const uint64_t from = at + got;
                if (got < block.size() && from < partStart + part.length) {
                    const auto wanted = block.subspan(
                        got,
                        std::min<uint64_t>(block.size() - got, partStart + part.length - from));
                    const auto read = part.read(from - partStart, wanted);
                    // Fewer bytes than asked end the read where they end.
                    if (!read || *read < wanted.size()) {
                        return !read && got == 0 ? read : Result<size_t>(got + (read ? *read : 0));
                    }
                    got += *read;
                }
                partStart += part.length;
            }
            return got;
        }};
}

// A stopped file is kept as far as it was written, unless it was to replace an older file:
// the older file, complete, is worth more than part of the new one.
Result<StoppedFile> keepStoppedFile(OutputFile& output, const std::string& rowName,
                                    uint64_t written, uint64_t length) {
    StoppedFile stopped{rowName, written, length, output.path(), {}};
    if (output.replacesOlderFile()) {
        stopped.partPath.clear();
        stopped.olderKept = output.path();
        if (auto removed = output.removeWritten(); !removed) {
            return Error{ErrorKind::Io, rowName +
                                            " was stopped before it was complete and the older "
                                            "file of its name kept, but " +
                                            removed.error().message};
        }
        return stopped;
    }
    if (auto placed = output.commit(); !placed) {
        return placed.error();
    }
    return stopped;
}

Result<TransferEnd> extractFile(const OperationSnapshot& snapshot, const ImageSource& image,
                                const SnapshotFile& file, const OutputFolder& folder,
                                const std::string& name, OperationObserver& observer,
                                ExtractionReport& report) {
    const auto pieces = snapshot.dataPiecesIn(file, image);
    if (!pieces) {
        return pieces.error();
    }
    const auto bytes = extractedBytes(snapshot, file, image, *pieces);
    if (!bytes) {
        return bytes.error();
    }
    auto output = OutputFile::create(folder, name, {snapshot.imagePath(), snapshot.recordsPath});
    if (!output) {
        return output.error();
    }

    observer.beginFile(file.rowName);
    uint64_t written = 0;
    auto moved = transferBlocks(bytes->length, observer, true,
                                [&](uint64_t done, std::span<uint8_t> block) -> Result<void> {
                                    const auto got = bytes->read(done, block);
                                    if (!got) {
                                        return got.error();
                                    }
                                    if (*got < block.size()) {
                                        // A read from the first byte it did not give names the
                                        // damaged sector of a raw image that cut it short.
                                        const auto stop = bytes->read(done + *got, block.first(1));
                                        return stop ? Error{ErrorKind::OutOfRange,
                                                            snapshot.imagePath() + " ended " +
                                                                std::to_string(done + *got) +
                                                                " bytes into " + file.rowName +
                                                                " while it was being extracted"}
                                                    : stop.error();
                                    }
                                    auto put = output->write(block);
                                    written += put ? block.size() : 0;
                                    return put;
                                });
    if (!moved) {
        return output->discard(moved.error());
    }
    if (*moved == TransferEnd::Stopped) {
        auto stopped = keepStoppedFile(*output, file.rowName, written, bytes->length);
        if (!stopped) {
            return stopped.error();
        }
        report.cut = std::move(*stopped);
    } else if (auto placed = output->commit(); !placed) {
        return placed.error();
    }
    return *moved;
}

}  // namespace

Result<std::string> outputName(const std::string& rowName) {
    // Names come from the image, so they may try to leave the folder or hold what no file
    // name can.
    if (rowName.empty() || rowName == "." || rowName == ".." ||
        rowName.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        return Error{ErrorKind::CorruptImage,
                     "its name is not one a file in a folder can have here (it is empty, \".\" "
                     "or \"..\", or holds \"/\" or a zero byte); nothing was written"};
    }
    // Bytes from 0x80 up stay: C1 controls in Latin-1, they are lead bytes in the Shift-JIS
    // names of many discs, and no terminal that speaks UTF-8 acts on one alone.
    std::string name = rowName;
    std::replace_if(
        name.begin(), name.end(), [](char byte) { return byte > 0 && byte < 0x20; }, '_');
    std::replace(name.begin(), name.end(), '\x7f', '_');
    return name;
}

Result<std::string> extractionPath(const std::string& folder, const std::string& rowName) {
    auto name = outputName(rowName);
    if (!name) {
        return name.error();
    }
    return folder.ends_with('/') ? folder + *name : folder + "/" + *name;
}

ExtractionReport extractFiles(const OperationSnapshot& snapshot, const OutputFolder& folder,
                              OperationObserver& observer) {
    ExtractionReport report;
    // Opened once for the run, as for Dummy and Overwrite: a run of many small files would
    // otherwise spend much of its time opening it.
    const auto image = snapshot.openImage();
    for (const auto& file : snapshot.files) {
        if (observer.stopRequested()) {
            report.stopped = true;
            break;
        }
        const std::string wanted = snapshot.fileNameOf(file.rowName);
        const auto name = outputName(wanted);
        const auto ended =
            !image  ? Result<TransferEnd>(image.error())
            : !name ? Result<TransferEnd>(name.error())
                    : extractFile(snapshot, **image, file, folder, *name, observer, report);
        if (!ended) {
            report.failures.push_back({file.rowName, ended.error()});
            continue;
        }
        if (*name != wanted) {
            report.renamed.push_back({file.rowName, folder.pathOf(*name)});
        }
        if (!file.record->brokenChain.empty()) {
            report.incomplete.push_back({file.rowName, file.record->brokenChain});
        }
        if (*ended == TransferEnd::Stopped) {
            report.stopped = true;
            break;
        }
    }
    return report;
}

ExtractionReport extractFiles(const OperationSnapshot& snapshot, const std::string& folder,
                              OperationObserver& observer) {
    const auto opened = OutputFolder::open(folder);
    if (opened) {
        return extractFiles(snapshot, *opened, observer);
    }
    // Each file fails for it, as each would were the folder removed during the run.
    ExtractionReport report;
    for (const auto& file : snapshot.files) {
        report.failures.push_back({file.rowName, opened.error()});
    }
    return report;
}

}  // namespace kestrel
