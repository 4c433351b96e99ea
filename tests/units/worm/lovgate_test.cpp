// LovGate: the worm's prefix in front of the host is cut off (with whatever another program
// appended behind the host, where the variant looks for it); a file that is only the worm is
// deleted.
#include <gtest/gtest.h>

#include <vector>

#include "tests/fixtures/win32_infectors.h"
#include "tests/fixtures/worms_theals_klez_lovgate.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using fixtures::concat;
using namespace fixtures::worms;

namespace {

struct Variant {
    const char* name;
    uint32_t id;
    uint32_t prefix;
    bool cutsOnlyBeforeMz;  // the tail behind the host goes only when it starts with "MZ"
};
const Variant kVariants[] = {
    {"ax", 0x113C8, 57352, true},
    {"ay", 0x113D6, 49160, true},
    {"bo", 0x11BEC, 73736, false},
};

Bytes mzTail() {
    Bytes tail = fixtures::win32::filler(300, 1);
    tail[0] = 'M';
    tail[1] = 'Z';
    return tail;
}

TEST(LovGatePrefix, TheHostComesBack) {
    const Bytes clean = fixtures::win32::cleanProgram();
    const Bytes otherTail = fixtures::win32::filler(300, 2);
    for (const Variant& v : kVariants) {
        const Bytes prefix = lovGatePrefix(v.prefix, uint32_t(clean.size()));
        struct Case {
            const char* name;
            Bytes tail;
            Bytes expected;
        };
        const Case cases[] = {
            {"host alone", {}, clean},
            {"a program behind the host", mzTail(), clean},
            {"other data behind the host", otherTail, v.cutsOnlyBeforeMz ? concat(clean, otherTail) : clean},
        };
        for (const Case& c : cases) {
            const support::Outcome outcome =
                support::kill(concat(concat(prefix, clean), c.tail), qe::FORMAT_PE, host::KillRequest::byId(v.id));
            EXPECT_EQ(outcome.result, KILL_REPAIRED) << v.name << ": " << c.name;
            EXPECT_EQ(outcome.bytes, c.expected) << v.name << ": " << c.name;
            EXPECT_FALSE(outcome.removed) << v.name << ": " << c.name;
        }
    }
}

TEST(LovGatePrefix, AFileShorterThanThePrefixIsTheWormAlone) {
    for (const Variant& v : kVariants) {
        Bytes worm = lovGatePrefix(v.prefix, 0);
        worm.pop_back();
        const support::Outcome outcome = support::kill(worm, qe::FORMAT_PE, host::KillRequest::byId(v.id));
        EXPECT_EQ(outcome.result, KILL_REMOVED) << v.name;
        EXPECT_TRUE(outcome.removed) << v.name;
    }
}

TEST(LovGatePrefix, AHostLengthBeyondTheFileNeverGrowsIt) {
    const Bytes clean = fixtures::win32::cleanProgram();
    const Bytes file = concat(lovGatePrefix(73736, uint32_t(clean.size()) + 0x100000), clean);
    const support::Outcome outcome = support::kill(file, qe::FORMAT_PE, host::KillRequest::byId(0x11BEC));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, file);
}

TEST(LovGateSub, EitherPrefixLength) {
    const Bytes clean = fixtures::win32::cleanProgram();
    const Bytes tail = fixtures::win32::filler(100, 3);
    for (uint32_t id : {0xA2CBu, 0xA357u}) {
        for (uint32_t prefix : {49160u, 51208u}) {
            const Bytes file = concat(concat(lovGatePrefix(prefix, uint32_t(clean.size())), clean), tail);
            const support::Outcome outcome = support::kill(file, qe::FORMAT_PE, host::KillRequest::byId(id));
            EXPECT_EQ(outcome.result, KILL_REPAIRED) << id << " " << prefix;
            EXPECT_EQ(outcome.bytes, clean) << id << " " << prefix;
        }
    }
}

TEST(LovGateSub, TheWormAloneIsDeletedOneByteMoreIsExamined) {
    const Bytes worm = lovGatePrefix(49160, 0);
    const support::Outcome deleted = support::kill(worm, qe::FORMAT_PE, host::KillRequest::byId(0xA2CB));
    EXPECT_EQ(deleted.result, KILL_REMOVED);
    EXPECT_TRUE(deleted.removed);
    // 49,161 bytes: one byte at 49160 is no "MZ", and nothing lies at 51208.
    Bytes longer = worm;
    longer.push_back('M');
    const support::Outcome examined = support::kill(longer, qe::FORMAT_PE, host::KillRequest::byId(0xA2CB));
    EXPECT_EQ(examined.result, KILL_FAILED);
    EXPECT_FALSE(examined.removed);
    EXPECT_EQ(examined.bytes, longer);
}

TEST(LovGateSub, AHostLengthBeyondTheFileKeepsWhatIsThere) {
    const Bytes clean = fixtures::win32::cleanProgram();
    const Bytes file = concat(lovGatePrefix(49160, uint32_t(clean.size()) + 0x10000), clean);
    const support::Outcome outcome = support::kill(file, qe::FORMAT_PE, host::KillRequest::byId(0xA2CB));
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, clean);  // cut, not padded with zeros
}

// The post-library scan never deletes a LovGate file on its own: no mark of a bare worm is
// known well enough for that.
TEST(LovGateGeneric, ScanLeavesLovGateFilesAlone) {
    const Bytes clean = fixtures::win32::cleanProgram();
    for (const Bytes& file : {lovGatePrefix(57352, 0), concat(lovGatePrefix(57352, uint32_t(clean.size())), clean)}) {
        const support::Outcome outcome = support::scanThenKill(file, qe::FORMAT_PE);
        EXPECT_NE(outcome.finding.virusId, 0x400114E5u);
        EXPECT_FALSE(outcome.removed);
        EXPECT_EQ(outcome.bytes, file);
    }
}

}  // namespace
