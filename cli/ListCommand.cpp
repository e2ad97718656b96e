// ls: a directory's subdirectories and files, the files as the window lists them (Name, LBA,
// Size, Date, in the window's order) with their sectors and long names.
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <optional>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "image/NameText.h"
#include "image/VolumePaths.h"

namespace kestrel::cli {

namespace {

struct ListArguments {
    std::string image;
    std::string path = "/";
    bool recursive = false;
    unsigned layer = 0;
};

// One directory's entries, as they are printed or put into the JSON.
struct ListedDirectory {
    DirectoryNumber number = 0;
    std::vector<DirectoryNumber> subdirectories;
    std::vector<ListRow> files;
};

// "/DATA" for a repeat of /DATA; empty for a directory listed where it is.
std::string sameAsPath(const Volume& volume, DirectoryNumber number) {
    const DirectoryNumber repeated = volume.directories[number - 1].sameAs;
    return repeated == 0 ? "" : directoryPath(volume, repeated);
}

nlohmann::json fileJson(const Volume& volume, const ListRow& row) {
    nlohmann::json json{
        {"name", volume.nameText(row.name)}, {"lba", static_cast<int32_t>(row.extentLba)},
        {"size", row.totalLength},           {"date", row.dateModified},
        {"sectors", row.sectors()},          {"longName", row.longName}};
    if (!row.extents.empty()) {
        auto extents = nlohmann::json::array();
        for (const auto& extent : row.extents) {
            extents.push_back({{"lba", extent.lba}, {"size", extent.length}});
        }
        json["extents"] = std::move(extents);
    }
    if (!row.brokenChain.empty()) {
        json["brokenChain"] = row.brokenChain;
    }
    return json;
}

nlohmann::json directoryJson(const Volume& volume, const ListedDirectory& listed) {
    auto subdirectories = nlohmann::json::array();
    for (const DirectoryNumber child : listed.subdirectories) {
        const auto& directory = volume.directories[child - 1];
        nlohmann::json entry{{"name", volume.nameText(directory.identifier)},
                             {"path", volume.nameText(directoryPath(volume, child))},
                             {"lba", static_cast<int32_t>(directory.extentLba)}};
        if (const auto sameAs = sameAsPath(volume, child); !sameAs.empty()) {
            entry["sameAs"] = volume.nameText(sameAs);
        }
        subdirectories.push_back(std::move(entry));
    }
    auto files = nlohmann::json::array();
    for (const auto& row : listed.files) {
        files.push_back(fileJson(volume, row));
    }
    nlohmann::json json{{"path", volume.nameText(directoryPath(volume, listed.number))},
                        {"directories", std::move(subdirectories)},
                        {"files", std::move(files)}};
    if (const auto sameAs = sameAsPath(volume, listed.number); !sameAs.empty()) {
        json["sameAs"] = volume.nameText(sameAs);
    }
    return json;
}

// A directory holding a file of several extents has a column that counts them; others are
// printed as they always were.
void printRow(const std::string& name, const std::string& lba, const std::string& size,
              const std::string& date, const std::string& sectors,
              const std::optional<std::string>& extents, const std::string& longName) {
    std::printf("%-16s %11s %10s  %-19s %8s", name.c_str(), lba.c_str(), size.c_str(), date.c_str(),
                sectors.c_str());
    if (extents) {
        std::printf(" %7s", extents->c_str());
    }
    std::printf("  %s\n", longName.c_str());
}

void printDirectory(const Volume& volume, const ListedDirectory& listed, bool withHeading) {
    if (withHeading) {
        std::printf("%s:\n",
                    shownText(volume.nameText(directoryPath(volume, listed.number))).c_str());
    }
    if (const auto sameAs = sameAsPath(volume, listed.number); !sameAs.empty()) {
        std::printf("The same directory as %s, listed there\n",
                    shownText(volume.nameText(sameAs)).c_str());
        return;
    }
    const bool chained =
        std::ranges::any_of(listed.files, [](const ListRow& row) { return !row.extents.empty(); });
    const auto column = [chained](std::string text) {
        return chained ? std::optional(std::move(text)) : std::nullopt;
    };
    printRow("Name", "LBA", "Size", "Date", "Sectors", column("Extents"), "Long name");
    for (const DirectoryNumber child : listed.subdirectories) {
        const auto& directory = volume.directories[child - 1];
        const auto sameAs = sameAsPath(volume, child);
        printRow(shownText(volume.nameText(directory.identifier)) + "/",
                 std::to_string(static_cast<int32_t>(directory.extentLba)), "-", "-", "-",
                 column("-"),
                 sameAs.empty() ? "" : "same as " + shownText(volume.nameText(sameAs)));
    }
    for (const auto& row : listed.files) {
        // A UDF name beyond Latin-1 is its long name too, shown already.
        std::string note = row.longName == volume.nameText(row.name) ? "" : shownText(row.longName);
        if (!row.brokenChain.empty()) {
            note += (note.empty() ? "" : "  ") +
                    ("[chain of records broken: " + shownText(row.brokenChain) + "]");
        }
        printRow(shownText(volume.nameText(row.name)), row.lba, row.size, row.dateModified,
                 std::to_string(row.sectors()),
                 column(row.extents.empty() ? "" : std::to_string(row.extents.size())), note);
    }
}

int runList(const ListArguments& arguments, const CommonOptions& options) {
    const std::string command = "ls";
    auto session = openImage(arguments.image, arguments.layer);
    if (!session) {
        return refuse(options, command, session.error());
    }
    const Volume& volume = session->volume();
    auto target = resolveVolumePath(volume, imageBytesFromUtf8(arguments.path));
    if (!target) {
        return refuse(options, command, target.error());
    }
    // Directories in the order they are shown: each followed by its subdirectories' trees. A
    // repeat lists nothing and holds no subdirectories, so each extent is listed once.
    const auto subdirectories = subdirectoryIndex(volume.directories);
    std::vector<ListedDirectory> listed;
    std::vector<DirectoryNumber> pending{target->directory};
    while (!pending.empty()) {
        const DirectoryNumber number = pending.back();
        pending.pop_back();
        auto listing = session->listDirectory(number);
        if (!listing) {
            return refuse(options, command, listing.error());
        }
        ListedDirectory entry{number, subdirectories[number], std::move(listing->rows)};
        if (target->rowName) {
            std::erase_if(entry.files,
                          [&](const ListRow& row) { return row.name != *target->rowName; });
            if (entry.files.empty()) {
                return refuse(options, command,
                              Error{ErrorKind::NotFound, "no file or directory " + arguments.path +
                                                             " in " + arguments.image});
            }
            entry.subdirectories.clear();
        }
        for (auto child = entry.subdirectories.rbegin();
             arguments.recursive && child != entry.subdirectories.rend(); ++child) {
            if (volume.directories[*child - 1].sameAs == 0) {
                pending.push_back(*child);
            }
        }
        listed.push_back(std::move(entry));
    }
    if (options.json) {
        auto document = jsonDocument(command);
        document["image"] = arguments.image;
        document["layer"] = arguments.layer;
        auto directories = nlohmann::json::array();
        for (const auto& entry : listed) {
            directories.push_back(directoryJson(volume, entry));
        }
        document["listing"] = std::move(directories);
        printJson(document);
        return kDone;
    }
    for (size_t index = 0; index < listed.size(); ++index) {
        if (index > 0) {
            std::printf("\n");
        }
        printDirectory(volume, listed[index], arguments.recursive);
    }
    return kDone;
}

}  // namespace

Command addListCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<ListArguments>();
    auto* parser = app.add_subcommand("ls", "List a directory's subdirectories and files");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_option("PATH", arguments->path, "A directory or file in the image (/ by default)");
    parser->add_flag("-R,--recursive", arguments->recursive, "List every directory below too");
    parser->add_option("--layer", arguments->layer, "The layer of a dual-layer image, 0 or 1")
        ->check(CLI::Range(0, 1));
    return {parser, [arguments, &options] { return runList(*arguments, options); }};
}

}  // namespace kestrel::cli
