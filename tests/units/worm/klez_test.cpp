// Klez: the worm file gets its program back from the stored file named inside it (found beside
// the worm, expanded over it); a worm without one is deleted. The virus part's body is zeroed or
// cut off, and its dropped DLL deleted. The decoders are checked on their own as well.
#include <gtest/gtest.h>

#include <clocale>
#include <memory>
#include <string>
#include <vector>

#include "module/units/worm/klez.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/fixtures/worms_theals_klez_lovgate.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using fixtures::put32;
using namespace fixtures::worms;

namespace {

// ---------------------------------------------------------------- decoders

Bytes decode(const Bytes& input, bool* ok) {
    uint32_t length = 0xDEADBEEF;
    std::unique_ptr<uint8_t[]> out(Decodefile(input.data(), uint32_t(input.size()), &length));
    *ok = out != nullptr;
    return out ? Bytes(out.get(), out.get() + length) : Bytes();
}

Bytes stored(const std::vector<std::pair<uint32_t, uint32_t>>& runs, const Bytes& literals) {
    Bytes b;
    put32(b, 0, uint32_t(runs.size()));
    for (size_t i = 0; i < runs.size(); ++i) {
        put32(b, 4 + 8 * i, runs[i].first);
        put32(b, 8 + 8 * i, runs[i].second);
    }
    b.insert(b.end(), literals.begin(), literals.end());
    return b;
}

TEST(KlezDecodefile, ExpandsRunsBetweenLiterals) {
    struct Case {
        const char* name;
        Bytes input;
        Bytes expected;
    };
    const std::vector<Case> cases = {
        {"no runs: the literals as they are", stored({}, {1, 2, 3}), {1, 2, 3}},
        {"no runs, no literals", stored({}, {}), {}},
        {"a run between literals", stored({{2, 3}}, {1, 2, 3, 4}), {1, 2, 0, 0, 0, 3, 4}},
        {"a run first", stored({{0, 2}}, {7}), {0, 0, 7}},
        {"runs at one position follow one another", stored({{1, 2}, {1, 3}}, {5, 6}), {5, 0, 0, 0, 0, 0, 6}},
        {"a run at the end", stored({{2, 4}}, {8, 9}), {8, 9, 0, 0, 0, 0}},
        {"fewer literals than the gaps: zeros", stored({{3, 1}}, {4}), {4, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        bool ok = false;
        EXPECT_EQ(decode(c.input, &ok), c.expected) << c.name;
        EXPECT_TRUE(ok) << c.name;
    }
}

TEST(KlezDecodefile, RefusesMalformedInput) {
    bool ok = true;
    decode({1, 0, 0}, &ok);  // no room for the count
    EXPECT_FALSE(ok);
    decode(stored({{0, 1}}, {}) /* table complete */, &ok);
    EXPECT_TRUE(ok);
    Bytes cut = stored({{0, 1}, {5, 1}}, {});
    cut.resize(cut.size() - 1);  // the table runs past the input
    decode(cut, &ok);
    EXPECT_FALSE(ok);
    decode(stored({{0, 0xFFFFFFFF}}, {1}), &ok);  // claims 4 GiB of zeros
    EXPECT_FALSE(ok);
    decode(stored({{0xFFFFFFF0u, 1}}, {1}), &ok);  // a gap of 4 GiB
    EXPECT_FALSE(ok);
    Bytes huge;
    put32(huge, 0, 0x20000000);  // 8n + 4 overflows 32 bits
    decode(huge, &ok);
    EXPECT_FALSE(ok);
}

TEST(KlezDecodefile, RoundTripOfAProgram) {
    const Bytes program = fixtures::win32::cleanProgram();
    const Bytes packed = klezCompress(program);
    ASSERT_LT(packed.size(), program.size());  // the program's zero runs were taken out
    bool ok = false;
    EXPECT_EQ(decode(packed, &ok), program);
}

TEST(KlezFileExtNameDecode, XorThenRotateRight) {
    uint8_t key[4] = {1, 0x0F, 0, 0};
    uint8_t buffer[3] = {0x0F, 0x0E, 0xF1};
    EXPECT_EQ(FileExtNameDecode(buffer, 3, key), 1);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x00, 0x80, 0x7F}));
    EXPECT_EQ(key[3], 0x7F);  // the last decoded byte
    EXPECT_EQ(key[0], 1);
    // Eight turns bring a byte back: only the XOR is left.
    uint8_t eight[4] = {8, 0xAA, 0, 0};
    uint8_t text[2] = {0xAA ^ 'a', 0xAA ^ 'b'};
    FileExtNameDecode(text, 2, eight);
    EXPECT_EQ(Bytes(text, text + 2), (Bytes{'a', 'b'}));
    uint8_t untouched[1] = {0x55};
    uint8_t keep[4] = {3, 1, 0, 9};
    FileExtNameDecode(untouched, 0, keep);
    FileExtNameDecode(untouched, -5, keep);
    EXPECT_EQ(untouched[0], 0x55);
    EXPECT_EQ(keep[3], 9);
}

TEST(KlezFileExtNameDecode, UndoesTheWormsEncoding) {
    for (uint8_t turns : {0, 1, 5, 8, 13}) {
        Bytes field = klezEncodePath("C:\\WINDOWS\\SYSTEM\\Wink.exe", turns, 0xA7);
        uint8_t key[4] = {turns, 0xA7, 0, 0};
        FileExtNameDecode(field.data(), int32_t(field.size()), key);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(field.data())), "C:\\WINDOWS\\SYSTEM\\Wink.exe") << int(turns);
    }
}

// ---------------------------------------------------------------- the worm file

struct WormCase {
    const char* name;
    KlezWormKind kind;
    uint32_t id;
};
const WormCase kWormIds[] = {
    {"F 0x436c", KlezWormKind::F, 0x436C}, {"F 0x436d", KlezWormKind::F, 0x436D},
    {"F 0x442c", KlezWormKind::F, 0x442C}, {"F 0x4476", KlezWormKind::F, 0x4476},
    {"K 0x49d3", KlezWormKind::K, 0x49D3}, {"K 0x49bb", KlezWormKind::K, 0x49BB},
};

constexpr const char* kStoredPath = "C:\\WINDOWS\\SYSTEM\\Wink3.exe";

class KlezWorm : public ::testing::Test {
protected:
    void SetUp() override {
        clean = fixtures::win32::cleanProgram();
        fixtures::writeFile(dir.file("Wink3.exe"), klezCompress(clean));
    }
    std::string wormPath() const { return dir.file("setup.exe").string(); }

    fixtures::TempDir dir;
    Bytes clean;
};

TEST_F(KlezWorm, TheStoredProgramReplacesTheWorm) {
    for (const WormCase& c : kWormIds) {
        const Bytes worm = klezWorm(c.kind, kStoredPath, 0x12000);
        const support::Outcome outcome = support::kill(worm, qe::FORMAT_PE, host::KillRequest::byId(c.id), wormPath());
        EXPECT_EQ(outcome.result, KILL_REPAIRED) << c.name;
        EXPECT_EQ(outcome.bytes, clean) << c.name;
        EXPECT_FALSE(outcome.removed) << c.name;
        // The stored file is the host's private copy: the disk keeps it.
        EXPECT_EQ(fixtures::readFile(dir.file("Wink3.exe")), klezCompress(clean)) << c.name;
    }
}

TEST_F(KlezWorm, AWormBelow64KibibytesIsDeleted) {
    const Bytes small = klezWorm(KlezWormKind::F, kStoredPath, 0xFFFF);
    const support::Outcome deleted = support::kill(small, qe::FORMAT_PE, host::KillRequest::byId(0x436C), wormPath());
    EXPECT_EQ(deleted.result, KILL_REMOVED);
    EXPECT_TRUE(deleted.removed);
    const Bytes edge = klezWorm(KlezWormKind::F, kStoredPath, 0x10000);
    const support::Outcome repaired = support::kill(edge, qe::FORMAT_PE, host::KillRequest::byId(0x436C), wormPath());
    EXPECT_EQ(repaired.result, KILL_REPAIRED);
    EXPECT_EQ(repaired.bytes, clean);
}

TEST_F(KlezWorm, WithoutItsStoredProgramTheWormIsDeleted) {
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"stored file missing", klezWorm(KlezWormKind::F, "C:\\WINDOWS\\SYSTEM\\gone.exe", 0x12000)},
        {"no directory in the name, missing", klezWorm(KlezWormKind::F, "gone.exe", 0x12000)},
        {"empty name", klezWorm(KlezWormKind::F, "", 0x12000)},
        // K's block does not fit a file of 64 KiB.
        {"information block cut short", klezWorm(KlezWormKind::K, kStoredPath, 0x10000)},
    };
    for (const auto& [name, worm] : cases) {
        const uint32_t id = worm.size() == 0x10000 ? 0x49D3 : 0x436C;
        const support::Outcome outcome = support::kill(worm, qe::FORMAT_PE, host::KillRequest::byId(id), wormPath());
        EXPECT_EQ(outcome.result, KILL_REMOVED) << name;
        EXPECT_TRUE(outcome.removed) << name;
    }
}

TEST_F(KlezWorm, AStoredNameReachesNoFileOutsideTheWormsDirectory) {
    // A name pointing elsewhere, with host separators (no backslash to fall back on), or
    // climbing out with "..": the file there is a valid stored program, yet it is not used.
    fixtures::TempDir elsewhere;
    fixtures::writeFile(elsewhere.file("Wink3.exe"), klezCompress(clean));
    std::filesystem::create_directory(dir.file("sub"));
    fixtures::writeFile(dir.file("sub") / "Wink3.exe", klezCompress(clean));
    const std::string names[] = {elsewhere.file("Wink3.exe").string(), "sub/Wink3.exe",
                                 "../" + elsewhere.path().filename().string() + "/Wink3.exe"};
    for (const std::string& name : names) {
        const Bytes worm = klezWorm(KlezWormKind::F, name, 0x12000);
        const support::Outcome outcome =
            support::kill(worm, qe::FORMAT_PE, host::KillRequest::byId(0x436C), wormPath());
        EXPECT_EQ(outcome.result, KILL_REMOVED) << name;
        EXPECT_NE(outcome.bytes, clean) << name;
    }
}

TEST_F(KlezWorm, AStoredFileThatDoesNotExpandFailsWithTheWormKept) {
    fixtures::writeFile(dir.file("Wink3.exe"), {0xFF, 0xFF, 0xFF, 0x7F, 1, 2});
    const Bytes worm = klezWorm(KlezWormKind::F, kStoredPath, 0x12000);
    const support::Outcome outcome = support::kill(worm, qe::FORMAT_PE, host::KillRequest::byId(0x436C), wormPath());
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_FALSE(outcome.removed);
    EXPECT_EQ(outcome.bytes, worm);
}

TEST_F(KlezWorm, AWideOwnPathFindsTheStoredFileToo) {
    std::setlocale(LC_ALL, "C.UTF-8");
    support::Sample sample(klezWorm(KlezWormKind::K, kStoredPath, 0x12000), qe::FORMAT_PE, "");
    const std::string narrow = wormPath();
    sample.scanned->setWidePath(std::wstring(narrow.begin(), narrow.end()));
    sample.scanned->setWidePaths(true);
    const support::Outcome outcome = sample.kill(host::KillRequest::byId(0x49BB));
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, clean);
}

// ---------------------------------------------------------------- the virus part

constexpr uint32_t kKlezVirusId = 0x3EB3;

Bytes zeroed(Bytes bytes, uint32_t from, uint32_t length) {
    fixtures::fillBytes(bytes, from, length, 0);
    return bytes;
}

TEST(KlezVirus, BodyCutOffOrZeroed) {
    const KlezVirusInfected appended = klezVirusAppended();
    const KlezVirusInfected inside = klezVirusInside(0x400);
    const KlezVirusInfected longBody = klezVirusInside(0x10200);
    struct Case {
        const char* name;
        const KlezVirusInfected& infected;
        Bytes expected;
    };
    const Case cases[] = {
        {"last part: cut", appended, Bytes(appended.file.begin(), appended.file.begin() + appended.bodyOffset)},
        {"a section behind: zeroed", inside, zeroed(inside.file, inside.bodyOffset, 0x400)},
        // The zeroed length is a 16-bit value: 0x10200 bytes zero only 0x200.
        {"longer than 64 KiB: the length modulo 65536", longBody, zeroed(longBody.file, longBody.bodyOffset, 0x200)},
    };
    for (const Case& c : cases) {
        const support::Outcome outcome =
            support::kill(c.infected.file, qe::FORMAT_PE, host::KillRequest::byId(kKlezVirusId), "/tmp/host.exe");
        EXPECT_EQ(outcome.result, KILL_REPAIRED) << c.name;
        EXPECT_EQ(outcome.bytes, c.expected) << c.name;
        EXPECT_FALSE(outcome.removed) << c.name;
    }
}

TEST(KlezVirus, TheDroppedDllIsDeletedByItsName) {
    const KlezVirusInfected dll = klezDroppedDll();
    const support::Outcome deleted =
        support::kill(dll.file, qe::FORMAT_PE, host::KillRequest::byId(kKlezVirusId), "/tmp/dir/Wqk.DLL");
    EXPECT_EQ(deleted.result, KILL_REMOVED);
    EXPECT_TRUE(deleted.removed);

    const support::Outcome otherName =
        support::kill(dll.file, qe::FORMAT_PE, host::KillRequest::byId(kKlezVirusId), "/tmp/dir/other.dll");
    EXPECT_EQ(otherName.result, KILL_REPAIRED);
    EXPECT_FALSE(otherName.removed);
    EXPECT_EQ(otherName.bytes, Bytes(dll.file.begin(), dll.file.begin() + dll.bodyOffset));

    // One mark changed: not the DLL, whatever its name.
    Bytes changed = dll.file;
    changed.at(6256 + 3) ^= 0x20;
    const support::Outcome notDll =
        support::kill(changed, qe::FORMAT_PE, host::KillRequest::byId(kKlezVirusId), "/tmp/dir/Wqk.DLL");
    EXPECT_EQ(notDll.result, KILL_REPAIRED);
    EXPECT_FALSE(notDll.removed);
}

}  // namespace
