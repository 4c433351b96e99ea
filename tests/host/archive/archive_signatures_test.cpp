// The look before libarchive: every archive and compression libarchive reads here passes it,
// and the common files that are no archive are turned away without setting libarchive up.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "host/archive/archive_reader.h"
#include "host/archive/archive_signatures.h"
#include "tests/host/archive/archive_test_support.h"

namespace {

using archivetest::haveCommand;
using archivetest::run;
using fixtures::Bytes;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// What libarchive opens, the look lets through.
void expectLookPasses(const Bytes& bytes, const std::string& what) {
    if (host::ArchiveReader::openWithoutLooking(bytes)) {
        EXPECT_TRUE(host::mayHoldArchive(bytes)) << what << ": libarchive reads it, the look turned it away";
        EXPECT_NE(host::ArchiveReader::open(bytes), nullptr) << what;
    }
}

TEST(ArchiveSignatures, EveryArchiveWrittenByBsdtarPassesTheLook) {
    if (!haveCommand("bsdtar")) GTEST_SKIP() << "bsdtar is not installed";
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("member.txt"), text("a member of an archive\n"));
    const char* formats[] = {"zip", "7zip", "cpio", "newc", "odc", "ar", "arbsd", "iso9660", "pax", "ustar", "gnutar", "v7tar"};
    const char* filters[] = {"", "--gzip", "--bzip2", "--xz", "--zstd", "--lz4"};
    for (const char* format : formats) {
        for (const char* filter : filters) {
            const std::string name = std::string("a.") + format + (*filter ? filter + 1 : "");
            run(dir, std::string("bsdtar -cf ") + name + " --format " + format + " " + filter + " member.txt");
            const Bytes bytes = fixtures::readFile(dir.file(name));
            EXPECT_TRUE(host::mayHoldArchive(bytes)) << name;
            expectLookPasses(bytes, name);
            // A program or picture with an archive appended (a self-extractor) is read from its end.
            Bytes prefixed = text("\xff\xd8\xff\xe0 picture data before the archive");
            prefixed.insert(prefixed.end(), bytes.begin(), bytes.end());
            expectLookPasses(prefixed, name + " after other bytes");
        }
    }
    // Single compressed files.
    for (const char* tool : {"gzip -k", "bzip2 -k", "xz -k", "zstd -q", "lz4 -q"})
        run(dir, std::string(tool) + " -f member.txt" + (tool[0] == 'l' ? " member.txt.lz4" : ""));
    for (const char* suffix : {".gz", ".bz2", ".xz", ".zst", ".lz4"}) {
        const Bytes bytes = fixtures::readFile(dir.file(std::string("member.txt") + suffix));
        EXPECT_TRUE(host::mayHoldArchive(bytes)) << suffix;
        expectLookPasses(bytes, suffix);
    }
}

// A zip after other bytes is found from its end only; with an archive comment long enough to
// put the end record out of the reader's reach, neither libarchive nor the look takes it.
TEST(ArchiveSignatures, AZipFoundFromItsEndAgreesWithLibarchiveWhateverItsComment) {
    if (!haveCommand("zip")) GTEST_SKIP() << "zip is not installed";
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("member.txt"), text("a member of an archive\n"));
    for (size_t comment : {size_t(10), size_t(12000), size_t(17000), size_t(40000)}) {
        fixtures::writeFile(dir.file("comment.txt"), Bytes(comment, 'c'));
        run(dir, "rm -f a.zip && zip -q -z a.zip member.txt < comment.txt");
        Bytes bytes = text("a picture or a program before the archive");
        const Bytes zip = fixtures::readFile(dir.file("a.zip"));
        bytes.insert(bytes.end(), zip.begin(), zip.end());
        const bool libarchiveReads = host::ArchiveReader::openWithoutLooking(bytes) != nullptr;
        EXPECT_EQ(host::mayHoldArchive(bytes), libarchiveReads) << comment;
        EXPECT_EQ(libarchiveReads, comment < 16000) << comment;
    }
}

TEST(ArchiveSignatures, ThirdPartyTestFilesLibarchiveReadsPassTheLook) {
    const std::filesystem::path folder = "/usr/share/clamav-testfiles";
    if (!std::filesystem::exists(folder)) GTEST_SKIP() << "clamav-testfiles is not installed";
    size_t opened = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const Bytes bytes = fixtures::readFile(entry.path());
        expectLookPasses(bytes, entry.path().filename().string());
        opened += host::ArchiveReader::open(bytes) != nullptr;
    }
    EXPECT_GE(opened, 10u) << "the zip, 7z, tar, cab, bz2 and cpio test files open";
}

// Each mark alone at the start (or where its format has it), followed by noise: whatever
// libarchive makes of it, the look let it through.
TEST(ArchiveSignatures, MarksWithNoiseAfterThemAreNeverTurnedAwayWhenLibarchiveReadsThem) {
    std::mt19937 random(7);
    const std::vector<std::pair<size_t, Bytes>> marks = {
        {0, text("\x1f\x8b\x08")}, {0, text("BZh9")}, {0, text("\xfd" "7zXZ")}, {0, text("\x28\xb5\x2f\xfd")},
        {0, text("\x04\x22\x4d\x18")}, {0, text("PK\x03\x04")}, {0, text("7z\xbc\xaf\x27\x1c")}, {0, text("070701")},
        {0, text("!<arch>\n")}, {0, text("MSCF")}, {0, text("Rar!\x1a\x07\x00")}, {0, text("xar!")}, {2, text("-lh5-")},
        {32769, text("CD001")}};
    for (const auto& [at, mark] : marks) {
        for (int round = 0; round < 20; ++round) {
            Bytes bytes(at + mark.size() + 4096);
            for (uint8_t& b : bytes) b = uint8_t(random());
            std::copy(mark.begin(), mark.end(), bytes.begin() + long(at));
            expectLookPasses(bytes, "mark at " + std::to_string(at));
        }
    }
    expectLookPasses(Bytes(512, 0), "a block of zeros");
    EXPECT_TRUE(host::mayHoldArchive(Bytes(512, 0)));
}

TEST(ArchiveSignatures, CommonFilesThatAreNoArchiveAreTurnedAway) {
    Bytes noise(70000);
    std::mt19937 random(3);
    for (uint8_t& b : noise) b = uint8_t('a' + random() % 23);  // text with no mark and no octal digit
    const std::vector<std::pair<std::string, Bytes>> files = {
        {"pdf", text("%PDF-1.7\n1 0 obj << /Type /Catalog >> endobj\n")},
        {"jpeg", text("\xff\xd8\xff\xe0\x00\x10JFIF\x00")},
        {"png", text("\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR")},
        {"empty", {}},
        {"noise", noise},
    };
    for (const auto& [name, bytes] : files) {
        EXPECT_FALSE(host::mayHoldArchive(bytes)) << name;
        EXPECT_EQ(host::ArchiveReader::openWithoutLooking(bytes), nullptr) << name;
    }
    // The end of a zip, anywhere in the last 16 KiB, is enough; further in, it is no end.
    const Bytes end = text("PK\x05\x06");
    for (size_t fromEnd : {size_t(4), size_t(5), size_t(7), size_t(22), size_t(16383), size_t(16384), size_t(16385)}) {
        Bytes withZipEnd = noise;
        std::copy(end.begin(), end.end(), withZipEnd.end() - long(fromEnd));
        EXPECT_EQ(host::mayHoldArchive(withZipEnd), fromEnd <= 16384) << fromEnd;
    }
    // Most binary files hold bytes a base-256 number would start with: no checksum, no tar.
    Bytes binary = noise;
    binary[148] = 0x80;
    EXPECT_FALSE(host::mayHoldArchive(binary));
}

}  // namespace
