// Runs the remedy command as users do and collects its output and exit status.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fixtures/bytes.h"

namespace clitest {

struct Outcome {
    int status = -1;
    std::string out, err;
};

inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the command with `arguments` (already quoted) and an optional environment prefix.
inline Outcome remedy(const fixtures::TempDir& dir, const std::string& arguments, const std::string& environment = "") {
    const auto out = dir.file("stdout"), err = dir.file("stderr");
    const std::string command = environment + " " + quote(REMEDY_CLI_PATH) + " " + arguments + " >" +
                                quote(out.string()) + " 2>" + quote(err.string());
    int raw = std::system(command.c_str());
    Outcome run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

// The quarantine entries in `dir` that hold originals (not their .json records), by name.
inline std::vector<std::filesystem::path> quarantinedFiles(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() != ".json") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace clitest
