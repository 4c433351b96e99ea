// Every repair of the corpus with the storage failing under it: for each kind of stream
// operation (read, write, seek, set-size, remove) and each k, the k-th such call fails. The kill must
// say honestly how it went - a success leaves exactly the repair an undisturbed run makes -
// keep no reference to the file, and the file on disk must end as the original or as the
// complete repair, never a mix. The module's own answer, before the host's check of storage
// failures, must be just as honest: other hosts trust it as it is.
#include <gtest/gtest.h>

#include "host/classify.h"
#include "host/repair.h"
#include "sdk/results.h"
#include "tests/robustness/corpus_host.h"

namespace {

using fixtures::Bytes;
using robustness::CorpusFile;
using robustness::RepairBy;

struct KillRun {
    uint32_t result = 0;        // the host's answer: a success over a storage failure is a failure
    uint32_t moduleResult = 0;  // the module's own answer
    Bytes bytes;
    bool removed = false;
    uint64_t calls[host::kStreamOpKinds] = {};
};

// Reads the file at `path` as the command line does, scans it first when the engines must find
// it, then kills it with the k-th call of `op` failing (k = 0: nothing fails) and commits.
KillRun killOnDisk(const CorpusFile& file, const std::string& path, host::StreamOp op, uint64_t k,
                   const std::filesystem::path& quarantine, host::RepairOutcome* committed) {
    host::Engines& engines = support::heuristicEngines();
    KillRun run;
    std::string error;
    host::FileObject* object = host::FileObject::fromFile(path, &error);
    if (!object) {
        ADD_FAILURE() << error;
        return run;
    }
    robustness::giveFormat(object, file);
    {
        host::ScanTarget target(object);
        if (file.repair == RepairBy::Found) {
            if (!engines.scan(target).found()) {
                run.result = KILL_FAILED;
            } else {
                object->failNth(op, k);
                run.result = engines.killFound(target);
                run.moduleResult = engines.lastModuleKillResult();
            }
        } else {
            object->failNth(op, k);
            run.result = engines.kill(target, robustness::killRequestOf(file));
            run.moduleResult = engines.lastModuleKillResult();
        }
    }
    for (size_t kind = 0; kind < host::kStreamOpKinds; ++kind) run.calls[kind] = object->streamCalls(host::StreamOp(kind));
    object->failNth(op, 0);
    EXPECT_EQ(object->refCount(), 1u) << "the kill kept a reference to the file";
    run.bytes.assign(object->bytes().begin(), object->bytes().end());
    run.removed = object->removed();
    host::RepairOptions options;
    options.quarantineDir = quarantine;  // removals are moved there
    *committed = host::commitKill(object, run.result, options);
    object->Release();
    return run;
}

const char* opName(host::StreamOp op) {
    switch (op) {
        case host::StreamOp::Read: return "read";
        case host::StreamOp::Write: return "write";
        case host::StreamOp::Seek: return "seek";
        case host::StreamOp::SetSize: return "set-size";
        default: return "remove";
    }
}

class FaultInjection : public ::testing::TestWithParam<CorpusFile> {
protected:
    // Repairs the corpus file once with nothing failing, then once for each call of each kind
    // that run made, the k-th failing, each time from the original file on disk; `check` sees
    // every disturbed run beside the undisturbed one.
    template <class Check>
    void killUnderEachFault(Check check) {
        const CorpusFile& file = GetParam();
        const std::string path = dir.file(file.name).string();
        fixtures::writeFile(path, file.bytes);
        for (const auto& [name, bytes] : file.companions) fixtures::writeFile(dir.file(name), bytes);
        host::RepairOutcome committed;
        const KillRun reference = killOnDisk(file, path, host::StreamOp::Read, 0, dir.file("quarantine"), &committed);
        // Every corpus file with a repair is repaired when nothing fails.
        ASSERT_TRUE(host::killSucceeded(reference.result)) << "kill result " << std::hex << reference.result;
        ASSERT_NE(committed.action, host::RepairAction::Unchanged) << committed.error;
        // Undisturbed, the host's check has nothing to change.
        ASSERT_EQ(reference.moduleResult, reference.result);
        for (size_t kind = 0; kind < host::kStreamOpKinds; ++kind) {
            const host::StreamOp op = host::StreamOp(kind);
            for (uint64_t k = 1; k <= reference.calls[kind]; ++k) {
                SCOPED_TRACE(std::string("failing ") + opName(op) + " call " + std::to_string(k));
                std::filesystem::remove(path);
                fixtures::writeFile(path, file.bytes);
                const KillRun run = killOnDisk(file, path, op, k, dir.file("quarantine"), &committed);
                check(reference, run, path);
            }
        }
    }

    fixtures::TempDir dir;
};

TEST_P(FaultInjection, EveryFailingCallGivesAnHonestResultAndAWholeFile) {
    const CorpusFile& file = GetParam();
    size_t honestFailures = 0, survived = 0;
    killUnderEachFault([&](const KillRun& reference, const KillRun& run, const std::string& path) {
        const Bytes& repaired = reference.bytes;
        if (host::killSucceeded(run.result)) {
            // A success must be the whole repair, as if nothing had failed.
            EXPECT_EQ(run.result, reference.result);
            EXPECT_EQ(run.removed, reference.removed);
            EXPECT_TRUE(run.bytes == repaired) << "a success after a failed call left a different file";
            ++survived;
        } else {
            ++honestFailures;
        }
        // On disk: the original, or the complete repair (or gone, for a removal).
        if (!std::filesystem::exists(path)) {
            EXPECT_TRUE(host::killSucceeded(run.result) && (run.removed || run.result == KILL_REMOVED));
        } else {
            const Bytes onDisk = fixtures::readFile(path);
            EXPECT_TRUE(onDisk == file.bytes || (host::killSucceeded(run.result) && onDisk == repaired))
                << "the file on disk is neither the original nor the repair";
        }
    });
    RecordProperty("failures_reported", std::to_string(honestFailures));
    RecordProperty("repairs_that_survived", std::to_string(survived));
}

// The same faults, judged by what the unit itself answered: a unit that goes on over a failed
// host call and reports success is caught here even though the host's check turns its answer
// into a failure.
TEST_P(FaultInjection, TheModulesOwnAnswerIsHonestWithoutTheHostsCheck) {
    killUnderEachFault([&](const KillRun& reference, const KillRun& run, const std::string&) {
        // Any other answer is a failure to every host; only a success has to be checked.
        if (!host::killSucceeded(run.moduleResult)) return;
        EXPECT_EQ(run.moduleResult, reference.moduleResult);
        EXPECT_EQ(run.removed, reference.removed);
        EXPECT_TRUE(run.bytes == reference.bytes) << "the unit reported success over a failed call";
    });
}

std::vector<CorpusFile> repairedFiles() {
    std::vector<CorpusFile> files;
    for (const CorpusFile& file : robustness::sampleCorpus())
        if (file.repair != RepairBy::None) files.push_back(file);
    return files;
}

INSTANTIATE_TEST_SUITE_P(Corpus, FaultInjection, ::testing::ValuesIn(repairedFiles()), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

}  // namespace
