// Small file helpers shared by the tests: a private temporary folder, whole-file reads for
// before/after comparisons, raw byte patches for crafting bad images, and witness commands.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<uint8_t> readFileBytes(const std::string& path);
std::string readBytesAt(const std::string& path, uint64_t offset, size_t count);
void writeFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void overwriteBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
// What a file must hold after an edit: `before` with `bytes` at `offset`, nothing else.
inline std::vector<uint8_t> withBytesAt(std::vector<uint8_t> before, uint64_t offset,
                                        const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), before.begin() + static_cast<std::ptrdiff_t>(offset));
    return before;
}

// Runs a shell command and returns what it printed, or nothing when it failed.
std::optional<std::string> commandOutput(const std::string& command);
bool haveCommand(const std::string& name);

}  // namespace kestrel::test
