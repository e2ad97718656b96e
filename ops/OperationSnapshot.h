// What a background operation works on, taken when it starts: the files' records, found in
// the presented volume, and where their data lies in the chosen image. The user may browse,
// switch directories or re-select while it runs; the run works only from this snapshot.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/NameText.h"
#include "image/RecordLookup.h"
#include "image/VolumeStructures.h"
#include "io/ImageFile.h"
#include "io/RawLayout.h"
#include "journal/Journal.h"

namespace kestrel {

struct SnapshotFile {
    std::string rowName;
    Result<RecordLocation> record;
};

// Where one extent of a file's data lies in the image.
struct DataPiece {
    uint64_t offset = 0;
    uint32_t length = 0;
};

struct OperationSnapshot {
    // The chosen image, where file data is read and written, as the session opened it.
    std::shared_ptr<const ImageFile> image;
    // What openImage reads laid over the image, while a plan is staged or dry-run.
    const PendingWrites* imagePending = nullptr;
    std::optional<RawLayout> imageLayout;  // how a raw image holds its user data
    std::string imageName;     // the cue sheet a raw image was chosen by, which messages name
    std::string recordsPath;   // the presented file the records were read from
    uint64_t layerOffset = 0;  // added to an extent's LBA x 2048 to find its data in the image
    std::vector<SnapshotFile> files;  // in list order
    // The names are text made into image bytes, as a UDF volume's are: a file is written
    // out under the text.
    bool textNames = false;
    // Where Dummy and Overwrite save what they overwrite; unless the user chose to go on
    // without undo, a run without a journal writes nothing.
    Result<Journal> journal = Error{ErrorKind::NotFound, "no undo journal was opened"};
    bool keepUndo = true;
    // The presented volume's own structures: a file whose data covers one is written only
    // when the user confirmed it, since the volume, and with it the file, may no longer open.
    std::shared_ptr<const VolumeStructures> structures;
    bool structuresConfirmed = false;

    const std::string& imagePath() const { return image->path(); }
    // The name a file of the row is written out under, before outputName's rules.
    std::string fileNameOf(const std::string& rowName) const {
        return textNames ? utf8FromTypedBytes(rowName) : rowName;
    }
    // The image read through its user data, on a handle of the run's own.
    Result<std::unique_ptr<ImageSource>> openImage() const;
    // The file data the found files hold, which Dummy and Overwrite would save for undo.
    uint64_t dataBytes() const;
    // What the journal keeps of that data: in a raw image, the whole 2352-byte sectors.
    uint64_t savedBytes() const;
    // The run's edit as the journal and Undo name it.
    EditSummary summary(EditKind kind) const;
    // Starts the run's edit in the journal, or without undo when the user chose so.
    Result<JournalEdit> beginEdit(EditKind kind) const;

    // For each found file whose data covers a structure, which: "FILE1.BIN covers sector 16,
    // the primary volume descriptor".
    std::vector<std::string> structuresCovered() const;
    // Where each extent of a found file's data lies in the image, in order (one for a file of
    // one record); refused when any would run past the image's end at `imageSize`.
    Result<std::vector<DataPiece>> dataPieces(const SnapshotFile& file, uint64_t imageSize) const;
    // The same in an open image, an ImageFile or ImageWriter; also refused when the file's
    // record was not found or the image's size cannot be read.
    template <class Image>
    Result<std::vector<DataPiece>> dataPiecesIn(const SnapshotFile& file,
                                                const Image& image) const {
        if (!file.record) {
            return file.record.error();
        }
        const auto imageSize = image.size();
        if (!imageSize) {
            return imageSize.error();
        }
        return dataPieces(file, *imageSize);
    }
    // dataPiecesIn, for writing the file's data: mayWriteOver refuses too.
    template <class Image>
    Result<std::vector<DataPiece>> writePiecesIn(const SnapshotFile& file,
                                                 const Image& image) const {
        auto pieces = dataPiecesIn(file, image);
        if (!pieces) {
            return pieces;
        }
        if (auto allowed = mayWriteOver(file); !allowed) {
            return allowed.error();
        }
        return pieces;
    }
    // The byte offset of a found file's data (its first extent's) in the image; refused as
    // dataPieces is.
    Result<uint64_t> dataOffset(const SnapshotFile& file, uint64_t imageSize) const;
    // The same in an open image, an ImageFile or ImageWriter; also refused when the file's
    // record was not found or the image's size cannot be read.
    template <class Image>
    Result<uint64_t> dataOffsetIn(const SnapshotFile& file, const Image& image) const {
        if (!file.record) {
            return file.record.error();
        }
        const auto imageSize = image.size();
        if (!imageSize) {
            return imageSize.error();
        }
        return dataOffset(file, *imageSize);
    }
    // Refused when the found file's data covers a structure the user did not confirm
    // writing over.
    Result<void> mayWriteOver(const SnapshotFile& file) const;
    // dataOffsetIn, for writing the file's data: mayWriteOver refuses too.
    template <class Image>
    Result<uint64_t> writeOffsetIn(const SnapshotFile& file, const Image& image) const {
        auto offset = dataOffsetIn(file, image);
        if (!offset) {
            return offset;
        }
        if (auto allowed = mayWriteOver(file); !allowed) {
            return allowed.error();
        }
        return offset;
    }
};

}  // namespace kestrel
