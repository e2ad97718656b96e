// Runs kestrel-cli as a child process, as a script would: arguments in, stdout, stderr and the
// exit status out, standard input closed.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::test {

struct CliRun {
    int status = -1;  // the exit status; -1 when the program did not exit (a crash)
    std::string out;
    std::string err;
    long peakKilobytes = 0;  // the most memory it held at once (its peak resident set)

    nlohmann::json json() const { return nlohmann::json::parse(out); }
};

// With `fileSizeLimit`, the child may write no file past that byte, as under `ulimit -f`.
CliRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                  std::optional<uint64_t> fileSizeLimit = std::nullopt);
inline CliRun runCli(const std::vector<std::string>& arguments,
                     std::optional<uint64_t> fileSizeLimit = std::nullopt) {
    return runProgram(KESTREL_CLI, arguments, fileSizeLimit);
}

}  // namespace kestrel::test
