// Writes small ISO 9660 images with exactly the bytes a test needs: the CD-ROM XA layout
// (XA signature at 0x8400, path table in sector 19) and the DVD layout (zeros at 0x8400,
// path table in sector 258), dual-layer images, and sparse images with files beyond 4 GiB.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::isobuilder {

inline constexpr uint32_t kSectorSize = 2048;
// Every record of a file of several extents but its last carries this flag.
inline constexpr uint8_t kMultiExtentFlag = 0x80;

enum class Layout {
    CdRomXa,  // "CD-XA001" at 0x8400, little-endian path table in sector 19
    Dvd,      // zeros at 0x8400, little-endian path table in sector 258
};

struct RecordDate {
    uint8_t yearsSince1900 = 103;
    uint8_t month = 2;
    uint8_t day = 3;
    uint8_t hour = 12;
    uint8_t minute = 0;
    uint8_t second = 0;
    int8_t gmtOffset = 0;  // in 15-minute units
};

struct FileSpec {
    std::string identifier;        // written byte for byte, e.g. "README.TXT;1"
    uint32_t size = 0;             // recorded data length
    std::optional<uint32_t> lba;   // extent; allocated behind the directories when absent
    std::vector<uint8_t> content;  // written at the extent; bytes up to `size` beyond it stay zero
    RecordDate date;
    uint8_t flags = 0;
};

// A file holding `text`; a larger `size` is recorded with the rest of its extent left zero.
FileSpec textFile(std::string identifier, std::string_view text, RecordDate date = {},
                  uint32_t size = 0);

class IsoBuilder {
public:
    static constexpr int kRoot = 1;

    IsoBuilder(Layout layout, std::string volumeIdentifier);

    // Adds a directory under `parent` and returns its path-table number (the root is 1).
    // Its record is appended to the parent's records, after those added before it.
    int addDirectory(int parent, std::string identifier);
    // Appends a file record to `directory`.
    void addFile(int directory, FileSpec file);
    // Appends a file of several extents to `directory`, as ISO 9660 level 3 stores a file of
    // 4 GiB or more: one record per extent, in order, each named `identifier`, every one but
    // the last flagged kMultiExtentFlag. Each extent's size, place and content are its own.
    void addMultiExtentFile(int directory, const std::string& identifier,
                            std::vector<FileSpec> extents);
    // Makes a directory's extent at least this many sectors long (records never cross a sector).
    void setMinimumDirectorySectors(int directory, uint32_t sectors);
    // Bytes of system use behind every record's identifier; 14 (XA attributes) by default,
    // which makes the "." and ".." records 48 bytes each.
    void setSystemUseLength(uint8_t bytes);
    // The recorded volume space size; by default the sectors the layout uses.
    void setVolumeSectors(uint32_t sectors);
    // Appends a path-table entry behind every directory's, in the order added, naming the
    // sector `sectorsIn` sectors into `directory`'s extent, under parent number `parent` as
    // given; no directory record names it. Crafted tables name a directory again and again so,
    // or name sectors inside one.
    void addPathTableEntry(uint16_t parent, std::string identifier, int directory,
                           uint32_t sectorsIn = 0);

    uint32_t volumeSectors() const;
    uint32_t directoryLba(int directory) const;
    // Byte offset, from the start of the volume, of the first record in `directory` whose
    // identifier is `identifier`; throws std::out_of_range when there is none.
    uint64_t recordOffset(int directory, const std::string& identifier) const;

    // Creates or truncates `path` and writes the volume at its start; the file is
    // volumeSectors() * 2048 bytes long and sparse where nothing is written.
    void writeTo(const std::string& path) const;
    // Writes the volume's non-zero structures and file contents into an open file,
    // starting at byte `base`, without touching any other byte.
    void writeAt(int fd, uint64_t base) const;

private:
    // Places and encodes the volume from the description kept here.
    friend class VolumeImage;

    Layout layout_;
    std::string volumeIdentifier_;
    uint8_t systemUseLength_ = 14;
    std::optional<uint32_t> volumeSectors_;
    struct Directory {
        int parent = 0;
        std::string identifier;
        uint32_t minimumSectors = 1;
        struct Entry {
            bool isDirectory = false;
            int directory = 0;  // when isDirectory
            FileSpec file;      // otherwise
        };
        std::vector<Entry> entries;
    };
    std::vector<Directory> directories_;  // index 0 is the root (number 1)
    struct PathTableOnly {
        uint16_t parent = 0;
        std::string identifier;
        int directory = 0;
        uint32_t sectorsIn = 0;
    };
    std::vector<PathTableOnly> pathTableOnly_;
};

// Writes a dual-layer image: layer 0 at the start, layer 1 starting 32768 bytes before the
// end of layer 0 (so its volume descriptor lies right behind layer 0). Layer 0's last 16
// sectors must be free; the file ends with layer 1's last sector.
void writeDualLayer(const std::string& path, const IsoBuilder& layer0, const IsoBuilder& layer1);

}  // namespace kestrel::isobuilder
