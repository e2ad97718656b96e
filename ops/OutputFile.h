// A file that extraction writes outside the image. Where a file of that name is already
// there, it is written under a new temporary name in the same folder and put in place under
// its own name only once complete, so a file that fails leaves the older file as it was; a
// free name is written at once. A file that fails is removed. It never replaces a symbolic
// link, a device, a pipe or a folder of that name, nor the image it reads from. Every name is
// taken in the folder's descriptor, never along a path, and no link is followed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "io/Result.h"
#include "ops/OutputFolder.h"

namespace kestrel {

class OutputFile {
public:
    // Starts the file that is to become `name` in `folder`, unless what has that name may not
    // be replaced: anything but a regular file, or one of `protectedFiles`. The file must not
    // outlive the folder.
    static Result<OutputFile> create(const OutputFolder& folder, const std::string& name,
                                     const std::vector<std::string>& protectedFiles);

    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    Result<void> write(std::span<const uint8_t> bytes);
    // Appends `length` bytes of the open file `source`, `sourcePath`, from `offset`: copied
    // by the kernel, file to file, where the file systems let it, else read and written.
    Result<void> copyFrom(int source, const std::string& sourcePath, uint64_t offset,
                          uint64_t length);
    // Whether the file is to replace an older one of its name, which stays until commit.
    bool replacesOlderFile() const { return !temporary_.empty(); }
    const std::string& path() const { return path_; }
    // Closes the file and puts it in place under its name, replacing an older file there;
    // when that fails, the file is discarded.
    Result<void> commit();
    // Closes and removes a file whose content is known to be wrong, and returns `why` it is
    // wrong, saying also when the file could not be removed.
    Error discard(Error why);
    // Closes and removes the file, which leaves an older file of its name as it was; an
    // error says where what was written stays.
    Result<void> removeWritten();

private:
    OutputFile(int descriptor, const OutputFolder& folder, std::string name, std::string temporary,
               std::vector<std::string> protectedFiles)
        : descriptor_(descriptor),
          folder_(folder.descriptor()),
          name_(std::move(name)),
          path_(folder.pathOf(name_)),
          temporary_(std::move(temporary)),
          temporaryPath_(folder.pathOf(temporary_)),
          protectedFiles_(std::move(protectedFiles)) {}

    int descriptor_ = -1;
    int folder_ = -1;  // the folder's, not closed here
    std::string name_;
    std::string path_;       // as messages name it
    std::string temporary_;  // empty when the file is written under its own name
    std::string temporaryPath_;
    std::vector<std::string> protectedFiles_;
};

}  // namespace kestrel
