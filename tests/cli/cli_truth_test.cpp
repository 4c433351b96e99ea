// Output that tells the truth: hostile names cannot forge or hide lines, JSON names are exact,
// path lists are read safely, skipped files are counted, numbers mean what they say, and
// memory stays inside one budget.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <set>

#include "cli/result_printers.h"
#include "tests/cli/cli_runner.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"

namespace {

using fixtures::Bytes;
using namespace clitest;
using namespace std::string_literals;

// Decodes the escape at text[at] (just after its backslash) onto *out; returns the index of
// its last character. \xHH is the text output's, \uXXXX (below 0x80) the JSON output's.
size_t decodeEscape(const std::string& text, size_t at, std::string* out) {
    const char kind = text[at];
    const size_t digits = kind == 'x' ? 2 : kind == 'u' ? 4 : 0;
    if (digits && at + digits < text.size()) {
        *out += char(std::stoi(text.substr(at + 1, digits), nullptr, 16));
        return at + digits;
    }
    *out += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : kind;
    return at;
}

// Undoes the escapes of the text output.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) i = decodeEscape(text, i + 1, &out);
        else out += text[i];
    }
    return out;
}

// The JSON string value of `key` in a one-line object, decoded; nullopt when absent.
std::optional<std::string> jsonValue(const std::string& line, const std::string& key) {
    const std::string opening = "\"" + key + "\":\"";
    size_t at = line.find(opening);
    if (at == std::string::npos) return std::nullopt;
    std::string out;
    for (at += opening.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\') at = decodeEscape(line, at + 1, &out);
        else out += line[at];
    }
    return out;
}

std::string base64Decoded(const std::string& text) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t group = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        group = group << 6 | uint32_t(digits.find(c));
        if ((bits += 6) >= 8) out += char(group >> (bits -= 8));
    }
    return out;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(at, end - at));
    }
    return lines;
}

struct HostileName {
    const char* what;
    std::string name;  // relative to the scanned directory
};

// Names chosen to forge a line, hide one, or share a readable form with another name. The
// infected file's name is not valid UTF-8; its clean neighbour is really named with the
// replacement character that name reads as.
const std::vector<HostileName> kHostileNames = {
    {"newline and a forged verdict", "p: OK\n/srv/share/thesis.doc"},
    {"carriage return and hidden text", "motd\r\x1b[8m-hidden"},
    {"a verdict inside the name", "x.doc: OK"},
    {"invalid UTF-8", "report\xff.com"},
    {"the replacement form of another name", "report\xef\xbf\xbd.com"},
    {"a backslash that looks like an escape", "back\\x41slash"},
    {"a right-to-left override", "evil\xe2\x80\xaetxt.exe"},
    {"a C1 control", "csi\xc2\x9b" "2J"},
    {"a tab", "tab\tname"},
    {"DEL", "del\x7fname"},
};
const std::string kInfectedName = "report\xff.com";

struct HostileTree {
    fixtures::TempDir dir;
    std::string root = dir.file("t").string();
    std::set<std::string> names;  // full paths as bytes
    HostileTree() {
        for (const HostileName& hostile : kHostileNames) {
            const std::filesystem::path path = root + "/" + hostile.name;
            std::filesystem::create_directories(path.parent_path());
            fixtures::writeFile(path, hostile.name == kInfectedName
                                          ? fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333))
                                          : Bytes{'x'});
            names.insert(path.string());
        }
    }
};

TEST(CliHostileNames, EveryTextLineStartsWithTheEscapedPathOfARealFile) {
    HostileTree tree;
    Outcome run = remedy(tree.dir, "scan --no-summary " + quote(tree.root));
    EXPECT_EQ(run.status, 1) << run.err;
    std::map<std::string, std::string> verdictOf;
    for (const std::string& line : linesOf(run.out)) {
        for (unsigned char c : line) EXPECT_TRUE(c >= 0x20 && c != 0x7f) << "control byte in: " << line;
        // The path ends at a ": " where the text before it unescapes to a file of the tree.
        size_t split = std::string::npos;
        for (size_t at = line.find(": "); at != std::string::npos; at = line.find(": ", at + 1))
            if (tree.names.count(unescape(line.substr(0, at)))) split = at;
        ASSERT_NE(split, std::string::npos) << "a line about no file: " << line;
        EXPECT_TRUE(verdictOf.emplace(unescape(line.substr(0, split)), line.substr(split + 2)).second) << line;
    }
    EXPECT_EQ(verdictOf.size(), tree.names.size()) << run.out;
    for (const HostileName& hostile : kHostileNames)
        EXPECT_EQ(verdictOf[tree.root + "/" + hostile.name],
                  hostile.name == kInfectedName ? "DOS.TmcBCOM 0x00006551 FOUND (post-library)" : "OK")
            << hostile.what;
    // Escaped, not dropped: the line of the infected file shows the byte that is not UTF-8.
    EXPECT_NE(run.out.find(tree.root + "/report\\xff.com: DOS.TmcBCOM"), std::string::npos) << run.out;
}

TEST(CliHostileNames, JsonIdentifiesEachFileExactly) {
    HostileTree tree;
    Outcome run = remedy(tree.dir, "scan --no-summary --json " + quote(tree.root));
    EXPECT_EQ(run.status, 1) << run.err;
    std::set<std::string> seen;
    for (const std::string& line : linesOf(run.out)) {
        const std::optional<std::string> path = jsonValue(line, "path"), bytes = jsonValue(line, "path_bytes");
        ASSERT_TRUE(path) << line;
        const std::string identity = bytes ? base64Decoded(*bytes) : *path;
        EXPECT_TRUE(tree.names.count(identity)) << line;
        EXPECT_TRUE(seen.insert(identity).second) << "two lines for one file: " << line;
        // path_bytes only where the readable form is not the name.
        EXPECT_EQ(bytes.has_value(), identity != *path) << line;
        EXPECT_EQ(line.find("\"findings\":[]") == std::string::npos, identity == tree.root + "/" + kInfectedName)
            << line;
    }
    EXPECT_EQ(seen.size(), tree.names.size()) << run.out;
}

// Errors and notes go through the same rule as result lines.
TEST(CliHostileNames, ErrorsAndNotesAreEscapedToo) {
    fixtures::TempDir dir;
    const std::string missing = dir.file("gone\n/etc/passwd: OK").string();
    const std::string big = dir.file("big\r.bin").string();
    fixtures::writeFile(big, Bytes(2048, 'b'));
    Outcome run = remedy(dir, "scan --no-summary --max-filesize 1K " + quote(missing) + " " + quote(big));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, dir.file("gone\\n/etc/passwd: OK").string() + ": ERROR: No such file or directory\n" +
                           dir.file("big\\r.bin").string() + ": Larger than --max-filesize (1024 bytes), skipped\n");
    run = remedy(dir, "scan --files-from " + quote(dir.file("no\x1b[2Jlist").string()));
    EXPECT_EQ(run.err, "remedy: cannot read " + dir.file("no\\x1b[2Jlist").string() + ": No such file or directory\n");
    run = remedy(dir, "kill --id 1 --no-backup " + quote(missing));
    EXPECT_EQ(run.out, dir.file("gone\\n/etc/passwd: OK").string() + ": ERROR: No such file or directory\n");
}

// The printers, with what the engines will report and the command cannot yet make happen:
// a limit reached part way through a file.
struct PrintCase {
    const char* name;
    host::ScanResult result;
    std::string text;
    std::string jsonPart;
};

host::ScanResult resultWith(std::vector<std::string> limits, std::vector<host::FoundVirus> findings = {}) {
    host::ScanResult result;
    result.path = "dir/a\nb";
    result.scanned = true;
    result.size = 10;
    result.limits = std::move(limits);
    result.findings = std::move(findings);
    return result;
}

class CliPrinter : public ::testing::TestWithParam<PrintCase> {};

TEST_P(CliPrinter, PrintsEveryPartOfTheResult) {
    EXPECT_EQ(cli::textLine(GetParam().result), GetParam().text);
    const std::string json = cli::jsonLine(GetParam().result);
    EXPECT_NE(json.find(GetParam().jsonPart), std::string::npos) << json;
}

const host::FoundVirus kTmc{"0x00006551", "DOS.TmcBCOM", "post-library", ""};

INSTANTIATE_TEST_SUITE_P(
    Results, CliPrinter,
    ::testing::Values(
        PrintCase{"clean", resultWith({}), "dir/a\\nb: OK", "\"path\":\"dir/a\\nb\",\"size\":10"},
        PrintCase{"limit", resultWith({"emulation steps (CScanX)"}), "dir/a\\nb: limit reached: emulation steps (CScanX)",
                  "\"limits\":[\"emulation steps (CScanX)\"]"},
        PrintCase{"two_limits_after_a_finding", resultWith({"emulation steps (CScanX)", "time"}, {kTmc}),
                  "dir/a\\nb: DOS.TmcBCOM 0x00006551 FOUND (post-library); limit reached: emulation steps "
                  "(CScanX); limit reached: time",
                  "\"findings\":[{\"id\":\"0x00006551\",\"name\":\"DOS.TmcBCOM\",\"phase\":\"post-library\"}]"},
        PrintCase{"alert", resultWith({"time"}, {host::limitsExceededFinding()}),
                  "dir/a\\nb: Limits.Exceeded FOUND (limits); limit reached: time",
                  "\"findings\":[{\"id\":null,\"name\":\"Limits.Exceeded\",\"phase\":\"limits\"}]"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliSummary, CountsFilesNotScannedAndLimitsReached) {
    cli::Summary summary;
    host::ScanResult tooLarge, unreadable;
    tooLarge.skippedForSize = true;
    unreadable.unreadable = unreadable.failed = true;
    for (const host::ScanResult& result : {tooLarge, unreadable, resultWith({"time"}), resultWith({})})
        summary.add(result);
    EXPECT_EQ(summary.files, 2u);
    EXPECT_EQ(summary.notScanned, 2u);
    EXPECT_EQ(summary.limitsReached, 1u);
    EXPECT_NE(cli::summaryText(summary, 1).find("\nErrors: 1\nNot scanned: 2\nLimits reached: 1\n"), std::string::npos);
    EXPECT_NE(cli::summaryJson(summary, 1, {}).find("\"errors\":1,\"not_scanned\":2,\"limits_reached\":1,"),
              std::string::npos);
}

// A file over --max-filesize: counted, and a finding only with --alert-exceeds-max.
struct SkipCase {
    const char* name;
    const char* options;
    int status;
    std::string line;
    std::string counts;
};

class CliSkippedFiles : public ::testing::TestWithParam<SkipCase> {};

TEST_P(CliSkippedFiles, AreCountedAndAlertedOnRequest) {
    fixtures::TempDir dir;
    const std::string big = dir.file("padded.com").string(), fits = dir.file("fits.bin").string();
    fixtures::writeFile(big, fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333)));
    fixtures::writeFile(fits, Bytes(1024, 0x41));
    Outcome run = remedy(dir, std::string("scan --max-filesize 1K ") + GetParam().options + " " + quote(big) + " " +
                                  quote(fits));
    EXPECT_EQ(run.status, GetParam().status) << run.out << run.err;
    EXPECT_EQ(run.out.rfind(big + GetParam().line + "\n" + fits + ": OK\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find(GetParam().counts), std::string::npos) << run.out;
    run = remedy(dir, std::string("scan --json --max-filesize 1K ") + GetParam().options + " " + quote(big));
    EXPECT_NE(run.out.find("\"not_scanned\":1,\"limits_reached\":0"), std::string::npos) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    MaxFileSize, CliSkippedFiles,
    ::testing::Values(SkipCase{"noted", "", 0, ": Larger than --max-filesize (1024 bytes), skipped",
                               "Infected files: 0\nRepaired files: 0\nRemoved files: 0\nErrors: 0\nNot scanned: 1\n"
                               "Limits reached: 0\n"},
                      SkipCase{"alerted", "--alert-exceeds-max", 1,
                               ": Limits.Exceeded FOUND (limits); Larger than --max-filesize (1024 bytes), skipped",
                               "Infected files: 1\nRepaired files: 0\nRemoved files: 0\nErrors: 0\nNot scanned: 1\n"
                               "Limits reached: 0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CliSkippedFiles, UnreadableFilesCountAsNotScanned) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    fixtures::TempDir dir;
    const std::string locked = dir.file("locked.bin").string();
    fixtures::writeFile(locked, Bytes(16, 'x'));
    ::chmod(locked.c_str(), 0);
    Outcome run = remedy(dir, "scan --alert-exceeds-max " + quote(locked));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out.rfind(locked + ": ERROR: Permission denied\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("Errors: 1\nNot scanned: 1\n"), std::string::npos) << run.out;
}

// Lists of paths: the text lines, NUL-separated lists, and the edges of both.
TEST(CliFilesFrom, ALineHoldingANulIsRefusedWithItsNumber) {
    fixtures::TempDir dir;
    const std::string a = dir.file("a").string(), b = dir.file("b").string();
    fixtures::writeFile(a, {'x'});
    fixtures::writeFile(b, {'x'});
    const std::string list = a + "\n\n" + b + std::string(1, '\0') + "/etc/passwd\n" + a;
    fixtures::writeFile(dir.file("list"), Bytes(list.begin(), list.end()));
    Outcome run = remedy(dir, "scan --files-from " + quote(dir.file("list").string()));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "remedy: " + dir.file("list").string() +
                           " line 3 holds a NUL byte (lists of NUL-terminated names go with --files-from0)\n");
}

struct ListCase {
    const char* name;
    const char* option;
    std::string list;  // with @ for the directory
    std::string out;   // with @ for the directory
};

class CliFilesFromEdges : public ::testing::TestWithParam<ListCase> {};

TEST_P(CliFilesFromEdges, ReadEveryNameWhole) {
    fixtures::TempDir dir;
    for (const char* name : {"plain", "new\nline", "crlf\r"}) fixtures::writeFile(dir.file(name), {'x'});
    const auto expand = [&](std::string text) {
        for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, dir.path().string());
        return text;
    };
    const std::string list = expand(GetParam().list);
    fixtures::writeFile(dir.file("list"), Bytes(list.begin(), list.end()));
    Outcome run = remedy(dir, std::string("scan --no-summary ") + GetParam().option + " - <" +
                                  quote(dir.file("list").string()));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, expand(GetParam().out));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, CliFilesFromEdges,
    ::testing::Values(
        ListCase{"lines_empty_and_unterminated", "--files-from", "@/plain\n\n\r\n@/plain",
                 "@/plain: OK\n@/plain: OK\n"},
        ListCase{"lines_crlf", "--files-from", "@/plain\r\n", "@/plain: OK\n"},
        ListCase{"nul_names_with_newline_and_cr", "--files-from0",
                 "@/new\nline\0\0@/crlf\r\0@/plain"s, "@/new\\nline: OK\n@/crlf\\r: OK\n@/plain: OK\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// Numbers are decimal unless they start with 0x; -jN is -j N.
TEST(CliNumbers, ALeadingZeroIsStillDecimal) {
    fixtures::TempDir dir;
    const Bytes clean = fixtures::dos::makeCom(3000);
    const std::string path = dir.file("june.com").string();
    fixtures::writeFile(path, fixtures::dos::infectJune1919(clean, 0x4321));
    // 015630 is 0x3D0E, the June 1919 identifier; read as octal it would be 0x1B98.
    Outcome run = remedy(dir, "kill --id 015630 --no-backup " + quote(path));
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out, path + ": repaired\n");
    EXPECT_EQ(fixtures::readFile(path), clean);
}

TEST(CliNumbers, JobsMayBeGluedToTheOption) {
    fixtures::TempDir dir;
    std::filesystem::create_directories(dir.file("t"));
    for (int k = 0; k < 6; ++k) fixtures::writeFile(dir.file("t/f" + std::to_string(k)), Bytes(10, 'x'));
    Outcome glued = remedy(dir, "scan --no-summary -j4 " + quote(dir.file("t").string()));
    Outcome apart = remedy(dir, "scan --no-summary -j 4 " + quote(dir.file("t").string()));
    EXPECT_EQ(glued.status, 0) << glued.err;
    EXPECT_EQ(glued.out, apart.out);
    EXPECT_EQ(std::count(glued.out.begin(), glued.out.end(), '\n'), 6);
}

// The memory budget: one for all workers, whatever their number.
TEST(CliMemoryBudget, ManyWorkersOverLargeFilesStayInsideTheBudget) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine and adds shadow memory: resident memory "
                    "is measured in the default build";
#endif
    fixtures::TempDir dir;
    std::filesystem::create_directories(dir.file("big"));
    constexpr uint64_t kFileBytes = 100ull << 20, kBudget = 250ull << 20;
    constexpr int kFiles = 6;
    for (int k = 0; k < kFiles; ++k) {  // sparse: no disk, but each is read into memory whole
        const auto file = dir.file("big/f" + std::to_string(k));
        fixtures::writeFile(file, {});
        std::filesystem::resize_file(file, kFileBytes);
    }
    const std::string out = dir.file("out").string();
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::execl(REMEDY_CLI_PATH, "remedy", "scan", "--json", "-j", "256", "--max-memory", "250M",
                dir.file("big").c_str(), nullptr);
        ::_exit(127);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    rusage usage{};
    ASSERT_EQ(::wait4(child, &status, 0, &usage), child);  // the child's own getrusage
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string output = slurp(out);
    EXPECT_NE(output.find("\"files\":" + std::to_string(kFiles) + ","), std::string::npos) << output;
    EXPECT_NE(output.find("\"memory_budget\":" + std::to_string(kBudget) + ","), std::string::npos) << output;
    std::smatch peak;
    ASSERT_TRUE(std::regex_search(output, peak, std::regex("\"memory_peak\":([0-9]+)")));
    EXPECT_LE(std::stoull(peak[1]), kBudget);
    EXPECT_GE(std::stoull(peak[1]), kFileBytes);
    // Six files at once would take 600 MB; the budget allows two. The rest of the process
    // (code, engines, stacks) gets 48 MB of slack.
    const uint64_t residentPeak = uint64_t(usage.ru_maxrss) * 1024;
    EXPECT_LT(residentPeak, kBudget + (48ull << 20)) << residentPeak;
}

}  // namespace
