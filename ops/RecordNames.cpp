#include "ops/RecordNames.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

#include "image/ListedFiles.h"
#include "image/PathTable.h"

namespace kestrel {

namespace {

constexpr size_t kLevelOneName = 8;
constexpr size_t kLevelOneExtension = 3;
constexpr size_t kLevelTwoLength = 30;
constexpr size_t kLevelFourLength = 207;
constexpr uint64_t kSectorBytes = 2048;
constexpr uint32_t kFirstDescriptorLba = 16;
constexpr uint32_t kMostDescriptors = 64;
constexpr uint8_t kSupplementaryDescriptor = 2;
constexpr uint8_t kTerminator = 255;
constexpr uint8_t kEnhancedVersion = 2;

bool isDCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool allDCharacters(std::string_view text) {
    return std::ranges::all_of(text, isDCharacter);
}

// A name's part before its one dot, and after it.
struct SplitName {
    std::string_view name;
    std::string_view extension;
    bool dotted = false;
};

SplitName split(std::string_view identifier) {
    const size_t version = identifier.rfind(';');
    const std::string_view whole = identifier.substr(0, version);
    const size_t dot = whole.find('.');
    if (dot == std::string_view::npos) {
        return {whole, {}, false};
    }
    return {whole.substr(0, dot), whole.substr(dot + 1), true};
}

std::string mapped(std::string_view text, size_t most) {
    std::string out;
    for (const char c : text) {
        if (out.size() == most) {
            break;
        }
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        out += isDCharacter(upper) ? upper : '_';
    }
    return out;
}

std::optional<std::string> whyNot(const std::string& name, NameLevel level) {
    if (name.empty() || name == "." || name == "..") {
        return "a name of its own";
    }
    if (level == NameLevel::Four) {
        if (name.size() > kLevelFourLength) {
            return "at most 207 bytes";
        }
        if (name.find_first_of(std::string_view("/\0;", 3)) != std::string::npos) {
            return "no / ; or NUL";
        }
        return std::nullopt;
    }
    const SplitName parts = split(name);
    if (name.find(';') != std::string::npos || std::ranges::count(name, '.') > 1 ||
        !allDCharacters(parts.name) || !allDCharacters(parts.extension) ||
        (parts.name.empty() && parts.extension.empty())) {
        return "only A-Z, 0-9 and _, with at most one dot";
    }
    if (level == NameLevel::One &&
        (parts.name.size() > kLevelOneName || parts.extension.size() > kLevelOneExtension)) {
        return "at most 8 characters, a dot and 3 more";
    }
    if (name.size() > kLevelTwoLength) {
        return "at most 30 characters, the dot included";
    }
    return std::nullopt;
}

Result<bool> hasEnhancedDescriptor(const ImageSource& image) {
    std::array<uint8_t, 7> head{};
    for (uint32_t lba = kFirstDescriptorLba; lba < kFirstDescriptorLba + kMostDescriptors; ++lba) {
        const auto read = image.readAt(lba * kSectorBytes, head);
        if (!read) {
            return read.error();
        }
        if (*read < head.size() ||
            !std::ranges::equal(std::span(head).subspan(1, 5), std::string_view("CD001")) ||
            head[0] == kTerminator) {
            return false;
        }
        if (head[0] == kSupplementaryDescriptor && head[6] == kEnhancedVersion) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string fittingName(const std::string& name, NameLevel level) {
    const size_t dot = name.rfind('.');
    const std::string_view stem = std::string_view(name).substr(0, dot);
    const std::string_view extension =
        dot == std::string::npos ? std::string_view() : std::string_view(name).substr(dot + 1);
    const size_t stemMost = level == NameLevel::One
                                ? kLevelOneName
                                : kLevelTwoLength - 1 - std::min<size_t>(extension.size(), 3);
    std::string fitting = mapped(stem.empty() ? "_" : stem, stemMost);
    if (!extension.empty()) {
        fitting +=
            "." + mapped(extension, level == NameLevel::One ? kLevelOneExtension
                                                            : kLevelTwoLength - 1 - fitting.size());
    }
    return fitting;
}

bool breaksLevelOne(std::string_view name) {
    const SplitName parts = split(name);
    return parts.name.size() > kLevelOneName || parts.extension.size() > kLevelOneExtension ||
           !allDCharacters(parts.name) || !allDCharacters(parts.extension);
}

Result<NameLevel> volumeNameLevel(const ImageSource& image, const Volume& volume) {
    const auto enhanced = hasEnhancedDescriptor(image);
    if (!enhanced) {
        return enhanced.error();
    }
    if (*enhanced) {
        return NameLevel::Four;
    }
    // The root's identifier is a single byte that no rule covers.
    for (size_t i = 1; i < volume.directories.size(); ++i) {
        if (breaksLevelOne(volume.directories[i].identifier)) {
            return NameLevel::Two;
        }
    }
    bool longer = false;
    for (const auto& directory : volume.directories) {
        if (directory.sameAs != 0) {
            continue;
        }
        auto walked = walkRecordViews(image, placeOf(directory), volume.listingStart,
                                      [&longer](const RecordView& view) {
                                          longer = breaksLevelOne(view.identifier());
                                          return longer ? WalkStep::Stop : WalkStep::Continue;
                                      });
        if (!walked) {
            return walked.error();
        }
        if (longer) {
            return NameLevel::Two;
        }
    }
    return NameLevel::One;
}

std::string nameRuleText(NameLevel level) {
    switch (level) {
        case NameLevel::One:
            return "level 1: up to 8 characters, a dot and 3 more, of A-Z, 0-9 and _";
        case NameLevel::Two:
            return "level 2: up to 30 characters of A-Z, 0-9 and _, with at most one dot";
        case NameLevel::Four:
            return "ISO 9660:1999: up to 207 bytes, without / or ;";
    }
    return {};
}

Result<std::string> fileIdentifierFor(const std::string& name, NameLevel level) {
    if (const auto why = whyNot(name, level)) {
        const std::string fitting = fittingName(name, level);
        return Error{ErrorKind::InvalidInput,
                     "\"" + name + "\" does not fit this image's ISO 9660 names (" +
                         nameRuleText(level) + "; it needs " + *why +
                         "); give the name it is to have with --name, such as --name " + fitting +
                         ". Nothing was written"};
    }
    if (level == NameLevel::Four) {
        return name;
    }
    // The dot that ends a name stands even where no extension follows, as makers write it.
    return name + (name.find('.') == std::string::npos ? ".;1" : ";1");
}

int compareIdentifiers(std::string_view a, std::string_view b) {
    const SplitName left = split(a);
    const SplitName right = split(b);
    const auto padded = [](std::string_view x, std::string_view y) {
        for (size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
            const auto cx = static_cast<unsigned char>(i < x.size() ? x[i] : ' ');
            const auto cy = static_cast<unsigned char>(i < y.size() ? y[i] : ' ');
            if (cx != cy) {
                return cx < cy ? -1 : 1;
            }
        }
        return 0;
    };
    if (const int byName = padded(left.name, right.name); byName != 0) {
        return byName;
    }
    if (const int byExtension = padded(left.extension, right.extension); byExtension != 0) {
        return byExtension;
    }
    // The higher version first; versions are numbers, so the shorter is padded in front.
    const auto version = [](std::string_view identifier) {
        const size_t separator = identifier.rfind(';');
        return separator == std::string_view::npos ? std::string_view()
                                                   : identifier.substr(separator + 1);
    };
    const std::string_view va = version(a);
    const std::string_view vb = version(b);
    const size_t width = std::max(va.size(), vb.size());
    return -padded(std::string(width - va.size(), ' ') + std::string(va),
                   std::string(width - vb.size(), ' ') + std::string(vb));
}

}  // namespace kestrel
