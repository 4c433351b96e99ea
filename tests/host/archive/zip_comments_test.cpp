// Zip comments through a repair: Debian's zip writes an archive comment and a member comment,
// the repaired archive keeps both (as unzip and zipnote read them); and the comment carrier
// refuses a central directory it cannot follow, leaving the rewrite untouched.
#include <gtest/gtest.h>

#include <cstdio>

#include "host/archive/zip_comments.h"
#include "tests/host/archive/archive_test_support.h"

namespace {

using namespace archivetest;
using Repair = host::ScanSettings::Repair;
using host::ZipCommentsCarried;

// What `command` prints, run in `dir`; the test fails when it does not exit 0.
std::string output(const fixtures::TempDir& dir, const std::string& command) {
    const std::string line = "cd '" + dir.path().string() + "' && " + command + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return {};
    }
    std::string text;
    char block[4096];
    for (size_t got; (got = std::fread(block, 1, sizeof block, pipe)) > 0;) text.append(block, got);
    EXPECT_EQ(::pclose(pipe), 0) << command << "\n" << text;
    return text;
}

TEST(ZipComments, ARepairedZipKeepsItsArchiveAndMemberComments) {
    if (!haveCommand("zip") || !haveCommand("unzip") || !haveCommand("zipnote")) GTEST_SKIP() << "zip is not installed";
    fixtures::TempDir dir;
    const Bytes clean = fixtures::dos::makeCom(3000);
    const Bytes notes(5000, 'n');
    fixtures::writeFile(dir.file("a.com"), fixtures::dos::infectTmcBCom(clean));
    fixtures::writeFile(dir.file("notes.txt"), notes);
    run(dir, "zip -q -X a.zip a.com notes.txt");
    run(dir, "echo 'the archive comment' | zip -q -z a.zip");
    run(dir, "printf '@ a.com\\nthe infected one\\n@=a.com\\n@ notes.txt\\nplain notes\\n@=notes.txt\\n"
             "@ (zip file comment below this line)\\nthe archive comment\\n' | zipnote -w a.zip");
    const std::string notesBefore = output(dir, "zipnote a.zip");
    ASSERT_NE(notesBefore.find("plain notes"), std::string::npos) << notesBefore;

    auto scanner = makeScanner(dir);
    host::ScanSettings settings;
    settings.repair = Repair::Commit;
    settings.commit.quarantineDir = dir.file("quarantine");
    const host::ScanResult repaired = scanner->scanPath(dir.file("a.zip"), settings);
    ASSERT_TRUE(repaired.repaired) << (repaired.actions.empty() ? "" : repaired.actions[0]);

    EXPECT_EQ(output(dir, "zipnote a.zip"), notesBefore);
    EXPECT_NE(output(dir, "unzip -z a.zip").find("the archive comment"), std::string::npos);
    output(dir, "unzip -tq a.zip");
    run(dir, "unzip -q a.zip -d out");
    EXPECT_EQ(fixtures::readFile(dir.file("out/a.com")), clean);
    EXPECT_EQ(fixtures::readFile(dir.file("out/notes.txt")), notes);
}

// --- hand-made central directories ---

void put16(Bytes& out, size_t value) {
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}
void put32(Bytes& out, uint64_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

struct HandMember {
    std::string name;
    std::string comment;
};

// A stored zip of empty members: local headers, central directory, end record.
Bytes handZip(const std::vector<HandMember>& members, const std::string& comment) {
    Bytes zip;
    std::vector<size_t> localAt;
    for (const HandMember& m : members) {
        localAt.push_back(zip.size());
        put32(zip, 0x04034b50);
        put16(zip, 10), put16(zip, 0), put16(zip, 0), put16(zip, 0), put16(zip, 0);
        put32(zip, 0), put32(zip, 0), put32(zip, 0);
        put16(zip, m.name.size()), put16(zip, 0);
        zip.insert(zip.end(), m.name.begin(), m.name.end());
    }
    const size_t directoryAt = zip.size();
    for (size_t i = 0; i < members.size(); ++i) {
        const HandMember& m = members[i];
        put32(zip, 0x02014b50);
        put16(zip, 20), put16(zip, 10), put16(zip, 0), put16(zip, 0), put16(zip, 0), put16(zip, 0);
        put32(zip, 0), put32(zip, 0), put32(zip, 0);
        put16(zip, m.name.size()), put16(zip, 0), put16(zip, m.comment.size());
        put16(zip, 0), put16(zip, 0), put32(zip, 0), put32(zip, localAt[i]);
        zip.insert(zip.end(), m.name.begin(), m.name.end());
        zip.insert(zip.end(), m.comment.begin(), m.comment.end());
    }
    const size_t directorySize = zip.size() - directoryAt;
    put32(zip, 0x06054b50);
    put16(zip, 0), put16(zip, 0), put16(zip, members.size()), put16(zip, members.size());
    put32(zip, directorySize), put32(zip, directoryAt), put16(zip, comment.size());
    zip.insert(zip.end(), comment.begin(), comment.end());
    return zip;
}

TEST(ZipComments, CommentsGoToTheMembersKeptInOrderByName) {
    const Bytes original = handZip({{"a", "first"}, {"gone", "left out"}, {"b", ""}, {"c", "third"}}, "whole");
    Bytes rewritten = handZip({{"a", ""}, {"b", ""}, {"c", ""}}, "");
    ASSERT_EQ(host::carryZipComments(original, &rewritten), ZipCommentsCarried::Carried);
    EXPECT_EQ(rewritten, handZip({{"a", "first"}, {"b", ""}, {"c", "third"}}, "whole"));

    Bytes plain = handZip({{"a", ""}}, "");
    const Bytes before = plain;
    EXPECT_EQ(host::carryZipComments(handZip({{"a", ""}}, ""), &plain), ZipCommentsCarried::None);
    EXPECT_EQ(plain, before);
}

TEST(ZipComments, AHostileCentralDirectoryIsRefusedAndTheRewriteLeftAlone) {
    const Bytes good = handZip({{"a", "first"}, {"b", "second"}}, "whole");
    const size_t end = good.size() - 22 - 5;
    const size_t directoryAt = good[end + 16] | (good[end + 17] << 8);
    const auto patched = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes copy = good;
        std::copy(bytes.begin(), bytes.end(), copy.begin() + std::ptrdiff_t(at));
        return copy;
    };
    const struct {
        const char* what;
        Bytes zip;
    } cases[] = {
        {"empty", {}},
        {"cut inside the end record", Bytes(good.begin(), good.end() - 10)},
        {"cut inside the directory", Bytes(good.begin() + std::ptrdiff_t(directoryAt + 10), good.end())},
        {"comment length past the end", patched(end + 20, {0xFF, 0x00})},
        {"directory size past the end", patched(end + 12, {0xFF, 0xFF, 0x00, 0x00})},
        {"directory offset past the end", patched(end + 16, {0xFF, 0xFF, 0xFF, 0x7F})},
        {"ZIP64 offset", patched(end + 16, {0xFF, 0xFF, 0xFF, 0xFF})},
        {"more members than headers", patched(end + 8, {0x03, 0x00, 0x03, 0x00})},
        {"member name past the directory", patched(directoryAt + 28, {0xFF, 0xFF})},
        {"member comment past the directory", patched(directoryAt + 32, {0x00, 0xF0})},
        {"second disk", patched(end + 4, {0x01, 0x00})},
        {"bad header signature", patched(directoryAt, {'X'})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A hostile original: nothing to carry from.
        Bytes rewritten = handZip({{"a", ""}, {"b", ""}}, "");
        const Bytes before = rewritten;
        EXPECT_EQ(host::carryZipComments(c.zip, &rewritten), ZipCommentsCarried::Refused);
        EXPECT_EQ(rewritten, before);
        // A hostile rewrite: nothing to carry into.
        Bytes hostile = c.zip;
        EXPECT_EQ(host::carryZipComments(good, &hostile), ZipCommentsCarried::Refused);
        EXPECT_EQ(hostile, c.zip);
    }
}

// An archive comment that holds an end record of its own would be read as the end.
TEST(ZipComments, AnArchiveCommentThatLooksLikeAnEndRecordIsRefused) {
    const std::string fakeEnd = "PK\x05\x06" + std::string(18, '\0');
    const Bytes original = handZip({{"a", ""}}, fakeEnd);
    Bytes rewritten = handZip({{"a", ""}}, "");
    const Bytes before = rewritten;
    EXPECT_EQ(host::carryZipComments(original, &rewritten), ZipCommentsCarried::Refused);
    EXPECT_EQ(rewritten, before);
}

}  // namespace
