#include "io/CueSheet.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <optional>
#include <sstream>
#include <vector>

#include "io/ImageFile.h"

namespace kestrel {

namespace {

// Real sheets are a few kilobytes; anything far larger is not one.
constexpr uint64_t kMostSheetBytes = uint64_t{1} << 16;
constexpr uint64_t kFramesPerSecond = 75;

struct CueTrack {
    std::string line;  // as the sheet has it, for refusals
    std::string number;
    std::string type;
    size_t file = 0;  // into the sheet's files
    std::optional<uint64_t> index0;
    std::optional<uint64_t> index1;
};

struct CueFile {
    std::string line;
    std::string name;
    std::string type;
};

struct ParsedSheet {
    std::vector<CueFile> files;
    std::vector<CueTrack> tracks;
};

std::string upper(std::string text) {
    std::ranges::transform(text, text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// A line quoted in a refusal, without the blanks around it, so a word it lacks shows.
std::string asWritten(const std::string& line) {
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    return "\"" + (first == std::string::npos ? "" : line.substr(first, last - first + 1)) + "\"";
}

// "mm:ss:ff", at most six digits of minutes, as frames.
std::optional<uint64_t> parseMsf(const std::string& text) {
    unsigned long long minutes = 0;
    unsigned seconds = 0;
    unsigned frames = 0;
    char colon1 = 0;
    char colon2 = 0;
    std::istringstream in(text);
    const auto firstColon = text.find(':');
    if (firstColon == std::string::npos || firstColon == 0 || firstColon > 6 ||
        !std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isdigit(c) || c == ':'; }) ||
        !(in >> minutes >> colon1 >> seconds >> colon2 >> frames) || colon1 != ':' ||
        colon2 != ':' || !in.eof() || seconds >= 60 || frames >= kFramesPerSecond) {
        return std::nullopt;
    }
    return (minutes * 60 + seconds) * kFramesPerSecond + frames;
}

Error badSheet(const std::string& cuePath, size_t line, const std::string& why) {
    return Error{ErrorKind::CorruptImage, "The cue sheet " + cuePath + " cannot be read at line " +
                                              std::to_string(line) + ": " + why};
}

// A FILE's name: quoted, or one word.
std::string fileName(std::istringstream& words) {
    std::string name;
    words >> std::ws;
    if (words.peek() == '"') {
        words.get();
        std::getline(words, name, '"');
    } else {
        words >> name;
    }
    return name;
}

Result<ParsedSheet> parseSheet(const std::string& cuePath, const std::string& text) {
    ParsedSheet sheet;
    std::istringstream lines(text);
    std::string line;
    for (size_t number = 1; std::getline(lines, line); ++number) {
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        keyword = upper(keyword);
        if (keyword == "FILE") {
            CueFile file;
            file.name = fileName(words);
            words >> file.type;
            if (file.name.empty()) {
                return badSheet(cuePath, number, "FILE names no file");
            }
            sheet.files.push_back({asWritten(line), file.name, upper(file.type)});
        } else if (keyword == "TRACK") {
            CueTrack track;
            track.line = asWritten(line);
            words >> track.number >> track.type;
            if (sheet.files.empty()) {
                return badSheet(cuePath, number, "a TRACK comes before any FILE");
            }
            track.type = upper(track.type);
            track.file = sheet.files.size() - 1;
            sheet.tracks.push_back(track);
        } else if (keyword == "INDEX") {
            std::string index;
            std::string position;
            words >> index >> position;
            const auto frames = parseMsf(position);
            if (sheet.tracks.empty() || !frames) {
                return badSheet(cuePath, number,
                                sheet.tracks.empty()
                                    ? "an INDEX comes before any TRACK"
                                    : "\"" + position + "\" is not a position mm:ss:ff");
            }
            if (index == "00" || index == "0") {
                sheet.tracks.back().index0 = frames;
            } else if (index == "01" || index == "1") {
                sheet.tracks.back().index1 = frames;
            }
        }
    }
    return sheet;
}

Result<std::string> readSheetText(const std::string& cuePath) {
    auto file = ImageFile::openForReading(cuePath);
    if (!file) {
        return file.error();
    }
    const auto size = file->size();
    if (!size) {
        return size.error();
    }
    if (*size > kMostSheetBytes) {
        return Error{ErrorKind::CorruptImage, cuePath + " is " + std::to_string(*size) +
                                                  " bytes long, too long for a cue sheet"};
    }
    std::string text(*size, '\0');
    const auto read = file->readAt(0, std::span(reinterpret_cast<uint8_t*>(text.data()), *size));
    if (!read) {
        return read.error();
    }
    text.resize(*read);
    // Sheets written on Windows often start with a UTF-8 byte order mark.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.erase(0, 3);
    }
    return text;
}

bool isDataTrack(const std::string& type) {
    return type == "MODE1/2352" || type == "MODE2/2352";
}

std::string trackList(const ParsedSheet& sheet) {
    std::string list;
    for (const auto& track : sheet.tracks) {
        list += (list.empty() ? "" : ", ") + track.line;
    }
    return list.empty() ? "none" : list;
}

// The file a track's sheet names, beside the sheet; the sheet itself is not one.
Result<std::string> dataFilePath(const std::string& cuePath, const std::string& name) {
    if (name.find('/') != std::string::npos || name == "." || name == "..") {
        return Error{ErrorKind::CorruptImage, "The cue sheet " + cuePath + " names \"" + name +
                                                  "\", which is not a file beside it"};
    }
    const auto path = (std::filesystem::path(cuePath).parent_path() / name).string();
    const auto sheet = identityAt(cuePath);
    const auto named = identityAt(path);
    if (!named) {
        return Error{ErrorKind::NotFound,
                     "The cue sheet " + cuePath +
                         " names a file that cannot be opened: " + named.error().message};
    }
    if (sheet && *sheet == *named) {
        return Error{ErrorKind::CorruptImage,
                     "The cue sheet " + cuePath + " names itself as its data file"};
    }
    return path;
}

}  // namespace

Result<ImageContainer> readCueSheet(const std::string& cuePath) {
    const auto text = readSheetText(cuePath);
    if (!text) {
        return text.error();
    }
    const auto sheet = parseSheet(cuePath, *text);
    if (!sheet) {
        return sheet.error();
    }
    const auto data = std::ranges::find_if(
        sheet->tracks, [](const CueTrack& track) { return isDataTrack(track.type); });
    if (data == sheet->tracks.end()) {
        return Error{ErrorKind::CorruptImage,
                     "The cue sheet " + cuePath +
                         " has no MODE1/2352 or MODE2/2352 track to open (its tracks: " +
                         trackList(*sheet) + ")"};
    }
    const auto& file = sheet->files[data->file];
    if (file.type != "BINARY") {
        return Error{ErrorKind::CorruptImage, "The cue sheet " + cuePath +
                                                  " names its data file in the line " + file.line +
                                                  "; only BINARY data files can be opened"};
    }
    if (!data->index1) {
        return Error{ErrorKind::CorruptImage,
                     "The cue sheet " + cuePath + " gives track " + data->number + " no INDEX 01"};
    }
    auto path = dataFilePath(cuePath, file.name);
    if (!path) {
        return path.error();
    }
    auto image = ImageFile::openForReading(*path);
    if (!image) {
        return image.error();
    }
    const auto size = image->size();
    if (!size) {
        return size.error();
    }
    const uint64_t start = *data->index1 * kRawSectorSize;
    uint64_t end = *size;
    const auto next = data + 1;
    if (next != sheet->tracks.end() && next->file == data->file) {
        end = std::min(end, next->index0.value_or(next->index1.value_or(0)) * kRawSectorSize);
    }
    const auto where = "track " + data->number + " of " + cuePath;
    if (start >= end) {
        return Error{ErrorKind::CorruptImage, where + " starts at byte " + std::to_string(start) +
                                                  ", beyond the end of its data (byte " +
                                                  std::to_string(end) + " of " + *path + ")"};
    }
    if (end == *size && (end - start) % kRawSectorSize != 0) {
        return Error{ErrorKind::CorruptImage, where + " ends in a cut-short sector: " + *path +
                                                  " is " + std::to_string(*size) +
                                                  " bytes long, not a whole number of 2352-byte "
                                                  "sectors from the track's start"};
    }
    const auto mode = static_cast<uint8_t>(data->type[4] - '0');
    return ImageContainer{*path, RawLayout{start, (end - start) / kRawSectorSize, mode}, cuePath};
}

}  // namespace kestrel
