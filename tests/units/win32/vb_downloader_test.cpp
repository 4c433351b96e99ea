// The VB downloader heuristic as the host meets it: a row of the post-library PE table that
// runs only with heuristics on, names the program by its API declarations and removes it.
#include <gtest/gtest.h>

#include <string>

#include "host/services.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "sdk/property.h"
#include "tests/fixtures/vb_downloader_rootkit.h"
#include "tests/support/module_driver.h"

namespace {

using fixtures::Bytes;
using fixtures::VbProgram;
using fixtures::vbProgram;

constexpr uint32_t kVbDownloaderId = 0x40153126;

// Engines of its own with heuristics on: the last test turns them off.
class VbDownloader : public support::ModuleEnginesTest {
protected:
    void SetUp() override {
        startEngines();
        rot_->engineConfig()->setHeuristics(true);
    }

    // Scans the program and, when something was found, repairs it.
    support::Outcome scan(const Bytes& bytes, void (*prepare)(host::FileObject*) = nullptr) {
        support::Sample sample(bytes, qe::FORMAT_PE, "setup.exe");
        if (prepare) prepare(sample.scanned);
        return sample.scanThenKill(*engines_);
    }
};

TEST_F(VbDownloader, NamesDownloadersWithALauncherAndRemovesThem) {
    struct Case {
        const char* name;
        std::vector<fixtures::VbDeclaration> declarations;
    };
    const Case cases[] = {
        {"WinExec", {{"urlmon", "URLDownloadToFileA"}, {"kernel32", "WinExec"}}},
        {"launcher first, names in other cases", {{"KERNEL32.DLL", "winexec"}, {"urlmon.dll", "urldownloadtofilea"}}},
        {"ShellExecuteA", {{"shell32", "ShellExecuteA"}, {"urlmon", "URLDownloadToFileA"}}},
        {"CreateProcessA from anywhere", {{"urlmon", "URLDownloadToFileA"}, {"advapi32", "CreateProcessA"}}},
        {"among ten declarations",
         {{"user32", "MessageBoxA"}, {"user32", "FindWindowA"}, {"gdi32", "BitBlt"}, {"kernel32", "Sleep"},
          {"kernel32", "GetTickCount"}, {"user32", "SetTimer"}, {"kernel32", "GetTempPathA"},
          {"kernel32", "lstrcpyA"}, {"urlmon", "URLDownloadToFileA"}, {"shell32", "ShellExecuteExA"}}},
    };
    for (const Case& c : cases) {
        VbProgram program;
        program.declarations = c.declarations;
        const support::Outcome outcome = scan(vbProgram(program));
        EXPECT_EQ(outcome.finding.virusId, kVbDownloaderId) << c.name;
        EXPECT_EQ(outcome.finding.phase, host::Phase::PostLibrary) << c.name;
        EXPECT_EQ(outcome.result, KILL_REMOVED) << c.name;
        EXPECT_TRUE(outcome.removed) << c.name;
    }
}

TEST_F(VbDownloader, LeavesOtherProgramsAlone) {
    struct Case {
        const char* name;
        VbProgram program;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, auto change) {
        VbProgram p;
        change(p);
        cases.push_back({name, p});
    };
    add("no launcher", [](VbProgram& p) { p.declarations = {{"urlmon", "URLDownloadToFileA"}}; });
    add("no download", [](VbProgram& p) { p.declarations = {{"kernel32", "WinExec"}, {"shell32", "ShellExecuteA"}}; });
    add("wide download", [](VbProgram& p) { p.declarations[0].function = "URLDownloadToFileW"; });
    add("WinExec from another library", [](VbProgram& p) { p.declarations[1].library = "user32"; });
    add("ShellExecute from another library", [](VbProgram& p) { p.declarations[1] = {"kernel32", "ShellExecuteA"}; });
    add("not API declarations", [](VbProgram& p) {
        for (auto& d : p.declarations) d.type = 6;
    });
    add("count 0", [](VbProgram& p) { p.count = 0; });
    add("count 2 with its high byte set", [](VbProgram& p) { p.count = 0x01000002; });
    add("count 11", [](VbProgram& p) {
        p.declarations.resize(11, {"kernel32", "Sleep"});
        p.declarations[10] = {"kernel32", "WinExec"};
    });
    add("not a VB5 header", [](VbProgram& p) { p.magic = "VB6!"; });
    add("header in the image's last 119 bytes", [](VbProgram& p) { p.headerBeyondImage = true; });
    for (const Case& c : cases) {
        const support::Outcome outcome = scan(vbProgram(c.program));
        EXPECT_NE(outcome.finding.virusId, kVbDownloaderId) << c.name;
        EXPECT_FALSE(outcome.removed) << c.name;
    }
}

TEST_F(VbDownloader, RunsOnlyWhenAllowed) {
    const Bytes downloader = vbProgram();
    Bytes large = downloader;
    large.resize(0x100001, 0);
    Bytes largest = downloader;
    largest.resize(0x100000, 0);
    EXPECT_NE(scan(large).finding.virusId, kVbDownloaderId) << "more than 0x100000 bytes";
    EXPECT_EQ(scan(largest).finding.virusId, kVbDownloaderId) << "0x100000 bytes";

    struct Case {
        const char* name;
        void (*prepare)(host::FileObject*);
        bool found;
    };
    const Case cases[] = {
        {"white-listed", [](host::FileObject* f) { f->setIntProperty(qe::PID_TROJANLIB_WHITELIST, qe::VT_UI4, 1); },
         false},
        {"white-list flag 0", [](host::FileObject* f) { f->setIntProperty(qe::PID_TROJANLIB_WHITELIST, qe::VT_UI4, 0); },
         true},
        {"white-list value of another type",
         [](host::FileObject* f) { f->setIntProperty(qe::PID_TROJANLIB_WHITELIST, qe::VT_INT, 1); }, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(scan(downloader, c.prepare).finding.virusId == kVbDownloaderId, c.found) << c.name;

    rot_->engineConfig()->setHeuristics(false);
    const support::Outcome off = scan(downloader);
    EXPECT_NE(off.finding.virusId, kVbDownloaderId) << "heuristics off";
    EXPECT_FALSE(off.removed);
}

}  // namespace
