// remedy quarantine list|restore|remove: the originals kept before repairs and removals.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/commands.h"
#include "cli/escaped_text.h"
#include "cli/json_text.h"
#include "host/base64.h"
#include "host/kept_metadata.h"
#include "host/quarantine.h"
#include "host/repair.h"
#include "host/sha256.h"

namespace cli {

namespace {

struct QuarantineArgs {
    std::string command, id, to, dir;
    bool json = false, force = false;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "remedy: %s\n", escapedText(message).c_str());
    return kExitError;
}

std::string isoTime(int64_t seconds) {
    const std::time_t t = std::time_t(seconds);
    std::tm utc{};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// SHA-256 of the file open on `fd`, read from offset 0 to its end.
bool hashOf(int fd, std::string* hex) {
    host::Sha256 sha;
    std::vector<uint8_t> buffer(1 << 16);
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        sha.add(buffer.data(), size_t(n));
        at += n;
    }
    *hex = sha.finishHex();
    return true;
}

int list(const host::Quarantine& quarantine, bool json) {
    for (const host::QuarantineRecord& r : quarantine.list()) {
        if (json) {
            std::printf("{\"id\":%s,\"complete\":%s", jsonString(r.id).c_str(), r.complete ? "true" : "false");
            if (r.complete)
                std::printf(",\"path\":%s,\"path_base64\":%s,\"size\":%llu,\"sha256\":%s,\"verdict\":{\"name\":%s,"
                            "\"id\":%s,\"phase\":%s},\"action\":%s,\"time\":%s",
                            jsonString(r.originalPath).c_str(), jsonString(host::base64Encode(r.originalPath)).c_str(),
                            (unsigned long long)r.size, jsonString(r.originalSha256).c_str(),
                            jsonString(r.verdict.name).c_str(), jsonString(r.verdict.id).c_str(),
                            jsonString(r.verdict.phase).c_str(), jsonString(r.action).c_str(),
                            jsonString(isoTime(r.quarantinedAt)).c_str());
            std::printf("}\n");
        } else if (r.complete) {
            std::printf("%s %s: %s %s (%s) %s %s\n", escapedText(r.id).c_str(), escapedText(r.originalPath).c_str(),
                        r.verdict.name.empty() ? "virus" : escapedText(r.verdict.name).c_str(),
                        escapedText(r.verdict.id).c_str(), escapedText(r.verdict.phase).c_str(),
                        escapedText(r.action).c_str(), isoTime(r.quarantinedAt).c_str());
        } else {
            std::printf("%s (incomplete entry: no record)\n", escapedText(r.id).c_str());
        }
    }
    std::fflush(stdout);
    return kExitClean;
}

// Keeps the file that a forced restore replaces, as a quarantine entry of its own.
bool keepReplaced(host::Quarantine& quarantine, int fd, const std::string& path, const std::string& restoredSha,
                  std::string* id, std::string* error) {
    host::KeptMetadata kept;
    host::QuarantineRecord record;
    if (!host::readKeptMetadata(fd, &kept, error) || !host::describeForQuarantine(fd, path, kept, &record)) {
        if (error->empty()) *error = std::strerror(errno);
        return false;
    }
    record.replacementSha256 = restoredSha;
    record.action = "replaced by restore";
    if (!quarantine.add(fd, &record, error)) return false;
    *id = record.id;
    return true;
}

int restore(host::Quarantine& quarantine, const QuarantineArgs& args) {
    host::QuarantineRecord record;
    std::string error;
    if (!quarantine.read(args.id, &record, &error)) return fail(error);
    host::UniqueFd bytes = quarantine.openBytes(args.id, &error);
    std::string sha;
    if (!bytes.valid()) return fail(error);
    if (!hashOf(bytes.get(), &sha) || sha != record.originalSha256)
        return fail("the quarantine entry " + args.id + " is damaged: its bytes do not match its record");
    const std::string target = args.to.empty() ? record.originalPath : args.to;
    const size_t slash = target.rfind('/');
    const std::string dirPath = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    host::UniqueFd dir(::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return fail("cannot open " + escapedText(dirPath) + ": " + std::strerror(errno));
    if (name.empty() || name == "." || name == "..") return fail("not a file name: " + escapedText(target));
    host::UniqueFd current(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    host::DiskIdentity identity;
    if (!current.valid() && errno != ENOENT)
        return fail(escapedText(target) + ": " + (errno == ELOOP ? "a symbolic link; not replaced" : std::strerror(errno)));
    if (current.valid()) {
        std::string currentSha;
        if (!host::identityOf(current.get(), &identity) || !S_ISREG(identity.mode))
            return fail(escapedText(target) + ": not a regular file; not replaced");
        if (!hashOf(current.get(), &currentSha)) return fail(escapedText(target) + ": " + std::strerror(errno));
        if (!args.force && currentSha != record.replacementSha256)
            return fail(escapedText(target) +
                        " is not the repaired file this entry's original was replaced with; --force replaces it");
    }
    // A file forced out of the way is kept too.
    std::string replacedId;
    if (current.valid() && args.force &&
        !keepReplaced(quarantine, current.get(), target, record.originalSha256, &replacedId, &error))
        return fail(escapedText(target) + ": not restored: cannot keep the file in the way: " + error);
    host::KeptMetadata kept;
    kept.owner = record.owner, kept.group = record.group, kept.mode = record.mode & 07777;
    kept.attributes = record.attributes;
    kept.inodeFlags = record.inodeFlags;
    if (!host::placeBytes(dir.get(), name, bytes.get(), record.size, kept, record.accessedNs, record.modifiedNs,
                          current.valid() ? current.get() : -1, current.valid() ? &identity : nullptr,
                          host::RepairOptions{}, &error)) {
        std::string ignored;
        if (!replacedId.empty()) quarantine.remove(replacedId, &ignored);
        return fail(escapedText(target) + ": not restored: " + error);
    }
    std::string removeError;
    const bool removed = quarantine.remove(args.id, &removeError);
    std::printf("%s: restored from %s%s%s\n", escapedText(target).c_str(), escapedText(args.id).c_str(),
                replacedId.empty() ? "" : ("; the file it replaced is kept as " + replacedId).c_str(),
                removed ? "" : ("; the entry stays: " + removeError).c_str());
    std::fflush(stdout);
    return kExitClean;
}

}  // namespace

int runQuarantine(const std::vector<std::string>& argv, const std::filesystem::path& defaultDir) {
    QuarantineArgs args;
    args.dir = defaultDir.string();
    for (size_t i = 0; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (arg == "--quarantine" && i + 1 < argv.size()) {
            args.dir = argv[++i];
        } else if (arg == "--json") {
            args.json = true;
        } else if (arg == "--force") {
            args.force = true;
        } else if (arg == "--to" && i + 1 < argv.size()) {
            args.to = argv[++i];
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option '" + arg + "'");
        } else if (args.command.empty()) {
            args.command = arg;
        } else if (args.id.empty()) {
            args.id = arg;
        } else {
            return fail("quarantine takes one ID");
        }
    }
    const bool needsId = args.command == "restore" || args.command == "remove";
    if (args.command != "list" && !needsId) return fail("quarantine needs list, restore ID or remove ID");
    if (needsId != !args.id.empty()) return fail("quarantine " + args.command + (needsId ? " needs an ID" : " takes no ID"));
    if ((args.json && args.command != "list") || ((args.force || !args.to.empty()) && args.command != "restore"))
        return fail("that option does not go with quarantine " + args.command);
    if (args.dir.empty()) return fail("quarantine needs --quarantine DIR (no HOME)");
    std::error_code ec;
    if (args.command == "list" && !std::filesystem::exists(args.dir, ec)) return kExitClean;  // nothing kept yet
    host::Quarantine quarantine;
    std::string error;
    if (!host::Quarantine::open(args.dir, false, &quarantine, &error)) return fail(error);
    if (args.command == "list") return list(quarantine, args.json);
    if (args.command == "restore") return restore(quarantine, args);
    if (!quarantine.remove(args.id, &error)) return fail(error);
    std::printf("%s: removed\n", escapedText(args.id).c_str());
    return kExitClean;
}

}  // namespace cli
