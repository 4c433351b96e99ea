// remedy: scans files with the remedy module and repairs them on request.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "cli/commands.h"

namespace {

const char kUsage[] =
    "usage: remedy [--module PATH] scan [OPTIONS] PATH...\n"
    "       remedy [--module PATH] --version\n"
    "\n"
    "  scan          scan each file and directory tree; one line a file: \"PATH: OK\",\n"
    "                \"PATH: NAME 0xID FOUND (phase)\" (NAME is \"virus\" when unknown) or \"PATH: ERROR: ...\";\n"
    "                symbolic links are never followed\n"
    "  --no-recurse  scan only the files directly inside a named directory\n"
    "  --files-from FILE  also scan the paths in FILE, one a line (\"-\": standard input)\n"
    "  --json        one JSON object a line per file, then a {\"summary\":...} line\n"
    "  -j N          N parallel workers (default: one a core); output order stays the same\n"
    "  --no-summary  leave out the scan summary at the end\n"
    "  --clean       repair what is found; the original is replaced only after a successful repair\n"
    "  --quarantine  where originals are kept before a repair or removal\n"
    "                (default: $XDG_STATE_HOME/remedy/quarantine or ~/.local/state/remedy/quarantine)\n"
    "  --heuristics  run the unknown-virus units\n"
    "  --rules PATH  also scan with the signature rules in PATH (a .yar file, or a directory of\n"
    "                them); repeatable\n"
    "  --no-default-rules  leave out the rules that ship with remedy ($REMEDY_RULES_DIR, else\n"
    "                ../share/remedy/rules beside the remedy executable)\n"
    "  --module      the module to load (default: $REMEDY_MODULE, else ../lib/libremedy.so beside\n"
    "                the remedy executable)\n"
    "\n"
    "Exit status: 0 nothing found, 1 something found, 2 an error occurred.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "remedy: %s\n%s", message.c_str(), kUsage);
    return cli::kExitError;
}

std::string defaultModulePath() {
    if (const char* env = std::getenv("REMEDY_MODULE"); env && *env) return env;
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return "libremedy.so";
    return (self.parent_path() / ".." / "lib" / "libremedy.so").lexically_normal().string();
}

// The shipped rules; empty when $REMEDY_RULES_DIR is unset and nothing lies beside the command.
std::filesystem::path defaultRulesDir() {
    if (const char* env = std::getenv("REMEDY_RULES_DIR"); env && *env) return env;
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    std::filesystem::path dir = (self.parent_path() / ".." / "share" / "remedy" / "rules").lexically_normal();
    return std::filesystem::is_directory(dir, ec) ? dir : std::filesystem::path();
}

std::filesystem::path defaultQuarantine() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "remedy" / "quarantine";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "state" / "remedy" / "quarantine";
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    std::string modulePath = defaultModulePath();
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--module") == 0) {
        modulePath = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return usageError("no command given");
    const std::string command = argv[i++];
    if (command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return cli::kExitClean;
    }
    if (command == "--version" || command == "-V") return cli::runVersion(modulePath);
    if (command != "scan") return usageError("unknown command '" + command + "'");

    cli::ScanOptions options;
    bool defaultRules = true;
    bool optionsEnded = false;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            options.paths.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--clean") {
            options.clean = true;
        } else if (arg == "--heuristics") {
            options.heuristics = true;
        } else if (arg == "--no-recurse") {
            options.recurse = false;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--no-summary") {
            options.summary = false;
        } else if (arg == "--files-from" && i + 1 < argc) {
            options.filesFrom = argv[++i];
        } else if ((arg == "-j" || arg == "--jobs") && i + 1 < argc) {
            char* end = nullptr;
            const unsigned long jobs = std::strtoul(argv[++i], &end, 10);
            if (!end || *end || jobs == 0 || jobs > 256) return usageError("-j needs a number from 1 to 256");
            options.jobs = unsigned(jobs);
        } else if (arg == "--rules" && i + 1 < argc) {
            options.userRules.push_back(argv[++i]);
        } else if (arg == "--no-default-rules") {
            defaultRules = false;
        } else if (arg == "--quarantine" && i + 1 < argc) {
            options.quarantineDir = argv[++i];
        } else {
            return usageError("unknown option '" + arg + "'");
        }
    }
    if (options.paths.empty() && options.filesFrom.empty()) return usageError("scan needs at least one PATH");
    if (options.clean && options.quarantineDir.empty()) {
        options.quarantineDir = defaultQuarantine();
        if (options.quarantineDir.empty()) return usageError("--clean needs --quarantine DIR (no HOME)");
    }
    if (defaultRules) options.shippedRules = defaultRulesDir();
    return cli::runScan(modulePath, options);
}
