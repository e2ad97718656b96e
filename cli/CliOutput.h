// What every command shares on its way out: the exit statuses, the JSON document's envelope,
// and errors on stderr (and, for scripts, in the JSON on stdout).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "io/Result.h"

namespace kestrel::cli {

enum ExitStatus : int {
    kDone = 0,
    kRefused = 1,   // the image, a path or an edit was refused, or a file operation failed
    kBadUsage = 2,  // the arguments cannot be understood
};

// Raised with every change to the JSON documents that a script reading them would notice.
inline constexpr int kJsonSchemaVersion = 1;

// Options every command takes.
struct CommonOptions {
    bool json = false;
    bool noUndo = false;
};

// {"schema": 1, "command": "ls"}, to which a command adds its result.
nlohmann::json jsonDocument(const std::string& command);
// Writes `document` to stdout in ASCII, every other character as a \u escape, so that a
// document shown raw on a terminal carries no control byte. Names from the image are exact;
// a long name that is not UTF-8 has each invalid sequence replaced by U+FFFD, never refused.
void printJson(const nlohmann::json& document);

// "kestrel-cli ls: Cannot open /tmp/a.iso for reading: No such file or directory" on stderr,
// its control characters and bytes that are not UTF-8 escaped (shownMessage); in JSON mode
// also that line in the command's document on stdout. Returns kRefused.
int refuse(const CommonOptions& options, const std::string& command, const Error& error);
// The same for a refusal that is the caller's to fix; returns kBadUsage.
int refuseUsage(const CommonOptions& options, const std::string& command,
                const std::string& message);

}  // namespace kestrel::cli
