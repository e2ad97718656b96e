#include "isobuilder/IsoBuilder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "isobuilder/VolumeImage.h"

namespace kestrel::isobuilder {

namespace {

constexpr size_t kVolumeIdentifierWidth = 32;
// The system area in front of the volume descriptors.
constexpr uint64_t kSystemAreaBytes = 16 * kSectorSize;

[[noreturn]] void throwIoError(const std::string& message) {
    throw std::runtime_error(message + ": " + std::strerror(errno));
}

void writeFully(int fd, const std::vector<uint8_t>& bytes, uint64_t offset) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                         static_cast<off_t>(offset + done));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written == 0) {
            errno = EIO;  // a write that makes no progress would otherwise loop forever
        }
        if (written <= 0) {
            throwIoError("cannot write at byte " + std::to_string(offset + done));
        }
        done += static_cast<size_t>(written);
    }
}

// Closes the descriptor when the write fails half-way; close() reports the normal case.
class OpenFile {
public:
    OpenFile(const std::string& path, int flags)
        : path_(path), fd_(::open(path.c_str(), flags, 0644)) {
        if (fd_ < 0) {
            throwIoError("cannot open " + path);
        }
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int fd() const { return fd_; }
    void resize(uint64_t bytes) const {
        if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
            throwIoError("cannot resize " + path_);
        }
    }
    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            throwIoError("cannot close " + path_);
        }
    }

private:
    std::string path_;
    int fd_;
};

}  // namespace

FileSpec textFile(std::string identifier, std::string_view text, RecordDate date, uint32_t size) {
    FileSpec file;
    file.identifier = std::move(identifier);
    file.content.assign(text.begin(), text.end());
    file.size = std::max(size, static_cast<uint32_t>(text.size()));
    file.date = date;
    return file;
}

IsoBuilder::IsoBuilder(Layout layout, std::string volumeIdentifier)
    : layout_(layout), volumeIdentifier_(std::move(volumeIdentifier)) {
    if (volumeIdentifier_.size() > kVolumeIdentifierWidth) {
        throw std::invalid_argument("volume identifier \"" + volumeIdentifier_ +
                                    "\" is longer than 32 bytes");
    }
    // The root is its own parent in the path table.
    directories_.push_back({kRoot, std::string(1, '\0'), 1, {}});
}

int IsoBuilder::addDirectory(int parent, std::string identifier) {
    if (parent < 1 || static_cast<size_t>(parent) > directories_.size()) {
        throw std::out_of_range("no parent directory number " + std::to_string(parent));
    }
    if (identifier.empty()) {
        throw std::invalid_argument("a directory needs an identifier");
    }
    const int number = static_cast<int>(directories_.size()) + 1;
    directories_.push_back({parent, std::move(identifier), 1, {}});
    directories_[parent - 1].entries.push_back({true, number, {}});
    return number;
}

void IsoBuilder::addFile(int directory, FileSpec file) {
    if (directory < 1 || static_cast<size_t>(directory) > directories_.size()) {
        throw std::out_of_range("no directory number " + std::to_string(directory));
    }
    directories_[directory - 1].entries.push_back({false, 0, std::move(file)});
}

void IsoBuilder::addMultiExtentFile(int directory, const std::string& identifier,
                                    std::vector<FileSpec> extents) {
    for (size_t i = 0; i < extents.size(); ++i) {
        extents[i].identifier = identifier;
        extents[i].flags = i + 1 < extents.size() ? kMultiExtentFlag : 0;
        addFile(directory, std::move(extents[i]));
    }
}

void IsoBuilder::setMinimumDirectorySectors(int directory, uint32_t sectors) {
    if (directory < 1 || static_cast<size_t>(directory) > directories_.size()) {
        throw std::out_of_range("no directory number " + std::to_string(directory));
    }
    directories_[directory - 1].minimumSectors = sectors;
}

void IsoBuilder::setSystemUseLength(uint8_t bytes) {
    systemUseLength_ = bytes;
}

void IsoBuilder::setVolumeSectors(uint32_t sectors) {
    volumeSectors_ = sectors;
}

void IsoBuilder::addPathTableEntry(uint16_t parent, std::string identifier, int directory,
                                   uint32_t sectorsIn) {
    if (directory < 1 || static_cast<size_t>(directory) > directories_.size()) {
        throw std::out_of_range("no directory number " + std::to_string(directory));
    }
    pathTableOnly_.push_back({parent, std::move(identifier), directory, sectorsIn});
}

uint32_t IsoBuilder::volumeSectors() const {
    return VolumeImage(*this).recordedSectors();
}

uint32_t IsoBuilder::directoryLba(int directory) const {
    return VolumeImage(*this).directoryLba(directory);
}

uint64_t IsoBuilder::recordOffset(int directory, const std::string& identifier) const {
    return VolumeImage(*this).recordOffset(directory, identifier);
}

void IsoBuilder::writeTo(const std::string& path) const {
    const VolumeImage image(*this);
    OpenFile file(path, O_WRONLY | O_CREAT | O_TRUNC);
    writeAt(file.fd(), 0);
    file.resize(uint64_t{image.recordedSectors()} * kSectorSize);
    file.close();
}

void IsoBuilder::writeAt(int fd, uint64_t base) const {
    const VolumeImage image(*this);
    for (const VolumeImage::Chunk& chunk : image.chunks()) {
        writeFully(fd, chunk.bytes, base + chunk.offset);
    }
}

void writeDualLayer(const std::string& path, const IsoBuilder& layer0, const IsoBuilder& layer1) {
    const VolumeImage first(layer0);
    // Layer 1's system area overlays layer 0's last 16 sectors, which must therefore be free.
    if (uint64_t{first.usedSectors()} + 16 > first.recordedSectors()) {
        throw std::invalid_argument("layer 0 uses " + std::to_string(first.usedSectors()) +
                                    " of its " + std::to_string(first.recordedSectors()) +
                                    " sectors; its last 16 sectors must be free");
    }
    layer0.writeTo(path);
    const uint64_t base = uint64_t{first.recordedSectors()} * kSectorSize - kSystemAreaBytes;
    OpenFile file(path, O_WRONLY);
    layer1.writeAt(file.fd(), base);
    file.resize(base + uint64_t{layer1.volumeSectors()} * kSectorSize);
    file.close();
}

}  // namespace kestrel::isobuilder
