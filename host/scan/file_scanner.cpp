#include "host/scan/file_scanner.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "host/archive/archive_inside.h"
#include "host/archive/archive_signatures.h"
#include "host/archive/archive_walk.h"
#include "host/classify.h"
#include "host/module_host.h"
#include "host/running_object_table.h"
#include "host/services.h"
#include "host/signatures.h"
#include "sdk/format_codes.h"
#include "sdk/results.h"

namespace host {

namespace {

using Clock = std::chrono::steady_clock;

// Ends every scan: the finding a caller asked for when the input was not fully scanned, and the time.
class ResultTimer {
public:
    ResultTimer(ScanResult& result, const ScanSettings& settings) : result_(result), settings_(settings) {}
    ~ResultTimer() {
        if (settings_.alertExceedsMax && result_.incomplete()) result_.findings.push_back(limitsExceededFinding());
        result_.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    }

private:
    ScanResult& result_;
    const ScanSettings& settings_;
    const Clock::time_point start_ = Clock::now();
};

void fail(ScanResult& result, std::string error, bool unreadable = false) {
    result.failed = true;
    result.unreadable = unreadable;
    result.errors.push_back(std::move(error));
}

void skipForSize(ScanResult& result, uint64_t maxFileSize) {
    result.skippedForSize = true;
    result.notes.push_back("Larger than the size allowed (" + std::to_string(maxFileSize) + " bytes), skipped");
}

// Limits never decide a verdict; each one met is said beside it. A request the watchdog stopped
// has no verdict at all: the input is an error, and nothing is repaired. True when it stopped.
bool takeLimits(const RequestLimits& limits, ScanResult& result) {
    result.limits.insert(result.limits.end(), limits.reached.begin(), limits.reached.end());
    if (!limits.timedOut) return false;
    fail(result, limits.timeOutError());
    return true;
}

// A repair of a private copy whose bytes go back to the caller.
void repairInMemory(uint32_t killResult, FileObject* file, ScanResult& result) {
    if (!killSucceeded(killResult)) {
        result.actions.push_back("not repaired (kill result " + hexId(killResult) + ")");
        return;
    }
    if (killResult == KILL_REMOVED || file->removed()) {
        result.removed = true;
        result.actions.push_back("removed");
        return;
    }
    result.repaired = true;
    const ByteView repaired = file->bytes();
    result.repairedBytes.assign(repaired.begin(), repaired.end());
    result.actions.push_back("repaired");
}

// What the engines said of bytes that were not the file's is no verdict: the file is an error
// instead, with nothing found, inside or repaired.
void noVerdict(ScanResult& result, const char* why) {
    result.findings.clear();
    result.actions.clear();
    result.errors.clear();  // a refused commit says the same: said once
    result.inside.clear();
    result.foundInside = 0;
    result.repairedBytes.clear();
    result.repaired = result.removed = false;
    fail(result, why, true);
}

// A file cut short by another process while its bytes were mapped read zeros past its new end.
// (The commit refuses such bytes on its own.) True when it was cut.
bool shrankWhileScanned(const FileObject* file, ScanResult& result) {
    if (!file->shrankWhileMapped()) return false;
    noVerdict(result, kShrankWhileScanned);
    return true;
}

// Mapped bytes are the file's own pages, so another process's writes show through them: a
// file whose size or times moved while it was scanned was not scanned as one state of it.
bool changedSince(int fd, const DiskIdentity& read) {
    struct stat now {};
    return ::fstat(fd, &now) != 0 || !DiskIdentity::of(now).sameContentsAs(read);
}

// A descriptor or a memory buffer has no directory to commit a repair through.
bool refuseCommit(const ScanSettings& settings, ScanResult& result) {
    if (settings.repair != ScanSettings::Repair::Commit) return false;
    fail(result, "only a file opened through its directory can be repaired in place");
    return true;
}

}  // namespace

std::unique_ptr<FileScanner> FileScanner::create(const Setup& setup, std::string* error) {
    RunningObjectTable* rot = RunningObjectTable::createDefault();
    rot->engineConfig()->setHeuristics(setup.heuristics);
    std::unique_ptr<Engines> engines = Engines::create(setup.module, rot, error);
    rot->Release();
    if (!engines || !engines->useSignatures(setup.signatures, error)) return nullptr;
    std::unique_ptr<FileScanner> scanner(new FileScanner);
    scanner->engines_ = std::move(engines);
    scanner->virusName_ = setup.virusName;
    return scanner;
}

FileScanner::~FileScanner() = default;

bool FileScanner::useSignatures(std::shared_ptr<const SignatureLibrary> signatures, std::string* error) {
    return engines_->useSignatures(std::move(signatures), error);
}

ScanResult FileScanner::scanPath(const std::string& path, const ScanSettings& settings) {
    AnchoredFile at;
    std::string error;
    if (!openNamed(path, &at, &error)) {
        ScanResult result;
        result.path = path;
        ResultTimer timer(result, settings);
        fail(result, error, true);
        return result;
    }
    return scanOpened(at, path, settings);
}

ScanResult FileScanner::scanOpened(const AnchoredFile& at, const std::string& path, const ScanSettings& settings) {
    ScanResult result;
    result.path = path;
    ResultTimer timer(result, settings);
    readAndScan(at.file.get(), &at, settings, result);
    return result;
}

ScanResult FileScanner::scanDescriptor(int fd, const std::string& name, const ScanSettings& settings) {
    ScanResult result;
    result.path = name;
    ResultTimer timer(result, settings);
    if (!refuseCommit(settings, result)) readAndScan(fd, nullptr, settings, result);
    return result;
}

void FileScanner::readAndScan(int fd, const AnchoredFile* at, const ScanSettings& settings, ScanResult& result) {
    // The file is held in memory while it is scanned: its size comes out of the budget first,
    // and the read refuses a file that grew past what was set aside. The size is the open
    // file's, never the path's again.
    struct stat info {};
    if (::fstat(fd, &info) != 0) return fail(result, "cannot read the file's status", true);
    if (S_ISREG(info.st_mode) && uint64_t(info.st_size) > settings.maxFileSize)
        return skipForSize(result, settings.maxFileSize);
    const uint64_t allowed = std::min(uint64_t(info.st_size), settings.maxFileSize);
    if (settings.memory) settings.memory->beforeFile(allowed);
    std::string error;
    FileObject* file = FileObject::fromDescriptor(fd, result.path, &error, allowed, &info);
    if (!file) {
        fail(result, error, true);
    } else {
        if (settings.afterRead) settings.afterRead(file);
        const bool mapped = file->mapped();
        const DiskIdentity read = *file->diskIdentity();
        scanObject(file, at, settings, result);
        // A commit checks the file itself before it replaces it; a scan without one checks here.
        if (mapped && result.actions.empty() && !result.failed && changedSince(fd, read))
            noVerdict(result, kChangedWhileScanned);
    }
    if (settings.memory) settings.memory->afterFile();
}

ScanResult FileScanner::scanBytes(std::vector<uint8_t> bytes, const std::string& name, const ScanSettings& settings) {
    ScanResult result;
    result.path = name;
    ResultTimer timer(result, settings);
    if (refuseCommit(settings, result)) return result;
    if (bytes.size() > settings.maxFileSize || bytes.size() > FileObject::kMaxSize) {
        skipForSize(result, std::min<uint64_t>(settings.maxFileSize, FileObject::kMaxSize));
        return result;
    }
    scanObject(FileObject::fromBytes(std::move(bytes), name), nullptr, settings, result);
    return result;
}

void FileScanner::scanObject(FileObject* file, const AnchoredFile* at, const ScanSettings& settings, ScanResult& result,
                             UnpackState* unpack) {
    result.scanned = true;
    result.size = file->bytes().size();
    classify(file);
    result.format = file->format();
    ScanTarget target(file);
    target.damaged = settings.damaged;
    file->Release();
    scanTarget(target, at, settings, result, unpack);
    shrankWhileScanned(target.file(), result);
}

void FileScanner::scanTarget(ScanTarget& target, const AnchoredFile* at, const ScanSettings& settings,
                             ScanResult& result, UnpackState* unpack) {
    const ScanFinding finding = engines_->scan(target);
    if (takeLimits(finding.limits, result)) return;
    if (target.file()->shrankWhileMapped()) return;  // no verdict, nothing to repair
    if (finding.failed) {
        fail(result, std::string("the ") + phaseName(finding.phase) + " engine failed (" + hexId(finding.engineResult) + ")");
        return;
    }
    if (!finding.found()) return scanInside(target.file(), at, settings, result, unpack);

    // A rule may name a virus no listing knows (one repaired by a method number).
    std::string name = virusName_ ? virusName_(finding.virusId) : std::string();
    if (name.empty()) name = finding.ruleName;
    if (name.empty()) name = finding.rule;
    result.findings.push_back({hexId(finding.virusId), name, phaseName(finding.phase), finding.rule});
    // An archive found as a whole is repaired as a whole: its members are only looked at.
    ScanSettings findOnly = settings;
    findOnly.repair = ScanSettings::Repair::None;
    scanInside(target.file(), at, findOnly, result, unpack);
    if (settings.repair == ScanSettings::Repair::None) return;

    const uint32_t killResult = engines_->killFound(target);
    if (takeLimits(engines_->lastLimits(), result)) return;
    if (settings.repair == ScanSettings::Repair::InMemory) return repairInMemory(killResult, target.file(), result);
    const Verdict verdict{name, hexId(finding.virusId), phaseName(finding.phase)};
    const CommitReport report = commitOrPreview(*at, target.file(), killResult, settings.commit, verdict);
    result.repaired = report.repaired;
    result.removed = report.removed;
    result.actions.push_back(report.text);
    if (report.failed) {
        result.failed = true;
        result.errors.push_back(report.text);
    }
}

void FileScanner::scanInside(FileObject* file, const AnchoredFile* at, const ScanSettings& settings, ScanResult& result,
                             UnpackState* unpack) {
    // A program stays a program, a self-extractor included: the module's engines own it.
    if (result.format == qe::FORMAT_PE || result.format == qe::FORMAT_MZ) return;
    UnpackState own{0, settings.archives.maxUnpacked};
    ScanSettings memberSettings = settings;
    if (settings.repair != ScanSettings::Repair::None) memberSettings.repair = ScanSettings::Repair::InMemory;
    memberSettings.memory = nullptr;  // members are bounded by the unpacking limits instead
    // Most files carry no archive's mark: nothing of the walk below is set up for them.
    if (!mayHoldArchive(file->bytes())) return;
    // libarchive reads its input more than once and trusts it not to move: mapped bytes that may
    // hold an archive become a private copy first, so another process's writes cannot reach it.
    if (file->mapped() && !file->copyIntoMemory()) return fail(result, "not enough memory to look inside the file");
    const MemberScan scanMember = [&](std::vector<uint8_t> bytes, const std::string& name, UnpackState& state) {
        ScanResult member;
        member.path = name;
        {
            ResultTimer timer(member, memberSettings);
            scanObject(FileObject::fromBytes(std::move(bytes), name), nullptr, memberSettings, member, &state);
        }
        return member;
    };
    ArchiveWalk walk = walkArchive(file->bytes(), result.path, settings.archives,
                                   std::min<uint64_t>(settings.maxFileSize, FileObject::kMaxSize), unpack ? *unpack : own,
                                   scanMember);
    if (!walk.isArchive) return;
    result.inside = std::move(walk.members);
    result.foundInside =
        uint64_t(std::count_if(result.inside.begin(), result.inside.end(), [](const ScanResult& r) { return r.found(); }));
    for (const std::string& limit : walk.limits)
        if (std::find(result.limits.begin(), result.limits.end(), limit) == result.limits.end()) result.limits.push_back(limit);
    result.notes.insert(result.notes.end(), walk.notes.begin(), walk.notes.end());
    if (walk.changes.empty()) return;

    InsideRepair repair = rewriteWithChanges(file->bytes(), walk);
    if (!repair.refusal.empty()) {
        sayMembersNotRepaired(result.inside);
        result.actions.push_back(repair.refusal);
        if (repair.failed) {
            result.failed = true;
            result.errors.push_back(repair.refusal);
        }
        return;
    }
    if (settings.repair == ScanSettings::Repair::InMemory) {
        result.repaired = true;
        result.repairedBytes = std::move(repair.bytes);
        result.actions.push_back("repaired inside");
        return;
    }
    // The new archive goes through the very commit a repaired file goes through.
    file->mutableBytes() = std::move(repair.bytes);
    const CommitReport report =
        commitOrPreview(*at, file, KILL_REPAIRED, settings.commit, insideVerdict(result.inside));
    result.repaired = report.repaired;
    result.actions.push_back(report.text);
    if (report.failed) {
        result.failed = true;
        result.errors.push_back(report.text);
        sayMembersNotRepaired(result.inside);
    } else {
        sayMembersRepaired(result.inside, settings.commit.dryRun);
    }
}

}  // namespace host
