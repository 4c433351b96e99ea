// Writes the seed corpora of the fuzz targets from the fixture builders:
//   fuzz_seeds <directory>   makes <directory>/<target>/seed-NNN for every target.
// Seeds are made at build time rather than kept in the repository.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <archive.h>

#include "fuzz/fuzz_targets.h"
#include "host/quarantine.h"
#include "module/frame/unit_table.h"
#include "tests/fixtures/archive_builder.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/exploit_scripts.h"
#include "tests/fixtures/exploit_swf.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/exploit_generators.h"
#include "tests/fixtures/exploit_images.h"
#include "tests/fixtures/lzh_compressor.h"
#include "tests/fixtures/asf_qt_builder.h"
#include "tests/fixtures/ole_builder.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/resource_builder.h"
#include "tests/fixtures/toolkit_imports.h"

namespace {

using fixtures::Bytes;

// Format selector bytes of the engine targets (indexes into their list of format codes).
enum Selector : uint8_t { kPe = 0, kMz = 1, kCom = 2, kScript = 3, kOrdinary = 4, kFlash = 5, kJpeg = 7, kPdf = 8 };

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes resourcePe() {
    using fixtures::ResourceKey;
    fixtures::PeBuilder b;
    b.addSection({".text", Bytes(0x200, 0x90), 0});
    const uint32_t rva = b.sectionRva(1);
    std::vector<fixtures::ResourceType> types = {
        {ResourceKey::byId(10), {{ResourceKey::byId(1), {{ResourceKey::byId(0x409), text("resource data"), 0}}}}},
        {ResourceKey::byName(u"DATA"), {{ResourceKey::byName(u"ONE"), {{ResourceKey::byId(0), Bytes(40, 7), 0}}}}},
    };
    Bytes rsrc = fixtures::buildResourceSection(rva, types);
    b.addSection({".rsrc", rsrc, 0, 0x40000040});
    b.dataDirectory(2, rva, uint32_t(rsrc.size()));
    return b.build();
}

Bytes importPe() {
    fixtures::PeBuilder b;
    b.addSection({".text", Bytes(0x200, 0x90), 0});
    fixtures::ImportLayout layout;
    Bytes idata = fixtures::buildImportSection(
        b.sectionRva(1),
        {{"KERNEL32.dll", {{"GetProcAddress"}, {"LoadLibraryA"}, {"", 17}}},
         {"USER32.dll  ", {{"MessageBoxA", 0, 3}}, false}},
        &layout);
    b.addSection({".idata", idata, 0, 0xC0000040});
    b.dataDirectory(1, layout.directoryRva, layout.directorySize);
    return b.build();
}

Bytes plainPe() {
    return fixtures::PeBuilder()
        .addSection({".text", Bytes(64, 0x90)})
        .addSection({".data", Bytes(16, 0x11), 0, 0xC0000040})
        .entryInSection(0, 4)
        .build();
}

std::vector<Bytes> oleDocuments() {
    std::vector<Bytes> made;
    for (uint32_t shift : {9u, 12u}) {
        fixtures::OleBuilder ole(shift);
        ole.addStream("WordDocument", Bytes(5000, 0x21));
        const uint32_t storage = ole.addStorage("Macros");
        ole.addStream("small", text("a stream in the mini stream"), storage);
        ole.addStream("\x01" "CompObj", Bytes(100, 3));
        made.push_back(ole.build().bytes);
        ole.fragmented();
        made.push_back(ole.build().bytes);
    }
    return made;
}

Bytes withPrefix(std::initializer_list<uint8_t> prefix, const Bytes& file) {
    Bytes out(prefix);
    out.insert(out.end(), file.begin(), file.end());
    return out;
}

// Each builder is tried on its own: a fixture that cannot be made here is skipped.
void tryAdd(std::vector<Bytes>& into, const char* what, const std::function<Bytes()>& make) {
    try {
        into.push_back(make());
    }
    catch (const std::exception& e) {
        std::fprintf(stderr, "fuzz_seeds: skipped %s: %s\n", what, e.what());
    }
}

std::map<std::string, std::vector<Bytes>> allSeeds() {
    std::map<std::string, std::vector<Bytes>> seeds;
    const Bytes com = fixtures::dos::makeCom(3000);
    const Bytes mz = fixtures::dos::makeMz();

    // Executables for the engines, each with the format the host would give it.
    std::vector<std::pair<uint8_t, Bytes>> programs = {{kPe, plainPe()}, {kPe, resourcePe()}, {kPe, importPe()},
                                                       {kMz, mz}, {kCom, com}};
    std::vector<Bytes> infectedCom, infectedMz;
    tryAdd(infectedCom, "June", [&] { return fixtures::dos::infectJune1919(com, 0x1234); });
    tryAdd(infectedCom, "Badboy", [&] { return fixtures::dos::infectBadboy(com); });
    tryAdd(infectedCom, "SG Bomber", [&] { return fixtures::dos::infectSgBomber(com); });
    tryAdd(infectedCom, "TMC-B", [&] { return fixtures::dos::infectTmcBCom(com); });
    tryAdd(infectedCom, "Sentinel", [&] { return fixtures::dos::infectSentinelCom(com, false); });
    tryAdd(infectedCom, "Moran", [&] { return fixtures::dos::infectMoran2720(com, 0x55AA); });
    tryAdd(infectedMz, "Tequila", [&] { return fixtures::dos::infectTequila(mz); });
    tryAdd(infectedMz, "April 1st", [&] { return fixtures::dos::infectApril1st(mz); });
    tryAdd(infectedMz, "Buba", [&] { return fixtures::dos::infectBuba1537(mz, 5); });
    tryAdd(infectedMz, "Sentinel MZ", [&] { return fixtures::dos::infectSentinelMz(mz, true); });
    for (const Bytes& b : infectedCom) programs.push_back({kCom, b});
    for (const Bytes& b : infectedMz) programs.push_back({kMz, b});

    std::vector<std::pair<uint8_t, Bytes>> documents;
    documents.push_back({kScript, fixtures::makeCleanVbs(1200)});
    documents.push_back({kScript, fixtures::appendCadVirus(fixtures::makeLispRoutine())});
    documents.push_back({kFlash, fixtures::makeSwf(9, {fixtures::swfTag(1, {})})});
    documents.push_back({kFlash, fixtures::makeLfmHostMovie()});
    documents.push_back({kJpeg, fixtures::buildJpeg({"a comment"})});
    documents.push_back({kOrdinary, fixtures::buildPng({})});
    for (const Bytes& ole : oleDocuments()) documents.push_back({kOrdinary, ole});
    // Exploit files as public generators write them, names obfuscated.
    documents.push_back({kPdf, fixtures::makeGeneratedColorsPdf(1, fixtures::PdfNames::kObfuscated)});
    documents.push_back({kPdf, fixtures::makeGeneratedScriptPdf(1, fixtures::PdfNames::kObfuscated)});
    documents.push_back({kPdf, fixtures::makeGeneratedUriPdf(1, fixtures::PdfNames::kObfuscated)});
    documents.push_back({kOrdinary, fixtures::makeGeneratedAbortProcWmf(1)});
    documents.push_back({kOrdinary, fixtures::makeGeneratedUrlAndExitAsf(1)});

    for (const auto& [format, file] : programs) {
        seeds["pe_header_exec"].push_back(file);
        seeds["pe_header_stream"].push_back(file);
        seeds["scan_engines"].push_back(withPrefix({format}, file));
    }
    for (const auto& [format, file] : documents) seeds["scan_engines"].push_back(withPrefix({format}, file));

    // Every kill request over an infected program, a clean one and a document.
    const Bytes killFiles[] = {infectedCom.empty() ? com : infectedCom.front(), infectedMz.empty() ? mz : infectedMz.front(),
                               plainPe(), fixtures::makeCleanVbs(600)};
    const uint8_t killFormats[] = {kCom, kMz, kPe, kScript};
    for (uint8_t request = 0; request < 40; ++request)
        for (size_t f = 0; f < 4; ++f)
            seeds["kill_engine"].push_back(withPrefix({killFormats[f], request, 0, 0, 0, 0}, killFiles[f]));

    seeds["pe_resources"] = {resourcePe(), plainPe()};
    seeds["pe_resources_exec"] = {resourcePe()};
    seeds["pe_imports"] = {importPe(), plainPe()};
    seeds["ole_reader"] = oleDocuments();
    seeds["ole_editor"] = oleDocuments();
    for (const Bytes& data : {text("hello hello hello hello"), fixtures::dos::pattern(5000, 7), com}) {
        const Bytes packed = fixtures::lzhCompress(data);
        const uint32_t n = uint32_t(data.size());
        seeds["lzh_unpacker"].push_back(withPrefix({uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16)}, packed));
    }
    seeds["string_dump"] = {text("Scripting.FileSystemObject WScript.Shell CreateObject(\"x\")"),
                            Bytes{'w', 0, 'i', 0, 'd', 0, 'e', 0, ' ', 0, 't', 0, 'e', 0, 'x', 0, 't', 0},
                            fixtures::makeCleanVbs(800)};
    host::QuarantineRecord record;
    record.id = "20261210T120000Z-0123abcd";
    record.originalPath = "/srv/share/a\nb\xff.exe";
    record.size = 7233, record.mode = 0104755, record.inode = 18446744073709551615ull;
    record.attributes = {{"user.x", std::string("\0\1", 2)}, {"security.capability", "caps"}};
    record.originalSha256 = std::string(64, 'a');
    record.replacementSha256 = std::string(64, 'b');
    record.verdict = {"DOS.TmcBCOM", "0x00006551", "post-library"};
    record.action = "repaired";
    const std::string recordText = host::quarantineRecordText(record);
    seeds["quarantine_record"] = {Bytes(recordText.begin(), recordText.end())};
    const std::string listing = "# TABLE ROW KEY ID STATE CLASS NAME\n" + unitTableListing();
    seeds["unit_listing"] = {Bytes(listing.begin(), listing.end())};
    seeds["media_readers"] = {
        fixtures::AsfBuilder().object(fixtures::kAsfFilePropertiesGuid, Bytes(80, 0)).after(fixtures::kAsfDataGuid, Bytes(50, 1)).build(),
        fixtures::concat(fixtures::qtAtom("ftyp", text("isom")), fixtures::qtAtom("moov", fixtures::qtAtom("mvhd", Bytes(100, 0)))),
    };
    // Archives of each format remedy writes, compressed and nested, holding an infected program.
    namespace archives = fixtures::archives;
    const archives::Member program{"game.com", fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(600))};
    const archives::Member note{"docs/note.txt", text("a note")};
    for (const auto& [format, filter] : std::vector<std::pair<int, int>>{
             {ARCHIVE_FORMAT_ZIP, 0}, {ARCHIVE_FORMAT_7ZIP, 0}, {ARCHIVE_FORMAT_TAR_USTAR, 0},
             {ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_GZIP}, {ARCHIVE_FORMAT_TAR_GNUTAR, ARCHIVE_FILTER_XZ},
             {ARCHIVE_FORMAT_CPIO_SVR4_NOCRC, 0}, {ARCHIVE_FORMAT_CPIO_POSIX, ARCHIVE_FILTER_BZIP2}})
        tryAdd(seeds["archive_walk"], "archive", [&] { return archives::pack(format, filter, {program, note}); });
    tryAdd(seeds["archive_walk"], "nested archive", [&] { return archives::nested(ARCHIVE_FORMAT_ZIP, program, 3); });
    return seeds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const auto seeds = allSeeds();
    for (const fuzz::Target& target : fuzz::allTargets()) {
        const auto found = seeds.find(target.name);
        if (found == seeds.end()) {
            std::fprintf(stderr, "fuzz_seeds: no seeds for %s\n", target.name);
            return 1;
        }
        const std::filesystem::path dir = root / target.name;
        std::filesystem::create_directories(dir);
        int n = 0;
        for (const Bytes& seed : found->second) {
            char name[32];
            std::snprintf(name, sizeof name, "seed-%03d", n++);
            std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(seed.data()), std::streamsize(seed.size()));
        }
        std::printf("%s: %d seeds\n", target.name, n);
    }
    return 0;
}
