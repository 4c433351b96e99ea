// Driving the real module (libremedy.so, loaded by path) the way a host does: a file object
// per sample with its path and format, scanned by the engines and repaired through the engine
// that found it, or repaired by the kill engine on request.
//
//   const support::Outcome out = support::scanThenKill(infected, qe::FORMAT_PE);
//   EXPECT_EQ(out.result, KILL_REPAIRED);
//   EXPECT_EQ(support::kill(infected, qe::FORMAT_COM, host::KillRequest::byId(0x3dd8)).bytes, clean);
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "host/module_host.h"
#include "host/qxbase/file_object.h"
#include "host/running_object_table.h"
#include "sdk/format_codes.h"
#include "tests/fixtures/bytes.h"

namespace support {

using fixtures::Bytes;

// One set of engines over the module for the whole test program; the second has heuristics on.
// Both throw when the module cannot be loaded.
host::Engines& sharedEngines();
host::Engines& heuristicEngines();

// The format of a sample the host classifies (host::classify), as it does any file without one.
constexpr uint32_t kClassify = 0;

// What the engines did to a sample.
struct Outcome {
    host::ScanFinding finding;  // what the scan found (none after a kill alone)
    uint32_t result = 0;        // the kill's result; 0 when nothing was found to kill
    uint32_t format = 0;        // the sample's format afterwards (the host's, when it classified it)
    Bytes bytes;                // the scanned file afterwards
    bool removed = false;       // the host was asked to delete it
};

// The name a sample gets when the test gives none: sample.com for a COM program, else sample.exe.
std::string sampleName(uint32_t format);

// A sample as the host holds it: a file object, and when the file is the unpacked image of a
// packed file, that outer file too; released together.
class Sample {
public:
    Sample(const Bytes& bytes, uint32_t format);
    Sample(const Bytes& bytes, uint32_t format, const std::string& path);
    // `unpacked` as the PE image the host unpacked from the PE file `outer`.
    static Sample insidePacked(const Bytes& unpacked, const Bytes& outer);
    ~Sample();
    Sample(const Sample&) = delete;
    Sample& operator=(const Sample&) = delete;

    // The kill engine, asked by identifier, method number or special method.
    Outcome kill(const host::KillRequest& request, host::Engines& engines = sharedEngines());
    // The scan engines alone.
    Outcome scan(host::Engines& engines = sharedEngines());
    // The scan engines; when something was found, the repair by the engine that found it.
    Outcome scanThenKill(host::Engines& engines = sharedEngines());

    host::FileObject* scanned = nullptr;
    host::FileObject* outer = nullptr;  // null when the scanned file is not packed
    bool damaged = false;               // the host scans it as a damaged file

private:
    struct Packed {};
    Sample(Packed, const Bytes& unpacked, const Bytes& outer);
    Outcome scan(host::Engines& engines, bool thenKill);
    Outcome finish(Outcome outcome) const;  // the scanned file's state, once its target is gone
};

// The same, over a fresh sample of `bytes` (named sampleName(format) unless a path is given).
Outcome kill(const Bytes& bytes, uint32_t format, const host::KillRequest& request);
Outcome kill(const Bytes& bytes, uint32_t format, const host::KillRequest& request, const std::string& path,
             host::Engines& engines = sharedEngines());
Outcome scanThenKill(const Bytes& bytes, uint32_t format);
Outcome scanThenKill(const Bytes& bytes, uint32_t format, const std::string& path,
                     host::Engines& engines = sharedEngines());

// A test with engines of its own, made fresh for each test: for tests that change the
// configuration or give the engines a signature library. Tests that need them only sometimes
// override SetUp and call startEngines themselves.
class ModuleEnginesTest : public ::testing::Test {
protected:
    void startEngines();
    void SetUp() override { startEngines(); }
    void TearDown() override;

    std::shared_ptr<host::Module> module_;
    host::RunningObjectTable* rot_ = nullptr;
    std::unique_ptr<host::Engines> engines_;
};

}  // namespace support
