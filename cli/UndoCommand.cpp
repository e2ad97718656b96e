// undo: the journal's history, and the undo of the last edit in effect, as the window's Undo.
// It reads the image's file and its journal alone, never the volume, so that an edit that
// left the volume unreadable can be undone.
#include <iostream>

#include "cli/Command.h"
#include "journal/EditSummary.h"
#include "ops/ImageJournal.h"

namespace kestrel::cli {

namespace {

struct UndoArguments {
    std::string image;
    bool list = false;
};

const char* stateName(JournalEntry::State state) {
    switch (state) {
        case JournalEntry::State::InEffect:
            return "in-effect";
        case JournalEntry::State::Undone:
            return "undone";
        case JournalEntry::State::RolledBack:
            return "rolled-back";
        case JournalEntry::State::Incomplete:
            return "incomplete";
    }
    return "incomplete";
}

int listHistory(const Journal& journal, const CommonOptions& options) {
    const auto history = journal.history();
    if (!history) {
        return refuse(options, "undo", history.error());
    }
    if (options.json) {
        auto entries = nlohmann::json::array();
        for (const auto& entry : *history) {
            entries.push_back({{"id", entry.id},
                               {"state", stateName(entry.state)},
                               {"edit", describeEdit(entry.summary)},
                               {"madeAt", entry.summary.madeAt}});
        }
        auto document = jsonDocument("undo");
        document["history"] = std::move(entries);
        printJson(document);
        return kDone;
    }
    for (const auto& entry : *history) {
        std::cout << entry.id << '\t' << stateName(entry.state) << '\t'
                  << madeAtText(entry.summary.madeAt) << '\t' << describeEdit(entry.summary)
                  << '\n';
    }
    return kDone;
}

int runUndo(const UndoArguments& arguments, const CommonOptions& options) {
    const std::string command = "undo";
    auto image = ImageJournal::open(arguments.image);
    if (!image) {
        return refuse(options, command, image.error());
    }
    for (const auto& note : image->recoveryNotes()) {
        std::cerr << "kestrel-cli: " << note << '\n';
    }
    const auto& journal = image->journal();
    if (!journal) {
        return refuse(options, command, journal.error());
    }
    if (arguments.list) {
        return listHistory(*journal, options);
    }
    const auto last = journal->lastUndoable();
    if (!last) {
        return refuse(options, command, last.error());
    }
    if (!*last) {
        return refuse(options, command,
                      Error{ErrorKind::NotFound, journal->nothingToUndo(arguments.image)});
    }
    const std::string edit = describeEdit((*last)->summary);
    if (auto undone = image->undo((*last)->id); !undone) {
        return refuse(
            options, command,
            Error{undone.error().kind, edit + " was not undone: " + undone.error().message});
    }
    if (options.json) {
        auto document = jsonDocument(command);
        document["undone"] = {{"id", (*last)->id}, {"edit", edit}};
        printJson(document);
    } else {
        std::cout << "Undone: " << edit << '\n';
    }
    return kDone;
}

}  // namespace

Command addUndoCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<UndoArguments>();
    auto* parser = app.add_subcommand("undo", "Undo the image's last edit in effect");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_flag("--list", arguments->list, "List the journal's edits instead");
    return {parser, [arguments, &options] { return runUndo(*arguments, options); }};
}

}  // namespace kestrel::cli
