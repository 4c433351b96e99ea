// Worm files cut short or with damaged header fields: every cleaner answers with one of its
// kill results, and a failed repair of a file it could not read leaves the file as it was.
#include <gtest/gtest.h>

#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/worms_nimda_viking_tanatos_xld.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using namespace fixtures::worms;

namespace {

bool isKillResult(uint32_t r) {
    return r == KILL_REPAIRED || r == KILL_REMOVED || r == KILL_FAILED || r == KILL_REMOVE_FAILED;
}

Bytes prefix(const Bytes& b, size_t length) { return Bytes(b.begin(), b.begin() + std::min(length, b.size())); }

// Prefixes of the file at every `step` bytes, and a few lengths around the headers.
std::vector<size_t> cutLengths(size_t size, size_t step) {
    std::vector<size_t> lengths = {0, 1, 2, 0x3C, 0x40, 0x84, 0x98, 0x100, 0x178, 0x1A0, 0x200};
    for (size_t at = 0x200; at < size; at += step) lengths.push_back(at);
    return lengths;
}

TEST(WormHostileInput, ShortenedNimdaFiles) {
    const NimdaWorm worm = nimdaWorm(cleanHost());
    for (size_t length : cutLengths(worm.file.size(), 0x180)) {
        const Bytes cut = prefix(worm.file, length);
        support::Sample sample(cut, qe::FORMAT_PE);
        const uint32_t r = sample.kill(host::KillRequest::byMethod(0x18)).result;
        EXPECT_TRUE(isKillResult(r)) << length << " " << std::hex << r;
        if (r == KILL_FAILED) {
            EXPECT_EQ(sample.scanned->bytes(), cut) << length;
        }
    }
}

TEST(WormHostileInput, ShortenedVikingFiles) {
    const VikingWorm worm = vikingWorm(cleanHost(), VikingDebug::Behind);
    for (size_t length : cutLengths(worm.file.size(), 0x1C0)) {
        const Bytes cut = prefix(worm.file, length);
        for (bool packed : {false, true}) {
            support::Sample plain(cut, qe::FORMAT_PE);
            support::Sample layered = support::Sample::insidePacked(cleanHost(1), cut);
            support::Sample& sample = packed ? layered : plain;
            const uint32_t r = sample.kill(host::KillRequest::byMethod(1)).result;
            EXPECT_TRUE(isKillResult(r)) << length << " " << std::hex << r;
            // Whatever is left behind the worm and its debug data is what the repair keeps.
            const size_t wormEnd = worm.image.size() + worm.debugData.size();
            if (length > wormEnd) {
                EXPECT_EQ(r, KILL_REPAIRED) << length;
                const host::ByteView repaired = packed ? sample.outer->bytes() : sample.scanned->bytes();
                EXPECT_EQ(repaired, Bytes(cut.begin() + wormEnd, cut.end())) << length;
            }
        }
    }
}

TEST(WormHostileInput, DamagedVikingDebugDirectory) {
    const Bytes host = cleanHost();
    const VikingWorm worm = vikingWorm(host, VikingDebug::Behind);
    const uint32_t directoryAt = fixtures::peHeaderOffset(worm.file) + 24 + 96 + 8 * 6;
    // Directory RVAs and sizes that point outside the image, wrap around, or are huge.
    const uint32_t values[][2] = {{0xFFFFFFF0u, 0x20}, {0x2000, 0xFFFFFFF0u}, {0x7FFFFFFF, 0x7FFFFFFF},
                                  {0x2000, 0x10}, {0x2000, 0x200000}};
    for (const auto& v : values) {
        Bytes damaged = worm.file;
        fixtures::put32(damaged, directoryAt, v[0]);
        fixtures::put32(damaged, directoryAt + 4, v[1]);
        support::Sample sample(damaged, qe::FORMAT_PE);
        const uint32_t r = sample.kill(host::KillRequest::byMethod(1)).result;
        EXPECT_TRUE(isKillResult(r)) << std::hex << v[0] << " " << v[1];
    }
}

TEST(WormHostileInput, ShortenedTanatosFiles) {
    const TanatosInfected infected = tanatosInfect(TanatosVariant::A, 2);
    for (size_t length : cutLengths(infected.file.size(), 0x1100)) {
        const Bytes cut = prefix(infected.file, length);
        support::Sample sample = support::Sample::insidePacked(cleanHost(1), cut);
        const uint32_t r = sample.kill(host::KillRequest::byId(0x12769)).result;
        EXPECT_TRUE(isKillResult(r) || r == uint32_t(QE_E_INVALIDARG)) << length << " " << std::hex << r;
        if (r == KILL_FAILED && length < 0x200) {
            EXPECT_EQ(sample.outer->bytes(), cut) << length;
        }
    }
}

TEST(WormHostileInput, ShortenedXldFiles) {
    const XldDropper dropper = xldDropper();
    bool foundShortened = false;
    for (size_t length : cutLengths(dropper.file.size(), 0x100)) {
        const Bytes cut = prefix(dropper.file, length);
        support::Sample sample(cut, qe::FORMAT_PE);
        const support::Outcome outcome = sample.scanThenKill();
        // Found only when the document's signature is there; repaired down to what is left of it.
        if (outcome.finding.virusId == 0x18a076) {
            foundShortened = true;
            EXPECT_GT(length, dropper.documentOffset + 3);
            EXPECT_EQ(outcome.result, KILL_REPAIRED);
            EXPECT_EQ(outcome.bytes, prefix(dropper.document, length - dropper.documentOffset));
        }
    }
    // A document cut short is still recognised: the layout ends with the signature.
    EXPECT_TRUE(foundShortened);
}

}  // namespace
