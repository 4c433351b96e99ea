// The rules that ship in rules/: each hits its family's infected samples and nothing else among
// the fixture builders' samples, no clean file, and through the host's engines a hit is
// repaired by the kill engine to the clean program.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "host/classify.h"
#include "host/signatures.h"
#include "sdk/format_codes.h"
#include "sdk/results.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/support/module_driver.h"
#include "tests/fixtures/win32_infectors.h"

namespace {

using fixtures::Bytes;
namespace dos = fixtures::dos;
namespace win32 = fixtures::win32;

std::shared_ptr<const host::SignatureLibrary> shippedRules() {
    static std::shared_ptr<const host::SignatureLibrary> library = [] {
        std::string error;
        auto made = host::SignatureLibrary::compile({std::filesystem::path(REMEDY_SOURCE_DIR) / "rules"}, &error);
        if (!made) ADD_FAILURE() << error;
        return made;
    }();
    return library;
}

// The rule that matches, "" for none.
std::string matchingRule(const Bytes& bytes, uint32_t format) {
    std::string error;
    auto scanner = host::SignatureScanner::create(shippedRules(), &error);
    if (!scanner) {
        ADD_FAILURE() << error;
        return "(no scanner)";
    }
    int failed = 0;
    auto hit = scanner->scan(bytes, format, &failed);
    EXPECT_EQ(failed, 0);
    return hit ? hit->rule : "";
}

const dos::MzOptions kPlainEntryMz{2048, std::nullopt, 0x200, true};

struct Sample {
    const char* name;
    uint32_t format;
    std::function<Bytes()> make;
    const char* rule;  // "" when no shipped rule names the family
};

// Every infector of the fixture builders. The families without a rule are found by the
// module's own scan units or have no stable bytes the library could match on.
const Sample kSamples[] = {
    {"Bomber", qe::FORMAT_COM, [] { return dos::infectBomber(dos::makeCom(9000), 1500); }, "DOS_Bomber"},
    {"BomberBlockAtHostEnd", qe::FORMAT_COM, [] { return dos::infectBomber(dos::makeCom(6000), 6000 - 4096); },
     "DOS_Bomber"},
    {"Youth555", qe::FORMAT_COM, [] { return dos::infectYouth555(dos::makeCom(1800), 0x7F); }, "DOS_Youth555"},
    {"Youth555SmallHost", qe::FORMAT_COM, [] { return dos::infectYouth555(dos::makeCom(600), 0x01); }, "DOS_Youth555"},
    {"SentinelComJump", qe::FORMAT_COM, [] { return dos::infectSentinelCom(dos::makeCom(2500), false); },
     "DOS_Sentinel_COM"},
    {"SentinelComPushRet", qe::FORMAT_COM, [] { return dos::infectSentinelCom(dos::makeCom(700), true); },
     "DOS_Sentinel_COM"},
    {"SentinelMzJump", qe::FORMAT_MZ, [] { return dos::infectSentinelMz(dos::makeMz(kPlainEntryMz), false); },
     "DOS_Sentinel_MZ"},
    {"SentinelMzPushRet", qe::FORMAT_MZ, [] { return dos::infectSentinelMz(dos::makeMz(kPlainEntryMz), true); },
     "DOS_Sentinel_MZ"},
    {"SentinelMzLargeHost", qe::FORMAT_MZ,
     [] { return dos::infectSentinelMz(dos::makeMz({20000, std::nullopt, 0x200, true}), false); }, "DOS_Sentinel_MZ"},
    {"Sality", qe::FORMAT_PE, [] { return win32::salityInfect(0x12345678); }, "Win32_Sality"},
    {"SalityKeyTwo", qe::FORMAT_PE, [] { return win32::salityInfect(2); }, "Win32_Sality"},
    {"Neshta", qe::FORMAT_PE, [] { return win32::neshtaInfect().file; }, "Win32_Neshta"},
    {"Cekar", qe::FORMAT_PE, [] { return win32::cekarInfect().file; }, "Win32_Cekar"},

    {"June1919", qe::FORMAT_COM, [] { return dos::infectJune1919(dos::makeCom(3000), 0x1234); }, ""},
    {"V1989Com", qe::FORMAT_COM, [] { return dos::infectV1989Com(dos::makeCom(3000), 0x4321); }, ""},
    {"Moran2720", qe::FORMAT_COM, [] { return dos::infectMoran2720(dos::makeCom(3000), 0x1111); }, ""},
    {"DataCrimeIICom", qe::FORMAT_COM, [] { return dos::infectDataCrimeIICom(dos::makeCom(3000), 0x42); }, ""},
    {"April10Com", qe::FORMAT_COM, [] { return dos::infectApril10Com(dos::makeCom(3000), 0x17); }, ""},
    {"Voronezh1600Com", qe::FORMAT_COM,
     [] { return dos::infectVoronezhCom(dos::makeCom(3000), dos::VoronezhForm::V1600, 0x5A); }, ""},
    {"Voronezh600Com", qe::FORMAT_COM,
     [] { return dos::infectVoronezhCom(dos::makeCom(3000), dos::VoronezhForm::V600, 0x5A); }, ""},
    {"ZhengZhou", qe::FORMAT_COM, [] { return dos::infectZhengZhou(dos::makeCom(3000), 0x99); }, ""},
    {"Badboy", qe::FORMAT_COM, [] { return dos::infectBadboy(dos::makeCom(3000)); }, ""},
    {"SgBomber", qe::FORMAT_COM, [] { return dos::infectSgBomber(dos::makeCom(3000)); }, ""},
    {"TmcBCom", qe::FORMAT_COM, [] { return dos::infectTmcBCom(dos::makeCom(3333)); }, ""},
    {"TmcBMz", qe::FORMAT_MZ, [] { return dos::infectTmcBMz(dos::makeMz(), dos::TmcBMzForm::Emulated); }, ""},
    {"Tequila", qe::FORMAT_MZ, [] { return dos::infectTequila(dos::makeMz()); }, ""},
    {"Tremor", qe::FORMAT_MZ, [] { return dos::infectTremor(dos::makeMz()); }, ""},
    {"V1989Exe", qe::FORMAT_MZ, [] { return dos::infectV1989Exe(dos::makeMz(), 0x2468); }, ""},
    {"Buba1537", qe::FORMAT_MZ, [] { return dos::infectBuba1537(dos::makeMz(), 0xFE); }, ""},
    {"Voronezh1600Exe", qe::FORMAT_MZ, [] { return dos::infectVoronezh1600Exe(dos::makeMz(), false); }, ""},
    {"April1st", qe::FORMAT_MZ, [] { return dos::infectApril1st(dos::makeMz()); }, ""},
    {"Parite", qe::FORMAT_PE, [] { return win32::pariteInfect({}); }, ""},
    {"ResurA", qe::FORMAT_PE, [] { return win32::resurInfect(win32::ResurVariant::A).file; }, ""},
    {"Cih", qe::FORMAT_PE, [] { return win32::cihInfect(0x300, 0x80, 2).file; }, ""},

    {"Padania", qe::FORMAT_PE, [] { return win32::padaniaInfect(false).file; }, ""},
    {"Magistr", qe::FORMAT_PE, [] { return win32::magistrInfect().file; }, ""},

    {"CleanCom", qe::FORMAT_COM, [] { return dos::makeCom(5000); }, ""},
    {"CleanTinyCom", qe::FORMAT_COM, [] { return Bytes{0xB4, 0x4C, 0xCD, 0x21}; }, ""},
    {"CleanMz", qe::FORMAT_MZ, [] { return dos::makeMz(kPlainEntryMz); }, ""},
    {"CleanPe", qe::FORMAT_PE, [] { return win32::cleanProgram(); }, ""},
    {"CleanNeshtaHost", qe::FORMAT_PE, [] { return win32::neshtaInfect().clean; }, ""},
};

class ShippedRulesTest : public ::testing::TestWithParam<Sample> {};

TEST_P(ShippedRulesTest, HitsExactlyItsFamily) {
    const Sample& c = GetParam();
    EXPECT_EQ(matchingRule(c.make(), c.format), c.rule);
}

INSTANTIATE_TEST_SUITE_P(Samples, ShippedRulesTest, ::testing::ValuesIn(kSamples),
                         [](const auto& info) { return std::string(info.param.name); });

// A rule keeps to the format whose kill table holds its identifier: the same bytes classified
// otherwise are not named (the kill engine could not repair them).
TEST(ShippedRules, InfectedBytesOfAnotherFormatAreNotNamed) {
    for (const Sample& c : kSamples) {
        if (!*c.rule) continue;
        SCOPED_TRACE(c.name);
        const Bytes bytes = c.make();
        for (uint32_t format : {qe::FORMAT_FILE, qe::FORMAT_COM, qe::FORMAT_MZ, qe::FORMAT_PE}) {
            if (format == c.format) continue;
            EXPECT_EQ(matchingRule(bytes, format), "") << format;
        }
    }
}

// Real clean files of this system (Windows programs too, where a cross compiler left its
// runtime), each offered under every format a rule looks at.
TEST(ShippedRules, NoRuleHitsCleanSystemFiles) {
    size_t scanned = 0;
    for (const char* root : {"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/share/doc", "/usr/lib/gcc/i686-w64-mingw32",
                             "/usr/lib/gcc/x86_64-w64-mingw32"}) {
        std::error_code ec;
        std::filesystem::recursive_directory_iterator it(root, std::filesystem::directory_options::skip_permission_denied,
                                                         ec);
        for (size_t fromRoot = 0; !ec && it != std::filesystem::recursive_directory_iterator() && fromRoot < 250;
             it.increment(ec)) {
            if (it->is_symlink(ec) || !it->is_regular_file(ec) || it->file_size(ec) > (4u << 20)) continue;
            const Bytes bytes = fixtures::readFile(it->path());
            ++scanned;
            ++fromRoot;
            for (uint32_t format : {qe::FORMAT_FILE, qe::FORMAT_COM, qe::FORMAT_MZ, qe::FORMAT_PE})
                EXPECT_EQ(matchingRule(bytes, format), "") << it->path() << " as format " << format;
        }
    }
    EXPECT_GT(scanned, 100u);
}

// --- through the host's engines ---

struct RepairCase {
    const char* name;
    uint32_t format;
    std::function<Bytes()> infected;
    std::function<Bytes()> repaired;  // what the family's cleaner gives back
    uint32_t virusId;
};

// The Cekar cleaner puts the entry bytes back and zeroes the other pieces; the virus's section
// stays.
Bytes cekarRepaired(const win32::CekarInfected& infected) {
    Bytes expected = infected.file;
    const uint32_t entry = win32::cleanBuilder().sectionFileOffset(0);
    std::copy_n(infected.clean.begin() + entry, 0x204, expected.begin() + entry);
    for (const auto& piece : infected.pieces) std::fill_n(expected.begin() + piece.offset, piece.size, 0);
    return expected;
}

const RepairCase kRepairs[] = {
    {"Bomber", qe::FORMAT_COM, [] { return dos::infectBomber(dos::makeCom(9000), 1500); },
     [] { return dos::makeCom(9000); }, 0xAB37},
    {"Youth555", qe::FORMAT_COM, [] { return dos::infectYouth555(dos::makeCom(1800), 0x7F); },
     [] { return dos::makeCom(1800); }, 0x3DD8},
    {"SentinelCom", qe::FORMAT_COM, [] { return dos::infectSentinelCom(dos::makeCom(2500), true); },
     [] { return dos::makeCom(2500); }, 0x3AD9},
    {"SentinelMz", qe::FORMAT_MZ, [] { return dos::infectSentinelMz(dos::makeMz(kPlainEntryMz), false); },
     [] {
         const Bytes clean = dos::makeMz(kPlainEntryMz);
         return dos::withPageCountOf(clean, dos::infectSentinelMz(clean, false));
     },
     0x3AE4},
    {"Sality", qe::FORMAT_PE, [] { return win32::salityInfect(0x777); },
     [] { return win32::withAppendedSectionHeaderOf(win32::cleanProgram(), win32::salityInfect(0x777)); }, 0x1719BA},
    {"Neshta", qe::FORMAT_PE, [] { return win32::neshtaInfect().file; }, [] { return win32::neshtaInfect().clean; },
     0x190002},
    {"Cekar", qe::FORMAT_PE, [] { return win32::cekarInfect().file; }, [] { return cekarRepaired(win32::cekarInfect()); },
     0x16E914},
};

class SignatureRepairTest : public support::ModuleEnginesTest, public ::testing::WithParamInterface<RepairCase> {
protected:
    support::Outcome scanAndRepair(const Bytes& bytes, uint32_t format) {
        return support::scanThenKill(bytes, format, support::sampleName(format), *engines_);
    }
};

TEST_P(SignatureRepairTest, FoundByTheLibraryAndRepairedByTheKillEngine) {
    const RepairCase& c = GetParam();
    std::string error;
    ASSERT_TRUE(engines_->useSignatures(shippedRules(), &error)) << error;
    const support::Outcome outcome = scanAndRepair(c.infected(), c.format);
    EXPECT_EQ(outcome.finding.phase, host::Phase::Signatures);
    EXPECT_EQ(outcome.finding.virusId, c.virusId);
    EXPECT_FALSE(outcome.finding.rule.empty());
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, c.repaired());
    // The repaired file is clean to the library too.
    const support::Outcome again = scanAndRepair(outcome.bytes, c.format);
    EXPECT_FALSE(again.finding.found()) << again.finding.rule;
}

// Without the library the module's engines do not find these families: the rules are what
// names them.
TEST_P(SignatureRepairTest, EnginesAloneDoNotFindThem) {
    const RepairCase& c = GetParam();
    const support::Outcome outcome = scanAndRepair(c.infected(), c.format);
    EXPECT_FALSE(outcome.finding.found()) << host::phaseName(outcome.finding.phase);
    EXPECT_EQ(outcome.bytes, c.infected());
}

INSTANTIATE_TEST_SUITE_P(Families, SignatureRepairTest, ::testing::ValuesIn(kRepairs),
                         [](const auto& info) { return std::string(info.param.name); });

class SignatureOrderTest : public support::ModuleEnginesTest {
protected:
    // A library of one rule that names every file.
    void useCatchAll(const fixtures::TempDir& dir) {
        const auto path = dir.file("all.yar");
        const std::string rule = "rule everything { meta: virus_id = 0x3DDD condition: true }\n";
        fixtures::writeFile(path, Bytes(rule.begin(), rule.end()));
        std::string error;
        auto library = host::SignatureLibrary::compile({path}, &error);
        ASSERT_TRUE(library) << error;
        ASSERT_TRUE(engines_->useSignatures(library, &error)) << error;
    }
    host::ScanFinding scan(const Bytes& bytes, uint32_t format) {
        return support::Sample(bytes, format, "x").scan(*engines_).finding;
    }
};

// The pre-library engine runs first; the library runs before the post-library engine.
TEST_F(SignatureOrderTest, LibraryRunsBetweenPreAndPostLibraryEngines) {
    fixtures::TempDir dir;
    useCatchAll(dir);
    const host::ScanFinding pre = scan(dos::infectTequila(dos::makeMz()), qe::FORMAT_MZ);
    EXPECT_EQ(pre.phase, host::Phase::PreLibrary);
    EXPECT_EQ(pre.virusId, 0x6586u);
    const host::ScanFinding library = scan(dos::infectTmcBCom(dos::makeCom(3333)), qe::FORMAT_COM);
    EXPECT_EQ(library.phase, host::Phase::Signatures);
    EXPECT_EQ(library.virusId, 0x3DDDu);
    EXPECT_EQ(library.rule, "everything");

    // Without the library the post-library engine finds the same file.
    std::string error;
    ASSERT_TRUE(engines_->useSignatures(nullptr, &error));
    const host::ScanFinding post = scan(dos::infectTmcBCom(dos::makeCom(3333)), qe::FORMAT_COM);
    EXPECT_EQ(post.phase, host::Phase::PostLibrary);
    EXPECT_EQ(post.virusId, 0x6551u);
}

// A rule whose request the kill engine cannot serve (no row for the identifier) leaves the
// file as it is and says so.
TEST_F(SignatureOrderTest, UnservedRequestLeavesTheFile) {
    fixtures::TempDir dir;
    useCatchAll(dir);
    const Bytes clean = dos::makeMz();
    host::FileObject* file = host::FileObject::fromBytes(clean, "x.exe");
    file->setFormat(qe::FORMAT_MZ);
    {
        host::ScanTarget target(file);
        const host::ScanFinding finding = engines_->scan(target);
        ASSERT_EQ(finding.phase, host::Phase::Signatures);
        EXPECT_EQ(engines_->killFound(target), KILL_FAILED);  // 0x3DDD is a COM row, not an MZ one
        EXPECT_EQ(engines_->killFound(target), KILL_FAILED);  // and a finding is repaired once
    }
    EXPECT_EQ(file->bytes(), clean);
    file->Release();
}

}  // namespace
