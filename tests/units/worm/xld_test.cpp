// The XLD document dropper: found by the post-library scan, repaired through the unit that found
// it by cutting the extractor off the front, and renamed by the host with the ".doc" suffix.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/repair.h"
#include "sdk/identifiers.h"
#include "tests/cli/cli_runner.h"
#include "tests/fixtures/worms_nimda_viking_tanatos_xld.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using namespace fixtures::worms;

namespace {

constexpr uint32_t kXldId = 0x18a076;

std::string renameRequest(host::FileObject* file) {
    std::string name;
    return file->getStringProperty(qe::PID_File_RenameName, &name) ? name : std::string("<none>");
}

TEST(XldKill, ExtractorIsCutOffAndTheFileRenamed) {
    const XldDropper dropper = xldDropper();
    support::Sample sample(dropper.file, qe::FORMAT_PE, "mail/report.exe");
    const support::Outcome outcome = sample.scanThenKill();
    EXPECT_EQ(outcome.finding.virusId, kXldId);
    EXPECT_EQ(outcome.finding.phase, host::Phase::PostLibrary);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), dropper.document);
    EXPECT_EQ(renameRequest(sample.scanned), "mail/report.doc");
}

// A size resource shorter than 4 bytes still gives the extractor's size from the bytes it has.
TEST(XldKill, ShortSizeResourceIsReadWhole) {
    XldOptions options;
    options.resourceLength = 2;
    options.lengthField = 0;
    const XldDropper dropper = xldDropper(options);
    support::Sample sample(dropper.file, qe::FORMAT_PE);
    const support::Outcome outcome = sample.scanThenKill();
    EXPECT_EQ(outcome.finding.virusId, kXldId);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), dropper.document);
}

struct PathCase {
    const char* name;
    const char* path;
    const char* renamed;
};

class XldRename : public ::testing::TestWithParam<PathCase> {};

TEST_P(XldRename, LastSuffixOfTheNameBecomesDoc) {
    const XldDropper dropper = xldDropper();
    support::Sample sample(dropper.file, qe::FORMAT_PE, GetParam().path);
    EXPECT_EQ(sample.scanThenKill().result, KILL_REPAIRED);
    EXPECT_EQ(renameRequest(sample.scanned), GetParam().renamed);
}

// A "." in a directory name is not the file's suffix: the new name stays in the same directory.
INSTANTIATE_TEST_SUITE_P(Worm, XldRename,
                         ::testing::Values(PathCase{"twoDots", "a.b.exe", "a.b.doc"},
                                           PathCase{"noSuffix", "dir/noext", "dir/noext.doc"},
                                           PathCase{"dotInDirectoryOnly", "dir.v2/program", "dir.v2/program.doc"},
                                           PathCase{"dotInDirectoryAndName", "dir.v2/program.scr", "dir.v2/program.doc"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(XldKill, WidePathGetsAWideName) {
    const XldDropper dropper = xldDropper();
    support::Sample sample(dropper.file, qe::FORMAT_PE);
    sample.scanned->setWidePath(L"in/wide.name.exe");
    sample.scanned->setWidePaths(true);
    EXPECT_EQ(sample.scanThenKill().result, KILL_REPAIRED);
    const QEPROPVALUE* value = nullptr;
    ASSERT_GE(sample.scanned->GetProperty(qe::PID_File_RenameName, &value), 0);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->vt, qe::VT_LPWSTR);
    EXPECT_EQ(std::wstring(value->wideVal), L"in/wide.name.doc");
}

XldOptions without(bool docSuffix, bool signature) {
    XldOptions o;
    o.docSuffix = docSuffix;
    o.compoundSignature = signature;
    return o;
}

TEST(XldScan, LayoutMustHoldTheSuffixAndTheCompoundSignature) {
    for (const XldOptions& options : {without(false, true), without(true, false)}) {
        const XldDropper dropper = xldDropper(options);
        support::Sample sample(dropper.file, qe::FORMAT_PE);
        EXPECT_NE(sample.scanThenKill().finding.virusId, kXldId);
        EXPECT_EQ(sample.scanned->bytes(), dropper.file);
        EXPECT_EQ(renameRequest(sample.scanned), "<none>");
    }
}

// On disk: the host puts the document under the new name beside the original, and never over
// another file.
class XldOnDisk : public ::testing::Test {
protected:
    host::RepairOutcome repair(const std::filesystem::path& path) {
        return host::repairFile(
            path,
            [](host::FileObject* file) {
                host::ScanTarget target(file);
                host::Engines& engines = support::sharedEngines();
                return engines.scan(target).found() ? engines.killFound(target) : KILL_FAILED;
            },
            {});
    }
    fixtures::TempDir dir;
    XldDropper dropper = xldDropper();
};

TEST_F(XldOnDisk, DocumentTakesTheNewName) {
    const auto original = dir.file("report.exe");
    fixtures::writeFile(original, dropper.file);
    const host::RepairOutcome outcome = repair(original);
    EXPECT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    EXPECT_EQ(outcome.finalPath, dir.file("report.doc"));
    EXPECT_EQ(fixtures::readFile(dir.file("report.doc")), dropper.document);
    EXPECT_FALSE(std::filesystem::exists(original));
}

TEST_F(XldOnDisk, ExistingFileOfTheNewNameIsKept) {
    const auto original = dir.file("report.exe");
    fixtures::writeFile(original, dropper.file);
    const Bytes other = {'m', 'i', 'n', 'e'};
    fixtures::writeFile(dir.file("report.doc"), other);
    const host::RepairOutcome outcome = repair(original);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(fixtures::readFile(dir.file("report.doc")), other);
    EXPECT_EQ(fixtures::readFile(original), dropper.file);
}

// The command line says where the repaired file went.
TEST_F(XldOnDisk, CommandLineReportsTheNewName) {
    const auto original = dir.file("report.exe");
    fixtures::writeFile(original, dropper.file);
    const std::string quarantine = dir.file("q").string();
    const clitest::Outcome run = clitest::remedy(
        dir, "scan --no-summary --clean --quarantine " + clitest::quote(quarantine) + " " + clitest::quote(original.string()));
    EXPECT_NE(run.out.find("; repaired as " + dir.file("report.doc").string() + " "), std::string::npos) << run.out;
    EXPECT_EQ(fixtures::readFile(dir.file("report.doc")), dropper.document);
    EXPECT_FALSE(std::filesystem::exists(original));
}

}  // namespace
