// The clock never decides. For every sample whose scan or repair runs code, the watchdog is
// fired at a spread of instruction counts: each result must be exactly the unhurried one, or an
// error that carries no verdict and commits no repair - never another verdict, never other
// bytes. The delayed stand-ins (a self-rewriting loop that is slow for the x86 engine, and a
// plain one past the unit's budget) give the same answer every time, and say when a limit cut
// the work short.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "host/engine_request.h"
#include "sdk/format_codes.h"
#include "sdk/results.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/kuku_infector.h"
#include "tests/fixtures/magistr_funlove.h"
#include "tests/fixtures/virut_infector.h"
#include "tests/robustness/corpus_host.h"

namespace {

using fixtures::Bytes;
using robustness::CorpusFile;
using robustness::RepairBy;

struct Outcome {
    bool scanTimedOut = false;
    bool scanFailed = false;
    uint32_t virusId = 0;
    bool killTimedOut = false;
    uint32_t killResult = 0;
    uint32_t moduleKillResult = 0;  // the module's own answer, before the host's checks
    Bytes bytes;  // the private copy after the kill: what a commit would write
    bool removed = false;
    std::vector<std::string> limits;
};

// Scans (and repairs what is found) or kills, as the corpus file says, with the watchdog set to
// fire at `trigger` instructions of each request.
Outcome run(const CorpusFile& file, std::optional<uint64_t> trigger) {
    host::Engines& engines = support::heuristicEngines();
    host::EngineRequest::setWatchdogTrigger(trigger);
    Outcome outcome;
    host::FileObject* object = robustness::corpusObject(file, file.bytes);
    {
        host::ScanTarget target(object);
        if (file.repair == RepairBy::Found || file.repair == RepairBy::None) {
            const host::ScanFinding finding = engines.scan(target);
            outcome.scanTimedOut = finding.limits.timedOut;
            outcome.scanFailed = finding.failed;
            outcome.virusId = finding.virusId;
            outcome.limits = finding.limits.reached;
            if (finding.found()) outcome.killResult = engines.killFound(target);
        } else {
            outcome.killResult = engines.kill(target, robustness::killRequestOf(file));
        }
        if (outcome.killResult) {
            outcome.moduleKillResult = engines.lastModuleKillResult();
            outcome.killTimedOut = engines.lastLimits().timedOut;
            for (const std::string& limit : engines.lastLimits().reached) outcome.limits.push_back(limit);
        }
    }
    outcome.bytes.assign(object->bytes().begin(), object->bytes().end());
    outcome.removed = object->removed();
    object->Release();
    host::EngineRequest::setWatchdogTrigger(std::nullopt);
    return outcome;
}

// The corpus files whose scan or repair runs code in the emulator or the VM, and samples of the
// families the corpus does not hold.
std::vector<CorpusFile> codeRunningSamples() {
    static const char* const kNames[] = {"sgbomber.com",      "sentinel.com",  "sentinel.exe", "tmcb-found.com",
                                         "tequila-found.exe", "tmcb-found.exe", "rag.exe"};
    std::vector<CorpusFile> samples;
    for (const CorpusFile& file : robustness::sampleCorpus())
        if (std::find(std::begin(kNames), std::end(kNames), file.name) != std::end(kNames)) samples.push_back(file);
    using RB = RepairBy;
    const auto found = [&](const char* name, Bytes bytes) {
        samples.push_back({name, std::move(bytes), qe::FORMAT_PE, RB::Found, 0, 0, {}});
    };
    found("kuku.exe", fixtures::kuku::infect(fixtures::kuku::Loader::JumpRegister, fixtures::kuku::Body::ThreadCounted).file);
    found("kuku-ko.exe", fixtures::kuku::infectKo().file);
    found("virut-newcs.exe", fixtures::virut::newCsInfect());
    found("virut-ce.exe", fixtures::virut::ceInfect(fixtures::virut::CeVariant::SectionAdd).file);
    found("magistr-found.exe", fixtures::win32::magistrPeInfect().file);
    found("funlove.exe", fixtures::win32::funLoveInfect().file);
    return samples;
}

class WatchdogSpread : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(WatchdogSpread, EveryFiringGivesTheUnhurriedResultOrAnError) {
    const CorpusFile& file = GetParam();
    const Outcome unhurried = run(file, std::nullopt);
    ASSERT_FALSE(unhurried.scanTimedOut || unhurried.killTimedOut);
    ASSERT_TRUE(unhurried.killResult == KILL_REPAIRED || unhurried.killResult == KILL_REMOVED)
        << "the sample is repaired when nothing hurries it (kill result " << unhurried.killResult << ")";

    bool anyStopped = false;
    for (const uint64_t trigger : {0ull, 1ull, 2ull, 3ull, 5ull, 10ull, 30ull, 100ull, 300ull, 1000ull, 3000ull, 10'000ull,
                                   30'000ull, 100'000ull, 300'000ull, 1'000'000ull, 3'000'000ull}) {
        SCOPED_TRACE("watchdog fired at instruction " + std::to_string(trigger));
        const Outcome hurried = run(file, trigger);
        anyStopped |= hurried.scanTimedOut || hurried.killTimedOut;
        if (hurried.scanTimedOut) {
            EXPECT_TRUE(hurried.scanFailed) << "a scan the watchdog stopped is an error";
            EXPECT_EQ(hurried.virusId, 0u) << "and names no virus";
            EXPECT_EQ(hurried.killResult, 0u) << "and is never repaired";
        } else if (hurried.killTimedOut) {
            EXPECT_EQ(hurried.virusId, unhurried.virusId);
            EXPECT_EQ(hurried.killResult, KILL_FAILED) << "a repair the watchdog stopped is never committed";
            // A host that trusts the module gets its own answer: a unit that claims success over a
            // run cut short must have made the very same repair.
            if (hurried.moduleKillResult == KILL_REPAIRED || hurried.moduleKillResult == KILL_REMOVED) {
                EXPECT_EQ(hurried.moduleKillResult, unhurried.killResult);
                EXPECT_EQ(hurried.bytes, unhurried.bytes);
            }
        } else {
            EXPECT_EQ(hurried.virusId, unhurried.virusId);
            EXPECT_EQ(hurried.killResult, unhurried.killResult);
            EXPECT_EQ(hurried.bytes, unhurried.bytes);
            EXPECT_EQ(hurried.removed, unhurried.removed);
        }
    }
    EXPECT_TRUE(anyStopped) << "the sample runs code, so an early firing must stop it";
}

INSTANTIATE_TEST_SUITE_P(Samples, WatchdogSpread, ::testing::ValuesIn(codeRunningSamples()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// The delayed stand-ins: the slow one repairs to its clean original, the watchdog fired inside
// its delay makes it an error, and the one past its budget fails the same way each time, with
// the limit named.
TEST(DelayedStandIns, SlowRepairsAndOverlongReportTheirLimit) {
    using fixtures::dos::StandInDelay;
    const Bytes com = fixtures::dos::makeCom(3000);
    const Bytes mz = fixtures::dos::makeMz({2048, std::nullopt, 0x200, true});
    // The plain stand-in's repair: the delayed ones are the same length and repair the same.
    const Bytes tequilaRepaired =
        run({"tequila.exe", fixtures::dos::infectTequila(mz), qe::FORMAT_MZ, RepairBy::Found, 0, 0, {}}, std::nullopt).bytes;
    struct Case {
        CorpusFile file;
        Bytes clean;        // what the repair gives; empty: not repaired
        const char* limit;  // the limit note expected, or null
    };
    const Case cases[] = {
        {{"sentinel-spin.com", fixtures::dos::infectSentinelComDelayed(com, false, StandInDelay::SelfRewritingSpin),
          qe::FORMAT_COM, RepairBy::Id, 0x3ad9, 0, {}},
         com, nullptr},
        {{"sentinel-overlong.com", fixtures::dos::infectSentinelComDelayed(com, false, StandInDelay::PastTheBudget),
          qe::FORMAT_COM, RepairBy::Id, 0x3ad9, 0, {}},
         {}, "emulation steps (CScanSentinelCOM)"},
        {{"tequila-spin.exe", fixtures::dos::infectTequilaDelayed(mz, StandInDelay::SelfRewritingSpin), qe::FORMAT_MZ,
          RepairBy::Found, 0, 0, {}},
         tequilaRepaired, nullptr},
        {{"tequila-overlong.exe", fixtures::dos::infectTequilaDelayed(mz, StandInDelay::PastTheBudget), qe::FORMAT_MZ,
          RepairBy::Found, 0, 0, {}},
         {}, "emulation steps (CScanTequila5Volt2659)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.name);
        const Outcome first = run(c.file, std::nullopt);
        EXPECT_FALSE(first.scanTimedOut || first.killTimedOut);
        if (!c.clean.empty()) {
            EXPECT_EQ(first.killResult, KILL_REPAIRED);
            EXPECT_EQ(first.bytes, c.clean);
            EXPECT_TRUE(first.limits.empty());
        } else {
            EXPECT_NE(first.killResult, KILL_REPAIRED);
            EXPECT_EQ(first.limits, std::vector<std::string>{c.limit});
        }
        const Outcome again = run(c.file, std::nullopt);
        EXPECT_EQ(again.killResult, first.killResult);
        EXPECT_EQ(again.bytes, first.bytes);
        EXPECT_EQ(again.limits, first.limits);

        const Outcome hurried = run(c.file, 50'000);
        EXPECT_TRUE(hurried.scanTimedOut || hurried.killTimedOut) << "the delay runs past 50,000 instructions";
        EXPECT_NE(hurried.killResult, KILL_REPAIRED);
    }
}

}  // namespace
