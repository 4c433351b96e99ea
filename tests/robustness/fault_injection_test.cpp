// Every repair of the corpus with the storage failing under it: for each kind of stream
// operation (read, write, seek, set-size) and each k, the k-th such call fails. The kill must
// say honestly how it went - a success leaves exactly the repair an undisturbed run makes -
// keep no reference to the file, and the file on disk must end as the original or as the
// complete repair, never a mix.
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
    uint32_t result = 0;
    Bytes bytes;
    bool removed = false;
    uint64_t calls[host::kStreamOpKinds] = {};
};

// Reads the file at `path` as the command line does, scans it first when the engines must find
// it, then kills it with the k-th call of `op` failing (k = 0: nothing fails) and commits.
KillRun killOnDisk(const CorpusFile& file, const std::string& path, host::StreamOp op, uint64_t k,
                   const std::filesystem::path& quarantine, host::RepairOutcome* committed) {
    host::Engines& engines = robustness::heuristicEngines();
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
            }
        } else {
            object->failNth(op, k);
            run.result = engines.kill(target, robustness::killRequestOf(file));
        }
    }
    for (size_t kind = 0; kind < host::kStreamOpKinds; ++kind) run.calls[kind] = object->streamCalls(host::StreamOp(kind));
    object->failNth(op, 0);
    EXPECT_EQ(object->refCount(), 1u) << "the kill kept a reference to the file";
    run.bytes = object->bytes();
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
        default: return "set-size";
    }
}

class FaultInjection : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(FaultInjection, EveryFailingCallGivesAnHonestResultAndAWholeFile) {
    const CorpusFile& file = GetParam();
    fixtures::TempDir dir;
    const std::string path = dir.file(file.name).string();

    fixtures::writeFile(path, file.bytes);
    host::RepairOutcome committed;
    const KillRun reference = killOnDisk(file, path, host::StreamOp::Read, 0, dir.file("quarantine"), &committed);
    // Every corpus file with a repair is repaired when nothing fails.
    ASSERT_TRUE(host::killSucceeded(reference.result)) << "kill result " << std::hex << reference.result;
    ASSERT_NE(committed.action, host::RepairAction::Unchanged) << committed.error;
    const Bytes repaired = reference.bytes;

    size_t honestFailures = 0, survived = 0;
    for (size_t kind = 0; kind < host::kStreamOpKinds; ++kind) {
        const host::StreamOp op = host::StreamOp(kind);
        for (uint64_t k = 1; k <= reference.calls[kind]; ++k) {
            SCOPED_TRACE(std::string("failing ") + opName(op) + " call " + std::to_string(k));
            std::filesystem::remove(path);
            fixtures::writeFile(path, file.bytes);
            const KillRun run = killOnDisk(file, path, op, k, dir.file("quarantine"), &committed);
            if (host::killSucceeded(run.result)) {
                // A success must be the whole repair, as if nothing had failed.
                EXPECT_EQ(run.result, reference.result);
                EXPECT_EQ(run.removed, reference.removed);
                EXPECT_TRUE(run.bytes == repaired) << "a success after a failed " << opName(op)
                                                   << " left a different file";
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
        }
    }
    RecordProperty("failures_reported", std::to_string(honestFailures));
    RecordProperty("repairs_that_survived", std::to_string(survived));
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
