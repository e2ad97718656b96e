// info: what the image is, what it carries, and the state of its undo journal.
#include <iostream>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "image/DiscKind.h"
#include "image/DualLayer.h"
#include "image/IsoLayout.h"
#include "image/NameText.h"
#include "journal/EditSummary.h"

namespace kestrel::cli {

namespace {

struct InfoArguments {
    std::string image;
};

int runInfo(const InfoArguments& arguments, const CommonOptions& options) {
    const std::string command = "info";
    auto session = openImage(arguments.image, 0);
    auto dualLayer = !session ? Result<bool>(session.error())
                     : session->mayHaveSecondLayer()
                         ? hasLayerOneDescriptor(session->presentedSource(), session->layer0Bytes())
                         : Result<bool>(false);
    if (!dualLayer) {
        return refuse(options, command, dualLayer.error());
    }
    const Volume& volume = session->volume();
    const std::string layout = volume.udfOnly                       ? "udf"
                               : volume.layout == LayoutKind::Fixed ? "fixed"
                                                                    : "descriptor";
    const std::string kind = discKindText(volume, *dualLayer, false);
    const auto& journal = session->journal();
    const auto history =
        journal ? journal->history() : Result<std::vector<JournalEntry>>(journal.error());
    const auto last =
        journal ? journal->lastUndoable() : Result<std::optional<JournalEntry>>(journal.error());
    const std::string undoable = last && *last ? describeEdit((*last)->summary) + ", made " +
                                                     madeAtText((*last)->summary.madeAt)
                                               : "";
    if (options.json) {
        auto document = jsonDocument(command);
        document["image"] = arguments.image;
        document["label"] = utf8FromImageBytes(volume.label);
        document["layout"] = layout;
        document["discKind"] = kind;
        document["layers"] = *dualLayer ? 2 : 1;
        document["volumeSectors"] = volume.volumeSectors;
        document["features"] = {{"joliet", volume.features.joliet},
                                {"rockRidge", volume.features.rockRidge},
                                {"elTorito", volume.features.elTorito},
                                {"udf", volume.features.udf}};
        document["journal"] =
            history ? nlohmann::json{{"entries", history->size()}, {"undoable", undoable}}
                    : nlohmann::json{{"error", history.error().message}};
        printJson(document);
        return kDone;
    }
    std::cout << "Image:   " << shownText(arguments.image) << '\n'
              << "Label:   " << shownName(volume.label) << '\n'
              << "Layout:  " << layout << '\n'
              << "Disc:    " << kind << '\n'
              << "Layers:  " << (*dualLayer ? 2 : 1) << '\n'
              << "Volume:  " << volume.volumeSectors << " sectors ("
              << formatBytes(uint64_t{volume.volumeSectors} * kSectorSize) << ")\n"
              << "Carries: " << (volume.udfOnly ? kind : carriedText(volume.features)) << '\n';
    if (!history) {
        std::cout << "Journal: " << shownMessage(history.error().message) << '\n';
    } else {
        std::cout << "Journal: " << history->size()
                  << (history->size() == 1 ? " entry" : " entries")
                  << (undoable.empty() ? ", nothing to undo"
                                       : "; undo reverts " + shownMessage(undoable))
                  << '\n';
    }
    return kDone;
}

}  // namespace

Command addInfoCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<InfoArguments>();
    auto* parser = app.add_subcommand("info", "Say what the image is and what it carries");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    return {parser, [arguments, &options] { return runInfo(*arguments, options); }};
}

}  // namespace kestrel::cli
