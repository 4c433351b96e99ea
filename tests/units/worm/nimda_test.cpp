// The Nimda cleaner through the kill engine: the carried host is cut out of the worm file, a
// worm file without a host is deleted.
#include <gtest/gtest.h>

#include "tests/fixtures/worms_nimda_viking_tanatos_xld.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using namespace fixtures::worms;

namespace {

constexpr uint32_t kNimdaMethod = 0x18;

TEST(NimdaKill, EveryRegistrationCutsTheHostOut) {
    const Bytes host = cleanHost();
    const NimdaWorm worm = nimdaWorm(host);
    ASSERT_GT(worm.file.size(), worm.hostOffset + host.size());
    for (uint32_t id : {0x140229u, 0x3e0au, 0x42bdu, 0x3ec1u, 0xac67u}) {
        support::Sample sample(worm.file, qe::FORMAT_PE);
        EXPECT_EQ(sample.kill(host::KillRequest::byId(id)).result, KILL_REPAIRED) << std::hex << id;
        EXPECT_EQ(sample.scanned->bytes(), host) << std::hex << id;
        EXPECT_FALSE(sample.scanned->removed());
    }
    support::Sample sample(worm.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kNimdaMethod)).result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), host);
}

struct LayoutCase {
    const char* name;
    NimdaOptions options;
};

class NimdaLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(NimdaLayouts, HostIsFound) {
    const Bytes host = cleanHost(1, 0x600);
    const NimdaWorm worm = nimdaWorm(host, GetParam().options);
    support::Sample sample(worm.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kNimdaMethod)).result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), host);
}

NimdaOptions zm() {
    NimdaOptions o;
    o.zmSignature = true;
    return o;
}
NimdaOptions atEnd() {
    NimdaOptions o;
    o.hostAtEnd = true;
    return o;
}
NimdaOptions namedFirst() {
    // Root: one named entry, then the ID types 10 and 16. The two ID entries counted take in
    // the named one and type 10.
    NimdaOptions o;
    o.namedRootEntry = true;
    o.typesAfter = {16};
    return o;
}
NimdaOptions otherTypesFirst() {
    NimdaOptions o;
    o.typesBefore = {3, 4};
    o.typesAfter = {16};
    o.language = 0;
    return o;
}

INSTANTIATE_TEST_SUITE_P(Worm, NimdaLayouts,
                         ::testing::Values(LayoutCase{"plain", {}}, LayoutCase{"zm", zm()},
                                           LayoutCase{"hostEndsTheFile", atEnd()},
                                           LayoutCase{"afterNamedEntry", namedFirst()},
                                           LayoutCase{"afterOtherTypes", otherTypesFirst()}),
                         [](const auto& info) { return std::string(info.param.name); });

NimdaOptions noHost() {
    NimdaOptions o;
    o.carriesHost = false;
    return o;
}
NimdaOptions sizeField(uint32_t size) {
    NimdaOptions o;
    o.sizeField = size;
    return o;
}
NimdaOptions beyondIdCount(std::vector<uint32_t> before) {
    // Root: one named entry and the ID types `before` and 10: type 10 is the last of
    // 1 + before.size() + 1 entries, but only before.size() + 1 are read.
    NimdaOptions o;
    o.namedRootEntry = true;
    o.typesBefore = std::move(before);
    return o;
}

class NimdaWormAlone : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(NimdaWormAlone, IsDeleted) {
    const NimdaWorm worm = nimdaWorm(cleanHost(), GetParam().options);
    support::Sample sample(worm.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kNimdaMethod)).result, KILL_REMOVED);
    EXPECT_TRUE(sample.scanned->removed());
    EXPECT_EQ(sample.scanned->bytes(), worm.file);
}

INSTANTIATE_TEST_SUITE_P(Worm, NimdaWormAlone,
                         ::testing::Values(LayoutCase{"noHostResource", noHost()},
                                           LayoutCase{"sizeOne", sizeField(1)},
                                           LayoutCase{"emptyResource", sizeField(0)},
                                           LayoutCase{"typeBeyondIdCount", beyondIdCount({})},
                                           LayoutCase{"typeBeyondIdCountAfterOthers", beyondIdCount({3})}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NimdaKill, ResourcePastTheEndOfTheFileLeavesItAlone) {
    const Bytes host = cleanHost();
    NimdaWorm worm = nimdaWorm(host, sizeField(0x100000));
    support::Sample sample(worm.file, qe::FORMAT_PE);
    EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kNimdaMethod)).result, KILL_FAILED);
    EXPECT_EQ(sample.scanned->bytes(), worm.file);
    EXPECT_FALSE(sample.scanned->removed());
}

TEST(NimdaKill, FileWithoutPeHeadersIsNotTouched) {
    NimdaWorm worm = nimdaWorm(cleanHost());
    for (uint32_t at : {0u, 0x80u}) {  // the MZ and the PE signature
        Bytes damaged = worm.file;
        damaged[at] = 'X';
        support::Sample sample(damaged, qe::FORMAT_PE);
        EXPECT_EQ(sample.kill(host::KillRequest::byMethod(kNimdaMethod)).result, KILL_FAILED) << at;
        EXPECT_EQ(sample.scanned->bytes(), damaged) << at;
        EXPECT_FALSE(sample.scanned->removed()) << at;
    }
}

}  // namespace
