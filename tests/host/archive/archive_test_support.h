// What the archive tests share: a scanner with the TmcB name and an optional rule for the
// harmless test program, the infected fixture and its clean original, and running the
// third-party archivers in a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "host/module_host.h"
#include "host/scan/file_scanner.h"
#include "host/signatures.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"

namespace archivetest {

using fixtures::Bytes;

constexpr uint32_t kTmcB = 0x00006551;

// A signature rule, written here, for the harmless test program of the clamav-testfiles package.
constexpr const char* kTestProgramRule =
    "rule TestProgram { meta: virus_id = 0x7EC1A000 format = 3\n"
    "  strings: $a = \"CLAMessageBoxA\" $b = \"[CLAMAV]\" condition: $a and $b }\n";

// `ruleText`: signature rules to scan with besides the engines ("" for none).
inline std::unique_ptr<host::FileScanner> makeScanner(const fixtures::TempDir& dir, const std::string& ruleText = "") {
    std::string error;
    std::shared_ptr<host::Module> module = host::Module::load(REMEDY_MODULE_PATH, &error);
    EXPECT_NE(module, nullptr) << error;
    std::shared_ptr<const host::SignatureLibrary> rules;
    if (!ruleText.empty()) {
        const std::string& text = ruleText;
        fixtures::writeFile(dir.file("test-program.yar"), Bytes(text.begin(), text.end()));
        rules = host::SignatureLibrary::compile({dir.file("test-program.yar")}, &error);
        EXPECT_NE(rules, nullptr) << error;
    }
    const auto name = [](uint32_t id) { return id == kTmcB ? std::string("Test.TmcB") : std::string(); };
    auto scanner = host::FileScanner::create({module, rules, false, name}, &error);
    EXPECT_NE(scanner, nullptr) << error;
    return scanner;
}

// Runs `command` with a shell in `dir`; the test fails when it does not exit 0.
inline void run(const fixtures::TempDir& dir, const std::string& command) {
    const std::string line = "cd '" + dir.path().string() + "' && (" + command + ") >/dev/null 2>&1";
    ASSERT_EQ(std::system(line.c_str()), 0) << command;
}

inline bool haveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// The first member result named `members` (outermost first), or null.
inline const host::ScanResult* member(const host::ScanResult& archive, const std::vector<std::string>& members) {
    for (const host::ScanResult& inside : archive.inside)
        if (inside.members == members) return &inside;
    return nullptr;
}

inline struct stat statOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
}

}  // namespace archivetest
