// Runs kestrel-cli as a child process, as a script would: arguments in, stdout, stderr and the
// exit status out, standard input closed.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kestrel::test {

struct CliRun {
    int status = -1;  // the exit status; -1 when the program did not exit (a crash)
    std::string out;
    std::string err;

    nlohmann::json json() const { return nlohmann::json::parse(out); }
};

CliRun runProgram(const std::string& program, const std::vector<std::string>& arguments);
inline CliRun runCli(const std::vector<std::string>& arguments) {
    return runProgram(KESTREL_CLI, arguments);
}

}  // namespace kestrel::test
