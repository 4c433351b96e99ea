// Replays every committed fuzz finding (tests/regressions/<target>/<input>) through its target's
// entry function, and a few hostile inputs through every target, in this process: under the
// sanitizer build a finding that comes back is reported here.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "tests/fixtures/bytes.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRegressions = fs::path(REMEDY_SOURCE_DIR) / "tests" / "regressions";

const fuzz::Target* targetNamed(const std::string& name) {
    for (const fuzz::Target& target : fuzz::allTargets())
        if (name == target.name) return &target;
    return nullptr;
}

TEST(Regressions, EveryFolderNamesATarget) {
    if (!fs::exists(kRegressions)) GTEST_SKIP() << "no regression inputs";
    for (const fs::directory_entry& entry : fs::directory_iterator(kRegressions)) {
        if (!entry.is_directory()) continue;
        EXPECT_NE(targetNamed(entry.path().filename().string()), nullptr)
            << entry.path() << " is not the name of a fuzz target, so its inputs would never run";
    }
}

TEST(Regressions, EveryCommittedInputRunsCleanly) {
    for (const fuzz::Target& target : fuzz::allTargets()) {
        const fs::path dir = kRegressions / target.name;
        if (!fs::is_directory(dir)) continue;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            SCOPED_TRACE(entry.path().string());
            const fixtures::Bytes input = fixtures::readFile(entry.path());
            EXPECT_EQ(target.run(input.data(), input.size()), 0);
        }
    }
}

// Inputs every reader meets first: nothing, too little, the wrong magic, all bits set, and
// headers whose counts and offsets claim far more than the file holds.
std::vector<fixtures::Bytes> hostileInputs() {
    std::vector<fixtures::Bytes> inputs = {{}, {0}, {'M'}, {'M', 'Z'}, fixtures::Bytes(64, 0xFF), fixtures::Bytes(600, 0)};
    fixtures::Bytes mz(0x200, 0xFF);
    mz[0] = 'M', mz[1] = 'Z';
    fixtures::put32(mz, 60, 0x40);
    mz[0x40] = 'P', mz[0x41] = 'E', mz[0x42] = 0, mz[0x43] = 0;
    inputs.push_back(mz);
    fixtures::Bytes ole = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    ole.resize(1024, 0xFF);
    inputs.push_back(ole);
    return inputs;
}

TEST(Regressions, EveryTargetSurvivesHostileInputs) {
    const std::vector<fixtures::Bytes> inputs = hostileInputs();
    for (const fuzz::Target& target : fuzz::allTargets()) {
        SCOPED_TRACE(target.name);
        for (size_t i = 0; i < inputs.size(); ++i) {
            SCOPED_TRACE(i);
            // Each input also under every format selector the engine targets read first.
            for (uint8_t selector : {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x80}) {
                fixtures::Bytes input = inputs[i];
                input.insert(input.begin(), {selector, uint8_t(i), 0, 0, 0, 0});
                EXPECT_EQ(target.run(input.data(), input.size()), 0);
            }
            EXPECT_EQ(target.run(inputs[i].data(), inputs[i].size()), 0);
        }
    }
}

}  // namespace
