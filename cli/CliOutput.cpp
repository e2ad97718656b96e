#include "cli/CliOutput.h"

#include <iostream>

#include "image/NameText.h"

namespace kestrel::cli {

namespace {

const char* kindName(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Io:
            return "io";
        case ErrorKind::CorruptImage:
            return "corrupt-image";
        case ErrorKind::NotFound:
            return "not-found";
        case ErrorKind::Changed:
            return "changed";
        case ErrorKind::OutOfRange:
            return "out-of-range";
        case ErrorKind::InvalidInput:
            return "invalid-input";
    }
    return "io";
}

int report(const CommonOptions& options, const std::string& command, const char* kind,
           const std::string& message, int status) {
    // A message may quote a name from the image, bytes that need not be UTF-8.
    const std::string shown = shownMessage(message);
    std::cerr << "kestrel-cli " << command << ": " << shown << '\n';
    if (options.json) {
        auto document = jsonDocument(command);
        document["error"] = {{"kind", kind}, {"message", shown}};
        printJson(document);
    }
    return status;
}

}  // namespace

nlohmann::json jsonDocument(const std::string& command) {
    return {{"schema", kJsonSchemaVersion}, {"command", command}};
}

void printJson(const nlohmann::json& document) {
    std::cout << document.dump(2, ' ', true, nlohmann::json::error_handler_t::replace) << '\n';
}

int refuse(const CommonOptions& options, const std::string& command, const Error& error) {
    return report(options, command, kindName(error.kind), error.message, kRefused);
}

int refuseUsage(const CommonOptions& options, const std::string& command,
                const std::string& message) {
    return report(options, command, "usage", message, kBadUsage);
}

}  // namespace kestrel::cli
