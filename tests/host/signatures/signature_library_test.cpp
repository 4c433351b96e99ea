// The signature library itself: compiling rule files and directories, clear errors for broken
// rules and verdicts, what a match reports, and one compiled library shared by many threads.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/sha256.h"
#include "host/signatures.h"
#include "sdk/format_codes.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/pe_builder.h"

namespace {

using fixtures::Bytes;
using fixtures::TempDir;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::filesystem::path writeRules(const TempDir& dir, const std::string& name, const std::string& rules) {
    const std::filesystem::path path = dir.file(name);
    fixtures::writeFile(path, text(rules));
    return path;
}

std::optional<host::SignatureHit> scanWith(const std::shared_ptr<const host::SignatureLibrary>& library,
                                           const Bytes& bytes, uint32_t format = qe::FORMAT_FILE) {
    std::string error;
    auto scanner = host::SignatureScanner::create(library, &error);
    EXPECT_TRUE(scanner) << error;
    if (!scanner) return std::nullopt;
    int failed = 0;
    auto hit = scanner->scan(bytes, format, &failed);
    EXPECT_EQ(failed, 0);
    return hit;
}

// --- broken rules and verdicts: the error names the file and the line ---

struct BrokenCase {
    const char* name;
    const char* rules;
    const char* lineTag;   // ":N:" expected after the file name
    const char* because;   // part of the message
};

const BrokenCase kBroken[] = {
    {"SyntaxError", "rule ok { meta: virus_id = 1 condition: true }\n\nrule broken {\n  condition: (\n}\n", ":5:",
     "syntax error"},
    {"UnknownIdentifier", "rule a {\n meta: virus_id = 1\n condition: no_such_thing\n}\n", ":3:", "undefined identifier"},
    {"NoVirusId", "rule first { meta: virus_id = 7 condition: true }\n\n\nrule second\n{\n condition: true\n}\n", ":4:",
     "rule second: no virus_id"},
    {"TextVirusId", "\nprivate rule helper { condition: true }\nrule named { meta: virus_id = \"0x3ddd\" condition: helper }\n",
     ":3:", "rule named: virus_id must be an integer"},
    {"ZeroVirusId", "rule zero { meta: virus_id = 0 condition: true }\n", ":1:", "virus_id must lie from 1"},
    {"VirusIdWithBit31", "rule big { meta: virus_id = 0x80000001 condition: true }\n", ":1:", "virus_id must lie from 1"},
    {"MethodTwo", "rule m\n{ meta: virus_id = 5 method = 2 condition: true }\n", ":1:", "method must be 0"},
    {"NumericName", "rule n { meta: virus_id = 5 name = 7 condition: true }\n", ":1:", "name must be a string"},
    {"NegativeFormat", "rule f { meta: virus_id = 5 format = -3 condition: true }\n", ":1:", "format must be a format code"},
    {"NegativeParam", "rule p { meta: virus_id = 5 method = 1 param = -1 condition: true }\n", ":1:",
     "param must lie from 0"},
};

class BrokenRulesTest : public ::testing::TestWithParam<BrokenCase> {};

TEST_P(BrokenRulesTest, ErrorNamesFileAndLine) {
    const BrokenCase& c = GetParam();
    TempDir dir;
    const auto path = writeRules(dir, "broken.yar", c.rules);
    std::string error;
    EXPECT_EQ(host::SignatureLibrary::compile({path}, &error), nullptr);
    EXPECT_NE(error.find(path.string() + c.lineTag), std::string::npos) << error;
    EXPECT_NE(error.find(c.because), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Cases, BrokenRulesTest, ::testing::ValuesIn(kBroken),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SignatureLibrary, MissingSourceIsAnError) {
    TempDir dir;
    std::string error;
    EXPECT_EQ(host::SignatureLibrary::compile({dir.file("nothing-here.yar")}, &error), nullptr);
    EXPECT_NE(error.find("nothing-here.yar"), std::string::npos) << error;
}

// In a directory only .yar and .yara files are rules; the others are left alone.
TEST(SignatureLibrary, DirectoryTakesRuleFilesOnly) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("rules"));
    writeRules(dir, "rules/a.yar", "rule a { meta: virus_id = 1 strings: $s = \"alpha\" condition: $s }\n");
    writeRules(dir, "rules/b.yara", "rule b { meta: virus_id = 2 strings: $s = \"beta\" condition: $s }\n");
    writeRules(dir, "rules/notes.txt", "this is not a rule {\n");
    std::string error;
    auto library = host::SignatureLibrary::compile({dir.file("rules")}, &error);
    ASSERT_TRUE(library) << error;
    EXPECT_EQ(library->fileCount(), 2u);
    EXPECT_EQ(library->ruleCount(), 2u);
    auto hit = scanWith(library, text("some beta text"));
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->rule, "b");
    EXPECT_EQ(hit->virusId, 2u);
    EXPECT_FALSE(scanWith(library, text("gamma")));
}

// --- what a match reports ---

struct VerdictCase {
    const char* name;
    const char* meta;
    host::KillRequest expected;
    const char* displayName = "";
};

const VerdictCase kVerdicts[] = {
    {"ById", "virus_id = 0x3ddd", host::KillRequest::byId(0x3ddd)},
    {"ByMethodNumber", "virus_id = 0x190002 method = 1 param = 2", {1, 0x190002, 2, 0}},
    {"Named", "name = \"Win32.Test\" virus_id = 0x190002 method = 1 param = 2", {1, 0x190002, 2, 0}, "Win32.Test"},
    {"SpecialMethod", "virus_id = 0x1234 method = 0x80000004 param = 0x10", {int32_t(0x80000004u), 0x1234, 0x10, 0}},
    {"HighParam", "virus_id = 9 method = 1 param = 0xFFFFFFFF", {1, 9, 0xFFFFFFFFu, 0}},
};

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, MatchCarriesTheKillRequest) {
    const VerdictCase& c = GetParam();
    TempDir dir;
    const auto path = writeRules(dir, "v.yar", std::string("rule verdict { meta: description = \"any\" ") + c.meta +
                                                   " strings: $m = { 4D 41 52 4B } condition: $m }\n");
    std::string error;
    auto library = host::SignatureLibrary::compile({path}, &error);
    ASSERT_TRUE(library) << error;
    auto hit = scanWith(library, text("..MARK.."));
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->rule, "verdict");
    EXPECT_EQ(hit->virusId, c.expected.virusId);
    EXPECT_EQ(hit->kill.method, c.expected.method);
    EXPECT_EQ(hit->kill.virusId, c.expected.virusId);
    EXPECT_EQ(hit->kill.methodParameter, c.expected.methodParameter);
    EXPECT_EQ(hit->name, c.displayName);
}

INSTANTIATE_TEST_SUITE_P(Cases, VerdictTest, ::testing::ValuesIn(kVerdicts),
                         [](const auto& info) { return std::string(info.param.name); });

// When several rules match, the first in compile order decides: the sources in the order
// given, the rules of a file from top to bottom. Rules of different files may share a name.
TEST(SignatureLibrary, FirstMatchingRuleInCompileOrderWins) {
    TempDir dir;
    const auto first = writeRules(dir, "first.yar",
                                  "rule late { meta: virus_id = 11 strings: $s = \"zzz\" condition: $s }\n"
                                  "rule common { meta: virus_id = 12 strings: $s = \"abc\" condition: $s }\n");
    const auto second = writeRules(dir, "second.yar",
                                   "rule common { meta: virus_id = 21 strings: $s = \"abc\" condition: $s }\n");
    std::string error;
    auto forward = host::SignatureLibrary::compile({first, second}, &error);
    ASSERT_TRUE(forward) << error;
    auto backward = host::SignatureLibrary::compile({second, first}, &error);
    ASSERT_TRUE(backward) << error;
    EXPECT_EQ(scanWith(forward, text("abc zzz"))->virusId, 11u);
    EXPECT_EQ(scanWith(forward, text("abc"))->virusId, 12u);
    EXPECT_EQ(scanWith(backward, text("abc"))->virusId, 21u);
}

// Rules see the host's format code of the file as `file_format`.
TEST(SignatureLibrary, RulesSeeTheFileFormat) {
    TempDir dir;
    const auto path = writeRules(dir, "f.yar", "rule com_only { meta: virus_id = 3 condition: file_format == 111 }\n");
    std::string error;
    auto library = host::SignatureLibrary::compile({path}, &error);
    ASSERT_TRUE(library) << error;
    const Bytes bytes(64, 0x90);
    EXPECT_TRUE(scanWith(library, bytes, qe::FORMAT_COM));
    EXPECT_FALSE(scanWith(library, bytes, qe::FORMAT_MZ));
    EXPECT_FALSE(scanWith(library, bytes, qe::FORMAT_FILE));
    EXPECT_TRUE(scanWith(library, Bytes{}, qe::FORMAT_COM));  // an empty file is scanned too
}

// A rule with a format names files of that format only; the rules after it still get their
// turn. A library whose every rule has a format leaves the other formats alone.
TEST(SignatureLibrary, FormatMetaKeepsARuleToItsFiles) {
    TempDir dir;
    const auto comOnly = writeRules(dir, "com.yar", "rule com_rule { meta: virus_id = 1 format = 111 condition: true }\n");
    const auto anyFormat = writeRules(
        dir, "any.yar", "rule any_rule { meta: virus_id = 2 strings: $s = \"ANY\" condition: $s }\n");
    std::string error;
    auto both = host::SignatureLibrary::compile({comOnly, anyFormat}, &error);
    ASSERT_TRUE(both) << error;
    EXPECT_EQ(scanWith(both, text("xANY"), qe::FORMAT_COM)->rule, "com_rule");
    EXPECT_EQ(scanWith(both, text("xANY"), qe::FORMAT_MZ)->rule, "any_rule");
    EXPECT_FALSE(scanWith(both, text("x"), qe::FORMAT_MZ));
    EXPECT_TRUE(both->scansFormat(qe::FORMAT_FILE));

    auto comRules = host::SignatureLibrary::compile({comOnly}, &error);
    ASSERT_TRUE(comRules) << error;
    EXPECT_TRUE(comRules->scansFormat(qe::FORMAT_COM));
    EXPECT_FALSE(comRules->scansFormat(qe::FORMAT_FILE));
    EXPECT_FALSE(comRules->scansFormat(qe::FORMAT_PE));
    EXPECT_FALSE(scanWith(comRules, text("xANY"), qe::FORMAT_PE));
}

// A long file is seen as its first and last MiB: a marker there is found, one between them
// is not, a read between them is undefined, and `filesize` is still the file's own size.
TEST(SignatureLibrary, LongFileIsSeenAtItsStartAndEnd) {
    TempDir dir;
    const auto path = writeRules(dir, "w.yar",
                                 "rule marker { meta: virus_id = 1 strings: $m = \"SEEN-HERE\" condition: $m }\n"
                                 "rule middle { meta: virus_id = 3 condition: uint8(1572870) == 0x5A }\n"
                                 "rule size { meta: virus_id = 2 condition: filesize == 3145728 and uint8(filesize - 1) == 0x5A }\n");
    std::string error;
    auto library = host::SignatureLibrary::compile({path}, &error);
    ASSERT_TRUE(library) << error;
    const Bytes marker = text("SEEN-HERE");
    struct Case {
        size_t at;
        const char* rule;
    };
    for (const Case& c : {Case{10, "marker"}, Case{(1u << 20) - marker.size(), "marker"},
                          Case{(1u << 20) - 2, "size"}, Case{(3u << 19), "size"},
                          Case{(2u << 20) + 1, "marker"}, Case{(3u << 20) - marker.size(), "marker"}}) {
        Bytes bytes(3u << 20, 0x5A);
        std::copy(marker.begin(), marker.end(), bytes.begin() + std::ptrdiff_t(c.at));
        auto hit = scanWith(library, bytes);
        ASSERT_TRUE(hit) << c.at;
        EXPECT_EQ(hit->rule, c.rule) << c.at;
    }
    // Up to 2 MiB the whole file is seen.
    Bytes twoMiB(2u << 20, 0);
    std::copy(marker.begin(), marker.end(), twoMiB.begin() + (1u << 20));
    EXPECT_EQ(scanWith(library, twoMiB)->rule, "marker");
}

// A rules file that searches no string is not walked byte by byte; its conditions still read
// the file's start and end and its size exactly as before, whichever file comes first, and a
// file naming the old `entrypoint` variable is still walked, so that variable keeps its value.
TEST(SignatureLibrary, RulesWithoutStringsReadWhatTheirConditionsNeed) {
    TempDir dir;
    const auto reads = writeRules(dir, "reads.yar",
                                  "private rule tail_mark { condition: uint16(filesize - 2) == 0x4B4F }\n"
                                  "rule head { meta: virus_id = 1 condition: uint32be(0) == 0x48454144 }\n"
                                  "rule middle { meta: virus_id = 2 condition: uint8(1572870) == 0x5A }\n"
                                  "rule tail { meta: virus_id = 3 condition: tail_mark and filesize == 3145728 }\n");
    const auto strings = writeRules(dir, "strings.yar",
                                    "rule word { meta: virus_id = 4 strings: $w = \"WORD\" condition: $w }\n");
    std::string error;
    for (const auto& order : {std::vector{reads, strings}, std::vector{strings, reads}}) {
        auto library = host::SignatureLibrary::compile(order, &error);
        ASSERT_TRUE(library) << error;
        const bool readsFirst = order.front() == reads;
        struct Case {
            std::string start, end;
            std::optional<uint32_t> id;
        };
        for (const Case& c : {Case{"HEAD", "", 1}, Case{"", "OK", 3}, Case{"WORD", "", 4}, Case{"", "", std::nullopt},
                              Case{"HEAD", "WORD", readsFirst ? 1u : 4u}}) {
            Bytes bytes(3u << 20, 0x5A);
            std::copy(c.start.begin(), c.start.end(), bytes.begin());
            std::copy(c.end.begin(), c.end.end(), bytes.end() - std::ptrdiff_t(c.end.size()));
            auto hit = scanWith(library, bytes);
            EXPECT_EQ(hit ? std::optional(hit->virusId) : std::nullopt, c.id) << c.start << "|" << c.end;
        }
    }

    const auto entry = writeRules(dir, "entry.yar", "rule at_entry { meta: virus_id = 5 condition: entrypoint == 0x400 }\n");
    auto library = host::SignatureLibrary::compile({entry}, &error);
    ASSERT_TRUE(library) << error;
    const Bytes program =
        fixtures::PeBuilder().addSection({".text", Bytes(0x200, 0xC3)}).entryInSection(0, 0).build();
    auto hit = scanWith(library, program, qe::FORMAT_PE);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->virusId, 5u);
}

// Rules compiled when remedy was built are loaded instead of compiled, but only when they were
// compiled from the very source beside them, are a plain file and no one else may write them;
// otherwise the source is compiled. (The file built from another source stands in for one
// built from this source, so a test can tell which was used.)
TEST(SignatureLibrary, RulesCompiledAtBuildAreTakenOnlyForTheirOwnSource) {
    TempDir dir;
    std::filesystem::create_directories(dir.file("built"));
    std::filesystem::create_directories(dir.file("rules"));
    const std::string sourceText = "rule from_source { meta: virus_id = 1 condition: true }\n";
    const auto built = writeRules(dir, "built/a.yar", "rule from_build { meta: virus_id = 2 condition: true }\n");
    std::string error;
    ASSERT_TRUE(host::SignatureLibrary::precompile(built, &error)) << error;
    const auto builtFiles = std::filesystem::directory_iterator(dir.file("built/.compiled"));
    const std::filesystem::path compiled = builtFiles->path();
    const std::string hash = compiled.stem().string();

    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path& placed, const std::filesystem::path& source)> change;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {"as built", [](auto&, auto&) {}, 2},
        {"writable by the group", [](auto& placed, auto&) { ::chmod(placed.c_str(), 0664); }, 1},
        {"cut short", [](auto& placed, auto&) { std::filesystem::resize_file(placed, 40); }, 1},
        {"the source edited", [](auto&, auto& source) { fixtures::writeFile(source, text("rule from_source { meta: virus_id = 1 condition: true } // edited\n")); }, 1},
        {"a link", [&](auto& placed, auto&) { std::filesystem::remove(placed); std::filesystem::create_symlink(compiled, placed); }, 1},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(dir.file("rules"));
        std::filesystem::create_directories(dir.file("rules"));
        const auto source = writeRules(dir, "rules/a.yar", sourceText);
        // The built file, placed under the name this source's own compiled rules would have.
        const Bytes sourceBytes = text(sourceText);
        const std::string sourceHash = host::Sha256::hex(sourceBytes.data(), sourceBytes.size());
        const std::filesystem::path placed = dir.file("rules/.compiled/" + sourceHash + ".yarc");
        std::filesystem::create_directories(placed.parent_path());
        std::filesystem::copy_file(compiled, placed);
        ::chmod(placed.c_str(), 0644);
        c.change(placed, source);
        auto library = host::SignatureLibrary::compile({dir.file("rules")}, &error);
        ASSERT_TRUE(library) << c.name << ": " << error;
        auto hit = scanWith(library, text("anything"));
        ASSERT_TRUE(hit) << c.name;
        EXPECT_EQ(hit->virusId, c.expected) << c.name;
    }
    EXPECT_NE(hash, "") << "named by its source's hash";
}

// One compiled library, more scanners on more threads than a core count would suggest, each
// giving the same answers as a scanner alone.
TEST(SignatureLibrary, ManyThreadsShareOneLibrary) {
    TempDir dir;
    const auto path = writeRules(dir, "t.yar",
                                 "rule even { meta: virus_id = 2 strings: $s = \"EVEN\" condition: $s }\n"
                                 "rule odd { meta: virus_id = 1 strings: $s = \"ODD\" condition: $s }\n");
    std::string error;
    auto library = host::SignatureLibrary::compile({path}, &error);
    ASSERT_TRUE(library) << error;
    constexpr int kThreads = 48, kRounds = 50;
    std::atomic<int> wrong{0}, broken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto scanner = host::SignatureScanner::create(library, nullptr);
            if (!scanner) {
                ++broken;
                return;
            }
            for (int round = 0; round < kRounds; ++round) {
                const int n = t + round;
                const Bytes bytes = text(std::string(100, '.') + (n % 2 ? "ODD" : "EVEN") + std::string(100, '.'));
                int failed = 0;
                auto hit = scanner->scan(bytes, qe::FORMAT_FILE, &failed);
                if (failed || !hit || hit->virusId != uint32_t(n % 2 ? 1 : 2)) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
