// Results as remedy scan gives them: the same verdict names; an input the watchdog stopped, one
// skipped for its size or searched only in part answers ERROR, never OK; an archive member's
// finding answers FOUND for the archive.
#include <gtest/gtest.h>

#include "daemon/protocol.h"
#include "host/engine_request.h"
#include "tests/daemon/daemon_harness.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"

namespace {

using namespace daemontest;
using fixtures::Bytes;

const host::FoundVirus kTmc{"0x00006551", "DOS.TmcBCOM", "post-library", ""};
const host::FoundVirus kUnnamed{"0x00001234", "", "pre-library", ""};

host::ScanResult scanned(std::vector<host::FoundVirus> findings = {}) {
    host::ScanResult result;
    result.path = "in";
    result.scanned = true;
    result.findings = std::move(findings);
    return result;
}

struct ReplyCase {
    const char* what;
    host::ScanResult result;
    bool allMatches;
    std::vector<std::string> lines;
};

TEST(DaemonResults, EachResultHasItsReply) {
    host::ScanResult limited = scanned();
    limited.limits = {"emulation steps (CScanX)"};
    host::ScanResult stopped = scanned();
    stopped.failed = true;
    stopped.errors = {"time limit reached (CScanTequila)"};
    host::ScanResult tooLarge;
    tooLarge.skippedForSize = true;
    tooLarge.notes = {"Larger than the size allowed (10 bytes), skipped"};
    host::ScanResult limitedButFound = scanned({kTmc});
    limitedButFound.limits = {"time"};
    host::ScanResult archive = scanned();
    archive.inside = {scanned(), scanned({kUnnamed}), scanned({kTmc})};
    host::ScanResult archiveWithError = scanned();
    archiveWithError.inside = {scanned(), limited};
    host::ScanResult twoFindings = scanned({kTmc, kUnnamed});

    const std::vector<ReplyCase> table = {
        {"clean", scanned(), false, {"x: OK"}},
        {"found", scanned({kTmc}), false, {"x: DOS.TmcBCOM FOUND"}},
        {"found without a name: its identifier", scanned({kUnnamed}), false, {"x: 0x00001234 FOUND"}},
        {"a limit reached", limited, false, {"x: limit reached: emulation steps (CScanX) ERROR"}},
        {"the watchdog stopped it", stopped, false, {"x: time limit reached (CScanTequila) ERROR"}},
        {"skipped for its size", tooLarge, false, {"x: Larger than the size allowed (10 bytes), skipped ERROR"}},
        {"a finding wins over a limit", limitedButFound, false, {"x: DOS.TmcBCOM FOUND"}},
        {"the alert for limits", scanned({host::limitsExceededFinding()}), false, {"x: Limits.Exceeded FOUND"}},
        {"archive: the first member finding", archive, false, {"x: 0x00001234 FOUND"}},
        {"archive: every finding", archive, true, {"x: 0x00001234 FOUND", "x: DOS.TmcBCOM FOUND"}},
        {"archive: a member searched in part", archiveWithError, false, {"x: limit reached: emulation steps (CScanX) ERROR"}},
        {"every match", twoFindings, true, {"x: DOS.TmcBCOM FOUND", "x: 0x00001234 FOUND"}},
    };
    for (const ReplyCase& c : table) EXPECT_EQ(service::resultReplies(c.result, "x", c.allMatches), c.lines) << c.what;
}

TEST(DaemonResults, RepairReplies) {
    host::ScanResult repaired = scanned({kTmc});
    repaired.repaired = true;
    host::ScanResult removed = scanned({kTmc});
    removed.removed = true;
    host::ScanResult failed = scanned({kTmc});
    failed.failed = true;
    failed.errors = {"not repaired: changed while repaired"};
    EXPECT_EQ(service::repairReply(repaired, "x"), "x: DOS.TmcBCOM REPAIRED");
    EXPECT_EQ(service::repairReply(removed, "x"), "x: DOS.TmcBCOM REMOVED");
    EXPECT_EQ(service::repairReply(scanned({kTmc}), "x"), "x: DOS.TmcBCOM FOUND");
    EXPECT_EQ(service::repairReply(failed, "x"), "x: not repaired: changed while repaired ERROR");
    EXPECT_EQ(service::repairReply(scanned(), "x"), "x: OK");
}

// The watchdog stops the scan of a program that spins: ERROR by path, by stream and by
// stream repair (which then sends no bytes).
TEST(DaemonResults, AScanTheWatchdogStoppedIsAnError) {
    DaemonRun daemon([](service::DaemonConfig& c) { c.repairEnabled = true; });
    const Bytes slow = fixtures::dos::infectTequilaDelayed(fixtures::dos::makeMz({2048, std::nullopt, 0x200, true}),
                                                           fixtures::dos::StandInDelay::SelfRewritingSpin);
    const std::string path = daemon.dir.file("slow.exe").string();
    fixtures::writeFile(path, slow);
    host::EngineRequest::setWatchdogTrigger(50000);
    const std::string byPath = ask(daemon, "nSCAN " + path + "\n");
    const std::string byStream = ask(daemon, instream(slow, 65536, "nINSTREAM"));
    const std::string byRepair = ask(daemon, instream(slow, 65536, "nINSTREAMREPAIR"));
    host::EngineRequest::setWatchdogTrigger(std::nullopt);
    EXPECT_EQ(byPath, path + ": time limit reached (CScanTequila5Volt2659) ERROR\n");
    EXPECT_EQ(byStream, "stream: time limit reached (CScanTequila5Volt2659) ERROR\n");
    EXPECT_EQ(byRepair, "stream: time limit reached (CScanTequila5Volt2659) ERROR\n");
    // Unhurried, the same program is found.
    const std::string calm = ask(daemon, "nSCAN " + path + "\n");
    EXPECT_TRUE(calm.ends_with(" FOUND\n")) << calm;
}

TEST(DaemonResults, FilesOverTheSizeLimitAreErrorsOrAlerts) {
    const Bytes infected = fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333));
    for (bool alert : {false, true}) {
        DaemonRun daemon([&](service::DaemonConfig& c) {
            c.maxFileSize = 1024;
            c.alertExceedsMax = alert;
        });
        const std::string path = daemon.dir.file("big.com").string();
        fixtures::writeFile(path, infected);
        const std::string line = alert ? ": Limits.Exceeded FOUND\n" : ": Larger than --max-filesize (1024 bytes), skipped ERROR\n";
        EXPECT_EQ(ask(daemon, "nSCAN " + path + "\n"), path + line);
        // In a directory too: a file not scanned has its line.
        EXPECT_EQ(ask(daemon, "nCONTSCAN " + daemon.dir.path().string() + "\n"), path + line);
    }
}

}  // namespace
