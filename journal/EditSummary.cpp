#include "journal/EditSummary.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace kestrel {

namespace {

const char* kindName(EditKind kind) {
    switch (kind) {
        case EditKind::Relink:
            return "Relink";
        case EditKind::ModifyToc:
            return "Modify TOC";
        case EditKind::Dummy:
            return "Dummy";
        case EditKind::Overwrite:
            return "Overwrite";
        case EditKind::Undo:
            return "Undo";
        case EditKind::Plan:
            return "Plan";
        case EditKind::Replace:
            return "Replace";
        case EditKind::Add:
            return "Add";
    }
    return "Edit";
}

}  // namespace

std::string formatBytes(uint64_t bytes) {
    if (bytes < 1000) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    constexpr std::array kUnits{"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    while (value >= 999.95 && unit + 1 < kUnits.size()) {
        value /= 1000;
        ++unit;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f %s", value, kUnits[unit]);
    return text.data();
}

std::string madeAtText(int64_t madeAt) {
    const auto when = static_cast<time_t>(madeAt);
    const time_t now = std::time(nullptr);
    std::tm made{};
    std::tm today{};
    localtime_r(&when, &made);
    localtime_r(&now, &today);
    const bool sameDay = made.tm_year == today.tm_year && made.tm_yday == today.tm_yday;
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), sameDay ? "%H:%M" : "%Y-%m-%d %H:%M", &made);
    return text.data();
}

std::string describeEdit(const EditSummary& summary) {
    std::string text = std::string(kindName(summary.kind)) + " of ";
    if (summary.kind == EditKind::Plan) {
        text += std::to_string(summary.fileCount) + (summary.fileCount == 1 ? " edit" : " edits");
    } else if (summary.kind == EditKind::Undo || summary.fileCount == 1) {
        text += summary.name;
    } else {
        text += std::to_string(summary.fileCount) + " files";
    }
    if (summary.dataBytes > 0 && summary.kind != EditKind::Undo) {
        text += ", " + formatBytes(summary.dataBytes);
    }
    return text;
}

}  // namespace kestrel
