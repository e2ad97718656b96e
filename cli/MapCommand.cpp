// map: every extent of a volume in LBA order, with the gaps; whois: whose a sector is.
#include <cstdio>
#include <iostream>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "image/ExtentMap.h"
#include "image/NameText.h"
#include "ops/ModifyToc.h"

namespace kestrel::cli {

namespace {

struct MapArguments {
    std::string image;
    unsigned layer = 0;
    std::vector<std::string> lbas;
};

Result<ExtentMap> mapImage(const MapArguments& arguments) {
    auto session = openImage(arguments.image, arguments.layer);
    if (!session) {
        return session.error();
    }
    return mapVolume(session->presentedSource(), session->volume());
}

nlohmann::json extentJson(const MappedExtent& extent) {
    nlohmann::json json{
        {"lba", extent.lba}, {"sectors", extent.sectors}, {"kind", extentKindName(extent.kind)}};
    if (extent.kind == ExtentKind::File) {
        auto owners = nlohmann::json::array();
        for (const auto& owner : extent.owners) {
            // Joliet and UDF paths are text already; ISO 9660 ones are the image's bytes.
            const bool text = owner.joliet || owner.udf;
            owners.push_back({{"path", text ? owner.path : utf8FromImageBytes(owner.path)},
                              {"tree", owner.joliet ? "joliet"
                                       : owner.udf  ? "udf"
                                                    : "iso9660"},
                              {"longName", owner.longName},
                              {"size", owner.size}});
        }
        json["files"] = std::move(owners);
        json["shared"] = extent.shared;
    } else if (extent.kind != ExtentKind::Gap) {
        json["what"] = extent.udf ? extent.what : utf8FromImageBytes(extent.what);
    }
    return json;
}

int runMap(const MapArguments& arguments, const CommonOptions& options) {
    const auto map = mapImage(arguments);
    if (!map) {
        return refuse(options, "map", map.error());
    }
    if (options.json) {
        auto extents = nlohmann::json::array();
        for (const auto& extent : map->extents) {
            extents.push_back(extentJson(extent));
        }
        auto document = jsonDocument("map");
        document["image"] = arguments.image;
        document["layer"] = arguments.layer;
        document["volumeSectors"] = map->volumeSectors;
        document["extents"] = std::move(extents);
        printJson(document);
        return kDone;
    }
    std::printf("%10s %10s  %-12s %s\n", "LBA", "Sectors", "Kind", "What");
    for (const auto& extent : map->extents) {
        std::printf("%10u %10llu  %-12s %s\n", extent.lba,
                    static_cast<unsigned long long>(extent.sectors), extentKindName(extent.kind),
                    extentText(extent).c_str());
    }
    return kDone;
}

int runWhois(const MapArguments& arguments, const CommonOptions& options) {
    const std::string command = "whois";
    std::vector<uint32_t> lbas;
    for (const auto& text : arguments.lbas) {
        const auto lba = parseTocValue(text, {0, UINT32_MAX});
        if (!lba) {
            return refuseUsage(options, command, "LBA " + lba.error().message);
        }
        lbas.push_back(static_cast<uint32_t>(*lba));
    }
    const auto map = mapImage(arguments);
    if (!map) {
        return refuse(options, command, map.error());
    }
    auto answers = nlohmann::json::array();
    for (const uint32_t lba : lbas) {
        auto holders = nlohmann::json::array();
        for (const auto& extent : extentsHolding(*map, lba)) {
            holders.push_back(extentJson(extent));
        }
        if (!options.json) {
            for (const auto& line : whoisLines(*map, lba)) {
                std::cout << line << '\n';
            }
        }
        answers.push_back({{"lba", lba}, {"holders", std::move(holders)}});
    }
    if (options.json) {
        auto document = jsonDocument(command);
        document["image"] = arguments.image;
        document["layer"] = arguments.layer;
        document["sectors"] = std::move(answers);
        printJson(document);
    }
    return kDone;
}

CLI::App* addMapParser(CLI::App& app, const char* name, const char* description,
                       MapArguments& arguments) {
    auto* parser = app.add_subcommand(name, description);
    parser->add_option("IMAGE", arguments.image, "The image")->required();
    parser->add_option("--layer", arguments.layer, "The layer of a dual-layer image, 0 or 1")
        ->check(CLI::Range(0, 1));
    return parser;
}

}  // namespace

std::vector<Command> addMapCommands(CLI::App& app, const CommonOptions& options) {
    auto map = std::make_shared<MapArguments>();
    auto* mapParser =
        addMapParser(app, "map", "List every extent of the volume in LBA order", *map);
    auto whois = std::make_shared<MapArguments>();
    auto* whoisParser =
        addMapParser(app, "whois", "Say which file or structure holds sectors", *whois);
    whoisParser->add_option("LBA", whois->lbas, "Sectors of the volume")->required();
    return {{mapParser, [map, &options] { return runMap(*map, options); }},
            {whoisParser, [whois, &options] { return runWhois(*whois, options); }}};
}

}  // namespace kestrel::cli
