// Archives made by other programs: the harmless test program of Debian's clamav-testfiles in
// every container that package ships, and the TmcB fixture packed by zip, bsdtar, tar, 7z and
// cpio. Each readable archive reports ARCHIVE!MEMBER found; --clean repairs the member inside,
// and the same third-party tool unpacks the repaired archive to the clean original, with every
// other member as it was (contents, times, permissions).
#include <gtest/gtest.h>

#include "tests/host/archive/archive_test_support.h"

namespace {

using namespace archivetest;
using Repair = host::ScanSettings::Repair;

const std::filesystem::path kTestFiles = "/usr/share/clamav-testfiles";

enum class Expect { Found, CannotUnpack, NotOpened };

struct TestFile {
    const char* file;
    Expect expect;
    std::vector<std::string> members;  // the member found or noted
};

TEST(ThirdPartyArchives, EveryContainerOfTheTestProgramIsOpenedOrSaysWhyNot) {
    if (!std::filesystem::exists(kTestFiles / "clam.zip")) GTEST_SKIP() << "clamav-testfiles is not installed";
    fixtures::TempDir dir;
    auto scanner = makeScanner(dir, kTestProgramRule);
    const std::vector<std::string> program = {"clam.exe"};
    const std::vector<TestFile> files = {
        {"clam.zip", Expect::Found, program},
        {"clam.bz2.zip", Expect::Found, program},
        {"clam.7z", Expect::Found, program},
        {"clam.tar.gz", Expect::Found, program},
        {"clam.cab", Expect::Found, program},
        {"clam.exe.bz2", Expect::Found, program},
        {"clam.bin-be.cpio", Expect::Found, program},
        {"clam.bin-le.cpio", Expect::Found, program},
        {"clam.newc.cpio", Expect::Found, program},
        {"clam.odc.cpio", Expect::Found, program},
        // Compression methods libarchive does not decode: the member says so.
        {"clam.d64.zip", Expect::CannotUnpack, program},
        {"clam.impl.zip", Expect::CannotUnpack, {"CLAM.EXE"}},
        // Containers libarchive does not read, and programs (installers, self-extractors) that
        // stay programs for the module's engines.
        {"clam.arj", Expect::NotOpened, {}},
        {"clam.chm", Expect::NotOpened, {}},
        {"clam.sis", Expect::NotOpened, {}},
        {"clam.tnef", Expect::NotOpened, {}},
        {"clam.exe.szdd", Expect::NotOpened, {}},
        {"clam.exe.binhex", Expect::NotOpened, {}},
        {"clam.mail", Expect::NotOpened, {}},
        {"clam.ole.doc", Expect::NotOpened, {}},
        {"clam-nsis.exe", Expect::NotOpened, {}},
        {"clam_IScab_int.exe", Expect::NotOpened, {}},
        {"clam_ISmsi_int.exe", Expect::NotOpened, {}},
    };
    for (const TestFile& row : files) {
        SCOPED_TRACE(row.file);
        const host::ScanResult result = scanner->scanPath((kTestFiles / row.file).string(), {});
        EXPECT_FALSE(result.failed);
        if (row.expect == Expect::NotOpened) {
            EXPECT_TRUE(result.inside.empty());
            continue;
        }
        const host::ScanResult* inside = member(result, row.members);
        ASSERT_NE(inside, nullptr);
        EXPECT_EQ(inside->path, (kTestFiles / row.file).string());
        if (row.expect == Expect::Found) {
            EXPECT_TRUE(inside->scanned);
            ASSERT_EQ(inside->findings.size(), 1u);
            EXPECT_EQ(inside->findings[0].rule, "TestProgram");
            EXPECT_TRUE(result.foundAnywhere());
            EXPECT_FALSE(result.found());  // the rule is for programs: the archive itself is not one
        } else {
            EXPECT_FALSE(inside->scanned);
            EXPECT_TRUE(inside->unreadable);
            ASSERT_EQ(inside->notes.size(), 1u);
            EXPECT_EQ(inside->notes[0].rfind("cannot be unpacked: ", 0), 0u) << inside->notes[0];
        }
    }
}

// Eight tgz files, each inside the one before, the program in the innermost: found at depth 8,
// and the ninth archive is not opened, which the outermost says.
TEST(ThirdPartyArchives, NestingToTheDepthLimitFindsTheProgramAndSaysWhereItStopped) {
    if (!std::filesystem::exists(kTestFiles / "clam_cache_emax.tgz")) GTEST_SKIP() << "clamav-testfiles is not installed";
    fixtures::TempDir dir;
    auto scanner = makeScanner(dir, kTestProgramRule);
    const host::ScanResult result = scanner->scanPath((kTestFiles / "clam_cache_emax.tgz").string(), {});
    const host::ScanResult* deepest =
        member(result, {"clam02.tgz", "clam03.tgz", "clam04.tgz", "clam05.tgz", "clam06.tgz", "clam07.tgz", "clam08.tgz", "clam.exe"});
    ASSERT_NE(deepest, nullptr);
    EXPECT_TRUE(deepest->found());
    EXPECT_EQ(result.limits, std::vector<std::string>{"archive nesting depth (8)"});
    EXPECT_TRUE(result.incomplete());
}

// --- the project's own infected fixture, packed by third-party tools ---

struct Packer {
    const char* name;
    const char* archive;
    const char* pack;    // packs a.com and notes.txt into ARCHIVE
    const char* unpack;  // unpacks ARCHIVE into out/
    bool keepsMode;      // the tool restores permissions on unpacking
    const char* tool;    // the command that must be installed
};

const std::vector<Packer> kRewritable = {
    {"zip deflate", "a.zip", "zip -q -X a.zip a.com notes.txt", "unzip -q a.zip -d out", true, "zip"},
    {"zip stored", "a.zip", "zip -q -0 -X a.zip a.com notes.txt", "unzip -q a.zip -d out", true, "zip"},
    {"zip bzip2", "a.zip", "zip -q -Z bzip2 -X a.zip a.com notes.txt", "unzip -q a.zip -d out", true, "zip"},
    {"bsdtar zip", "a.zip", "bsdtar --format zip -cf a.zip a.com notes.txt", "bsdtar -xpf a.zip -C out", true, "bsdtar"},
    {"7z", "a.7z", "7z a -bd a.7z a.com notes.txt", "7z x -bd -oout a.7z", false, "7z"},
    {"bsdtar 7z", "a.7z", "bsdtar --format 7zip -cf a.7z a.com notes.txt", "bsdtar -xpf a.7z -C out", true, "bsdtar"},
    {"tar", "a.tar", "tar -cf a.tar a.com notes.txt", "tar -xpf a.tar -C out", true, "tar"},
    {"tar gzip", "a.tar.gz", "tar -czf a.tar.gz a.com notes.txt", "tar -xpzf a.tar.gz -C out", true, "gzip"},
    {"tar bzip2", "a.tar.bz2", "tar -cjf a.tar.bz2 a.com notes.txt", "tar -xpjf a.tar.bz2 -C out", true, "bzip2"},
    {"tar xz", "a.tar.xz", "tar -cJf a.tar.xz a.com notes.txt", "tar -xpJf a.tar.xz -C out", true, "xz"},
    {"tar zstd", "a.tar.zst", "tar --zstd -cf a.tar.zst a.com notes.txt", "tar --zstd -xpf a.tar.zst -C out", true, "zstd"},
    {"tar lz4", "a.tar.lz4", "tar -I lz4 -cf a.tar.lz4 a.com notes.txt", "tar -I lz4 -xpf a.tar.lz4 -C out", true, "lz4"},
    {"bsdtar pax", "a.tar", "bsdtar --format pax -cf a.tar a.com notes.txt", "bsdtar -xpf a.tar -C out", true, "bsdtar"},
    {"bsdtar ustar gzip", "a.tgz", "bsdtar --format ustar -czf a.tgz a.com notes.txt", "bsdtar -xpf a.tgz -C out", true, "bsdtar"},
    {"cpio newc", "a.cpio", "printf 'a.com\\nnotes.txt\\n' | cpio --quiet -o -H newc > a.cpio",
     "cd out && cpio --quiet -idm < ../a.cpio", true, "cpio"},
    {"cpio odc", "a.cpio", "printf 'a.com\\nnotes.txt\\n' | cpio --quiet -o -H odc > a.cpio",
     "cd out && cpio --quiet -idm < ../a.cpio", true, "cpio"},
};

class PackedFixture : public ::testing::TestWithParam<Packer> {
protected:
    void SetUp() override {
        if (!haveCommand(GetParam().tool)) GTEST_SKIP() << GetParam().tool << " is not installed";
        scanner = makeScanner(dir);
        fixtures::writeFile(dir.file("a.com"), infected);
        fixtures::writeFile(dir.file("notes.txt"), notes);
        ::chmod(dir.file("notes.txt").c_str(), 0640);
        run(dir, "touch -d '2011-02-03 04:05:06' notes.txt a.com");
        notesInfo = statOf(dir.file("notes.txt"));
        run(dir, GetParam().pack);
    }

    const Bytes clean = fixtures::dos::makeCom(3000);
    const Bytes infected = fixtures::dos::infectTmcBCom(clean);
    const Bytes notes = Bytes(5000, 'n');
    struct stat notesInfo {};
    fixtures::TempDir dir;
    std::unique_ptr<host::FileScanner> scanner;
};

TEST_P(PackedFixture, TheMemberIsFoundAndRepairedInsideAndTheToolUnpacksTheCleanOriginal) {
    const Packer& packer = GetParam();
    const std::string archive = dir.file(packer.archive).string();
    const Bytes packed = fixtures::readFile(archive);

    const host::ScanResult found = scanner->scanPath(archive, {});
    const host::ScanResult* com = member(found, {"a.com"});
    ASSERT_NE(com, nullptr);
    ASSERT_EQ(com->findings.size(), 1u);
    EXPECT_EQ(com->findings[0].name, "Test.TmcB");
    EXPECT_FALSE(found.found());
    EXPECT_TRUE(found.foundAnywhere());
    EXPECT_EQ(fixtures::readFile(archive), packed);

    host::ScanSettings settings;
    settings.repair = Repair::Commit;
    settings.commit.quarantineDir = dir.file("quarantine");
    const host::ScanResult repaired = scanner->scanPath(archive, settings);
    ASSERT_TRUE(repaired.repaired) << (repaired.actions.empty() ? "" : repaired.actions[0]);
    EXPECT_FALSE(repaired.failed);
    ASSERT_NE(member(repaired, {"a.com"}), nullptr);
    EXPECT_EQ(member(repaired, {"a.com"})->actions, std::vector<std::string>{"repaired in the archive"});

    std::filesystem::create_directory(dir.file("out"));
    run(dir, packer.unpack);
    EXPECT_EQ(fixtures::readFile(dir.file("out/a.com")), clean);
    EXPECT_EQ(fixtures::readFile(dir.file("out/notes.txt")), notes);
    const struct stat unpacked = statOf(dir.file("out/notes.txt"));
    EXPECT_EQ(unpacked.st_mtim.tv_sec, notesInfo.st_mtim.tv_sec);
    if (packer.keepsMode) {
        EXPECT_EQ(unpacked.st_mode & 07777, notesInfo.st_mode & 07777);
    }

    // The original went to the quarantine, and a second scan finds nothing left.
    const host::ScanResult again = scanner->scanPath(archive, {});
    EXPECT_FALSE(again.foundAnywhere());
    EXPECT_EQ(again.inside.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Tools, PackedFixture, ::testing::ValuesIn(kRewritable), [](const auto& info) {
    std::string name = info.param.name;
    for (char& c : name)
        if (!std::isalnum(uint8_t(c))) c = '_';
    return name;
});

// Formats libarchive only reads: the member is found, the archive stays byte for byte.
TEST(ThirdPartyArchives, AReadOnlyFormatIsNotRewritten) {
    struct ReadOnly {
        const char* archive;
        const char* pack;
        std::vector<std::string> members;
    };
    const std::vector<ReadOnly> rows = {
        {"a.com.gz", "gzip -k a.com", {"a.com"}},
        {"a.ar", "ar qc a.ar a.com", {"a.com"}},
        {"a.iso", "bsdtar --format iso9660 -cf a.iso a.com", {"a.com"}},
        {"a.xar", "bsdtar --format xar -cf a.xar a.com", {"a.com"}},
    };
    fixtures::TempDir dir;
    auto scanner = makeScanner(dir);
    fixtures::writeFile(dir.file("a.com"), fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3000)));
    for (const ReadOnly& row : rows) {
        SCOPED_TRACE(row.archive);
        if (std::system(("cd '" + dir.path().string() + "' && " + row.pack + " >/dev/null 2>&1").c_str()) != 0) {
            ADD_FAILURE() << "cannot make " << row.archive;
            continue;
        }
        const Bytes packed = fixtures::readFile(dir.file(row.archive));
        host::ScanSettings settings;
        settings.repair = Repair::Commit;
        settings.commit.quarantineDir = dir.file("quarantine");
        const host::ScanResult result = scanner->scanPath(dir.file(row.archive).string(), settings);
        const host::ScanResult* com = member(result, row.members);
        ASSERT_NE(com, nullptr);
        EXPECT_TRUE(com->found());
        EXPECT_FALSE(com->repaired);
        EXPECT_EQ(com->actions, std::vector<std::string>{"not repaired: the archive is not rewritten"});
        EXPECT_FALSE(result.repaired);
        EXPECT_FALSE(result.failed);
        EXPECT_EQ(result.actions, std::vector<std::string>{"found inside; archive cannot be rewritten: not repaired"});
        EXPECT_EQ(fixtures::readFile(dir.file(row.archive)), packed);
    }
}

}  // namespace
