#include "journal/UndoLimits.h"

#include <sys/statvfs.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "journal/EditSummary.h"
#include "journal/EntryRecords.h"
#include "journal/StateFolder.h"

namespace kestrel {

namespace {

// Beside the old bytes, a journal entry keeps 17 bytes of checksums for each 2048-byte block.
constexpr uint64_t kJournalBytesPerBlock = 17;
// Then a first record, a mark at the end, and a 57-byte head for each range it saves: one for
// a file of up to 16 MiB, one for each 16 MiB of a larger one. 64 KiB covers those, and the
// part blocks at the files' ends, for an edit of up to a thousand files.
constexpr uint64_t kJournalRecordsAllowance = uint64_t{64} << 10;

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

}  // namespace

std::string undoLimitsPath() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string folder =
        config != nullptr && config[0] == '/' ? std::string(config) : homeFolder() + "/.config";
    return folder + "/kestrel/undo.conf";
}

std::optional<uint64_t> parseByteCount(const std::string& text) {
    const std::string value = trimmed(text);
    size_t digits = 0;
    uint64_t number = 0;
    while (digits < value.size() && std::isdigit(static_cast<unsigned char>(value[digits]))) {
        if (number > (UINT64_MAX - 9) / 10) {
            return std::nullopt;
        }
        number = number * 10 + static_cast<uint64_t>(value[digits++] - '0');
    }
    if (digits == 0 || value.size() - digits > 1) {
        return std::nullopt;
    }
    if (digits == value.size()) {
        return number;
    }
    const std::string units = "KMGT";
    const auto unit = units.find(static_cast<char>(std::toupper(value.back())));
    if (unit == std::string::npos) {
        return std::nullopt;
    }
    const unsigned shift = 10 * static_cast<unsigned>(unit + 1);
    if (number > (UINT64_MAX >> shift)) {
        return std::nullopt;
    }
    return number << shift;
}

UndoLimits loadUndoLimits() {
    UndoLimits limits;
    std::ifstream file(undoLimitsPath());
    for (std::string line; std::getline(file, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = trimmed(line.substr(0, equals));
        const auto value = parseByteCount(line.substr(equals + 1));
        if (value && key == "edit-limit") {
            limits.editBytes = *value;
        } else if (value && key == "total-limit") {
            limits.totalBytes = *value;
        }
    }
    return limits;
}

UndoRoom undoRoomFor(uint64_t dataBytes, const std::string& journalFolder,
                     const UndoLimits& limits) {
    if (dataBytes > limits.editBytes) {
        return {false, "It rewrites " + formatBytes(dataBytes) + ", more than the " +
                           formatBytes(limits.editBytes) +
                           " Kestrel keeps for undoing one edit "
                           "(edit-limit in " +
                           undoLimitsPath() + ")"};
    }
    if (dataBytes == 0) {
        return {};
    }
    // The folder is made with the first edit; until then its nearest folder tells.
    std::filesystem::path folder(journalFolder);
    struct statvfs space {};
    while (::statvfs(folder.c_str(), &space) != 0) {
        if (!folder.has_relative_path()) {
            return {};
        }
        folder = folder.parent_path();
    }
    const uint64_t available = uint64_t{space.f_bavail} * space.f_frsize;
    const uint64_t blocks = (dataBytes + kJournalBlockSize - 1) / kJournalBlockSize;
    const uint64_t needed = dataBytes + blocks * kJournalBytesPerBlock + kJournalRecordsAllowance;
    if (needed > available) {
        return {false, "Keeping its old bytes for undo needs up to " + formatBytes(needed) +
                           ", and " + journalFolder + " has " + formatBytes(available) + " free"};
    }
    return {};
}

}  // namespace kestrel
