// remedy: scans files with the remedy module and repairs them on request.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/command_setup.h"
#include "cli/commands.h"
#include "cli/escaped_text.h"
#include "cli/help_text.h"
#include "cli/loaded_module.h"
#include "daemon/daemon_command.h"

namespace {

using cli::defaultQuarantine;
using cli::parseNumber;
using cli::parseSize;

int usageError(const std::string& message) {
    std::fprintf(stderr, "remedy: %s\n%s", cli::escapedText(message).c_str(), cli::kShortUsage);
    return cli::kExitError;
}

// Options of the repair commit, shared by scan and kill. True when `arg` was one of them.
bool commitOption(const std::string& arg, int argc, char** argv, int* i, host::CommitSettings* commit) {
    if (arg == "--no-backup") {
        commit->noBackup = true;
    } else if (arg == "--dry-run") {
        commit->dryRun = true;
    } else if (arg == "--quarantine" && *i + 1 < argc) {
        commit->quarantineDir = argv[++*i];
    } else {
        return false;
    }
    return true;
}

// The quarantine directory a commit needs: the one given, else the default. False when none.
bool settleQuarantine(host::CommitSettings* commit) {
    if (commit->noBackup || !commit->quarantineDir.empty()) return true;
    commit->quarantineDir = defaultQuarantine();
    return !commit->quarantineDir.empty();
}

int scanCommand(const std::string& modulePath, int argc, char** argv, int i) {
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
        } else if (arg == "--damaged") {
            options.damaged = true;
        } else if (arg == "--no-recurse") {
            options.recurse = false;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--no-summary") {
            options.summary = false;
        } else if ((arg == "--files-from" || arg == "--files-from0") && i + 1 < argc) {
            if (!options.filesFrom.empty()) return usageError("give one of --files-from and --files-from0, once");
            options.filesFrom = argv[++i];
            options.filesFromNul = arg == "--files-from0";
        } else if (arg == "--max-filesize" && i + 1 < argc) {
            if (!parseSize(argv[++i], &options.maxFileSize))
                return usageError("--max-filesize needs a size such as 50000, 512K, 100M or 2G");
        } else if (arg == "--max-memory" && i + 1 < argc) {
            if (!parseSize(argv[++i], &options.maxMemory))
                return usageError("--max-memory needs a size such as 512M or 2G");
        } else if (arg == "--alert-exceeds-max") {
            options.alertExceedsMax = true;
        } else if (arg == "--max-recursion" && i + 1 < argc) {
            uint32_t depth = 0;
            if (!parseNumber(argv[++i], &depth) || depth > 64) return usageError("--max-recursion needs a number from 0 to 64");
            options.archives.maxDepth = depth;
        } else if (arg == "--max-files" && i + 1 < argc) {
            uint32_t members = 0;
            if (!parseNumber(argv[++i], &members) || members == 0) return usageError("--max-files needs a number above 0");
            options.archives.maxMembers = members;
        } else if (arg == "--max-scansize" && i + 1 < argc) {
            if (!parseSize(argv[++i], &options.archives.maxUnpacked))
                return usageError("--max-scansize needs a size such as 512K, 400M or 2G");
        } else if (arg == "--max-ratio" && i + 1 < argc) {
            uint32_t ratio = 0;
            if (!parseNumber(argv[++i], &ratio)) return usageError("--max-ratio needs a number (0: no limit)");
            options.archives.maxRatio = ratio;
        } else if (((arg == "-j" || arg == "--jobs") && i + 1 < argc) || (arg.starts_with("-j") && arg.size() > 2)) {
            // -jN as getopt reads it, as well as -j N.
            const std::string count = arg.size() > 2 && arg[1] == 'j' ? arg.substr(2) : argv[++i];
            uint32_t jobs = 0;
            if (!parseNumber(count.c_str(), &jobs) || jobs == 0 || jobs > 256)
                return usageError("-j needs a number from 1 to 256");
            options.jobs = jobs;
        } else if (arg == "--exclude" && i + 1 < argc) {
            options.excludes.push_back(argv[++i]);
        } else if (arg == "--exclude-dir" && i + 1 < argc) {
            options.excludeDirs.push_back(argv[++i]);
        } else if (arg == "--one-file-system") {
            options.oneFileSystem = true;
        } else if (arg == "--rules" && i + 1 < argc) {
            options.userRules.push_back(argv[++i]);
        } else if (arg == "--no-default-rules") {
            defaultRules = false;
        } else if (!commitOption(arg, argc, argv, &i, &options.commit)) {
            return usageError("unknown option '" + arg + "'");
        }
    }
    if (options.paths.empty() && options.filesFrom.empty()) return usageError("scan needs at least one PATH");
    if ((options.clean || options.commit.dryRun) && !settleQuarantine(&options.commit))
        return usageError("--clean needs --quarantine DIR or --no-backup (no HOME)");
    options.progress = ::isatty(STDERR_FILENO) == 1;
    if (defaultRules) options.shippedRules = cli::defaultRulesDir();
    return cli::runScan(modulePath, options);
}

int killCommand(const std::string& modulePath, int argc, char** argv, int i) {
    cli::KillOptions options;
    bool optionsEnded = false, parameterGiven = false;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        using By = cli::KillOptions::By;
        const By by = arg == "--id" ? By::Id : arg == "--method" ? By::Method : arg == "--special" ? By::Special : By::None;
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            if (!options.path.empty()) return usageError("kill takes one FILE");
            options.path = arg;
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (by != By::None) {
            if (options.by != By::None) return usageError("give one of --id, --method and --special");
            if (i + 1 >= argc || !parseNumber(argv[++i], &options.number))
                return usageError(arg + " needs a number (decimal or 0x-hex)");
            options.by = by;
        } else if (arg == "--param") {
            if (i + 1 >= argc || !parseNumber(argv[++i], &options.parameter))
                return usageError("--param needs a number (decimal or 0x-hex)");
            parameterGiven = true;
        } else if (!commitOption(arg, argc, argv, &i, &options.commit)) {
            return usageError("unknown option '" + arg + "'");
        }
    }
    if (options.by == cli::KillOptions::By::None) return usageError("kill needs --id, --method or --special");
    if (parameterGiven && options.by != cli::KillOptions::By::Special) return usageError("--param goes with --special");
    if (options.path.empty()) return usageError("kill needs a FILE");
    if (!settleQuarantine(&options.commit)) return usageError("kill needs --quarantine DIR or --no-backup (no HOME)");
    return cli::runKill(modulePath, options);
}

}  // namespace

int main(int argc, char** argv) {
    std::string modulePath = cli::defaultModulePath();
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--module") == 0) {
        modulePath = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return usageError("no command given");
    const std::string command = argv[i++];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(cli::kManual, stdout);
        return cli::kExitClean;
    }
    if (command == "--version" || command == "-V") return cli::runVersion(modulePath);
    if (command == "scan") return scanCommand(modulePath, argc, argv, i);
    if (command == "kill") return killCommand(modulePath, argc, argv, i);
    if (command == "daemon") return service::runDaemonCommand(modulePath, argc, argv, i);
    if (command == "quarantine") return cli::runQuarantine(std::vector<std::string>(argv + i, argv + argc), defaultQuarantine());
    if (command == "units") {
        if (i < argc) return usageError("units takes no arguments");
        return cli::runUnits(modulePath);
    }
    return usageError("unknown command '" + command + "'");
}
