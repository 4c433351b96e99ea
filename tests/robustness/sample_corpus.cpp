#include "tests/robustness/sample_corpus.h"

#include <cstdio>
#include <exception>
#include <functional>

#include "sdk/format_codes.h"
#include "tests/fixtures/exploit_ntldr_atl_binder.h"
#include "tests/fixtures/exploit_pdf.h"
#include "tests/fixtures/exploit_scripts.h"
#include "tests/fixtures/exploit_swf.h"
#include "tests/fixtures/exploit_torrent.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/exploit_asf_qt.h"
#include "tests/fixtures/exploit_images.h"
#include "tests/fixtures/exploit_media.h"
#include "tests/fixtures/vb_downloader_rootkit.h"
#include "tests/fixtures/numbered_repairs.h"
#include "tests/fixtures/kuku_infector.h"
#include "tests/fixtures/magistr_funlove.h"
#include "tests/fixtures/asf_qt_builder.h"
#include "tests/fixtures/ole_builder.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/virut_infector.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/fixtures/worms_nimda_viking_tanatos_xld.h"
#include "tests/fixtures/worms_theals_klez_lovgate.h"

namespace robustness {

namespace {

using fixtures::Bytes;
namespace dos = fixtures::dos;
namespace win32 = fixtures::win32;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

class Builder {
public:
    void add(const std::string& name, uint32_t format, RepairBy repair, uint32_t number, uint32_t parameter,
             const std::function<Bytes()>& make) {
        try {
            files.push_back({name, make(), format, repair, number, parameter, {}});
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sample corpus: %s left out: %s\n", name.c_str(), e.what());
        }
    }
    // The last file added reads `name` beside it.
    void companion(const std::string& name, const std::function<Bytes()>& make) {
        if (!files.empty()) files.back().companions.emplace_back(name, make());
    }
    void clean(const std::string& name, uint32_t format, const std::function<Bytes()>& make) {
        add(name, format, RepairBy::None, 0, 0, make);
    }
    std::vector<CorpusFile> files;
};

void dosFiles(Builder& b) {
    const Bytes com = dos::makeCom(3000), mz = dos::makeMz();
    const uint32_t COM = qe::FORMAT_COM, MZ = qe::FORMAT_MZ;
    b.clean("clean.com", COM, [&] { return com; });
    b.clean("clean.exe", MZ, [&] { return mz; });
    const struct {
        const char* name;
        uint32_t id;
        std::function<Bytes()> make;
    } byId[] = {
        {"bomber.com", 0xab37, [&] { return dos::infectBomber(dos::makeCom(9000), 1500); }},
        {"april10.com", 0x3c80, [&] { return dos::infectApril10Com(com, 0x37); }},
        {"badboy.com", 0x3dfe, [&] { return dos::infectBadboy(com); }},
        {"datacrime.com", 0x19cf, [&] { return dos::infectDataCrimeIICom(com, 0x5B); }},
        {"moran.com", 0x3d26, [&] { return dos::infectMoran2720(com, 0x1234); }},
        {"v1989.com", 0x3ddf, [&] { return dos::infectV1989Com(com, 0xBEEF); }},
        {"voronezh.com", 0x3df0, [&] { return dos::infectVoronezhCom(com, dos::VoronezhForm::Variable, 0x6E, 900); }},
        {"voronezh1600.com", 0x3ddd, [&] { return dos::infectVoronezhCom(dos::makeCom(4000), dos::VoronezhForm::V1600, 0x9A); }},
        {"voronezh600.com", 0x3e61, [&] { return dos::infectVoronezhCom(com, dos::VoronezhForm::V600, 0x42); }},
        {"voronezh650.com", 0x3e62, [&] { return dos::infectVoronezhCom(com, dos::VoronezhForm::V650, 0x24); }},
        {"youth.com", 0x3dd8, [&] { return dos::infectYouth555(com, 0x7F); }},
        {"zhengzhou.com", 0x3c7e, [&] { return dos::infectZhengZhou(com, 0xE1); }},
        {"june.com", 0x3d0e, [&] { return dos::infectJune1919(com, 0x4321); }},
        {"sgbomber.com", 0xad54, [&] { return dos::infectSgBomber(com); }},
        {"sentinel.com", 0x3ad9, [&] { return dos::infectSentinelCom(com, true); }},
        {"tremor.exe", 0xaba8, [&] { return dos::infectTremor(mz); }},
        {"april10.exe", 0x3c82, [&] { return dos::infectApril10Exe(mz, 0x5D); }},
        {"v1989.exe", 0x3de1, [&] { return dos::infectV1989Exe(mz, 0x2468); }},
        {"buba.exe", 0x3dc9, [&] { return dos::infectBuba1537(mz, 0xFE); }},
        {"voronezh1600.exe", 0x3dd9, [&] { return dos::infectVoronezh1600Exe(mz, false); }},
        {"sentinel.exe", 0x3ae4, [&] { return dos::infectSentinelMz(dos::makeMz({2048, std::nullopt, 0x200, true}), true); }},
        {"datacrime.exe", 0x3c83, [&] { return dos::infectDataCrimeIIExe(dos::makeMz({2048, 0, 0xFFFE}), 0xB7); }},
        {"april1st.exe", 0x8c9, [&] { return dos::infectApril1st(mz); }},
        {"hllp.exe", 0x4376, [&] { return dos::infectHllp7808(dos::pattern(40000, 40001)); }},
        {"hllp-cut.exe", 0x4376, [&] { return dos::infectHllp7808(dos::pattern(15615 - 7808, 7808)); }},
    };
    for (const auto& c : byId) {
        const bool isCom = std::string(c.name).ends_with(".com");
        b.add(c.name, isCom ? COM : MZ, RepairBy::Id, c.id, 0, c.make);
    }
    b.add("tmcb-found.com", COM, RepairBy::Found, 0, 0, [&] { return dos::infectTmcBCom(dos::makeCom(3333)); });
    b.add("tequila-found.exe", MZ, RepairBy::Found, 0, 0, [&] { return dos::infectTequila(mz); });
    b.add("tmcb-found.exe", MZ, RepairBy::Found, 0, 0,
          [&] { return dos::infectTmcBMz(mz, dos::TmcBMzForm::Emulated); });
}

void win32Files(Builder& b) {
    const uint32_t PE = qe::FORMAT_PE;
    b.clean("clean-pe.exe", PE, [] { return win32::cleanProgram(); });
    const struct {
        const char* name;
        win32::PariteVariant variant;
        uint32_t id;
    } parite[] = {{"parite-a.exe", win32::PariteVariant::A, 0x3f0f}, {"parite-b.exe", win32::PariteVariant::B, 0x3eab},
                  {"parite-c.exe", win32::PariteVariant::C, 0x3ead}, {"parite-d.exe", win32::PariteVariant::D, 0x13ca4}};
    for (const auto& p : parite) {
        b.add(p.name, PE, RepairBy::Id, p.id, 0, [&] {
            win32::PariteInfection infection;
            infection.variant = p.variant;
            return win32::pariteInfect(infection);
        });
    }
    b.add("resur-a.exe", PE, RepairBy::Id, 0x51dd, 0, [] { return win32::resurInfect(win32::ResurVariant::A).file; });
    b.add("resur-b.exe", PE, RepairBy::Id, 0x52b5, 0, [] { return win32::resurInfect(win32::ResurVariant::B).file; });
    b.add("resur-c.exe", PE, RepairBy::Id, 0x52b6, 0, [] { return win32::resurInfect(win32::ResurVariant::C).file; });
    b.add("resur-d.exe", PE, RepairBy::Id, 0x5318, 0, [] { return win32::resurInfect(win32::ResurVariant::D).file; });
    b.add("resur-e.exe", PE, RepairBy::Id, 0x14b6d, 0, [] { return win32::resurInfect(win32::ResurVariant::E).file; });
    b.add("cih.exe", PE, RepairBy::Id, 0x4b98, 0, [] { return win32::cihInfect(0x300, 0x80, 2).file; });
    b.add("cih1003-found.exe", PE, RepairBy::Found, 0, 0, [] { return win32::cih1003Infect(0x200); });
    b.add("sality.exe", PE, RepairBy::Id, 0x1719ba, 0, [] { return win32::salityInfect(0x12345678); });
    b.add("cekar.exe", PE, RepairBy::Id, 0x16e914, 0, [] { return win32::cekarInfect().file; });
    b.add("padania-found.exe", PE, RepairBy::Found, 0, 0, [] { return win32::padaniaInfect(false).file; });
    b.add("neshta.exe", PE, RepairBy::Method, 2, 0, [] { return win32::neshtaInfect().file; });
    b.add("neshta-alone.exe", PE, RepairBy::Method, 2, 0, [] { return win32::cleanProgram(); });
    b.add("magistr.exe", PE, RepairBy::Method, 17, 0, [] { return win32::magistrInfect().file; });
    b.add("magistr-pe-found.exe", PE, RepairBy::Found, 0, 0, [] { return win32::magistrPeInfect().file; });
    b.add("magistr-keyed-found.exe", PE, RepairBy::Found, 0, 0, [] {
        win32::MagistrOptions keyed;
        keyed.layout = win32::MagistrLayout::Keyed;
        return win32::magistrPeInfect(keyed).file;
    });
    b.add("funlove-found.exe", PE, RepairBy::Found, 0, 0, [] { return win32::funLoveInfect(true).file; });
    b.add("funlove-bare-found.exe", PE, RepairBy::Found, 0, 0, [] { return win32::funLoveInfect(false).file; });
    namespace kuku = fixtures::kuku;
    b.add("kuku-found.exe", PE, RepairBy::Found, 0, 0,
          [] { return kuku::infect(kuku::Loader::JumpRegister, kuku::Body::ThreadCounted).file; });
    b.add("kuku-kill.exe", PE, RepairBy::Method, 0x1d, 0,
          [] { return kuku::infect(kuku::Loader::JumpToRet, kuku::Body::ThreadKeyed).file; });
    b.add("kuku-ko-found.exe", PE, RepairBy::Found, 0, 0, [] { return kuku::infectKo().file; });
    namespace virut = fixtures::virut;
    b.add("virut-cs-found.exe", PE, RepairBy::Found, 0, 0, [] { return virut::newCsInfect(); });
    b.add("virut-ce-found.exe", PE, RepairBy::Found, 0, 0,
          [] { return virut::ceInfect(virut::CeVariant::SectionAdd).file; });
    b.add("virut-ce-tail-found.exe", PE, RepairBy::Found, 0, 0,
          [] { return virut::ceInfect(virut::CeVariant::TailAdd).file; });
    b.add("virut-bad-found.exe", PE, RepairBy::Found, 0, 0, [] { return virut::badInfect(); });
}

void wormFiles(Builder& b) {
    namespace worms = fixtures::worms;
    const uint32_t PE = qe::FORMAT_PE;
    b.add("nimda.exe", PE, RepairBy::Id, 0x140229, 0, [] { return worms::nimdaWorm(worms::cleanHost()).file; });
    b.add("nimda-method.exe", PE, RepairBy::Method, 0x18, 0, [] { return worms::nimdaWorm(worms::cleanHost()).file; });
    b.add("viking.exe", PE, RepairBy::Id, 0x60c59, 0, [] { return worms::vikingWorm(worms::cleanHost()).file; });
    b.add("viking-debug.exe", PE, RepairBy::Method, 1, 0,
          [] { return worms::vikingWorm(worms::cleanHost(), worms::VikingDebug::Behind).file; });
    b.add("viking-alone.exe", PE, RepairBy::Method, 1, 0, [] { return worms::vikingWorm({}).file; });
    b.add("xld-found.exe", PE, RepairBy::Found, 0, 0, [] { return worms::xldDropper().file; });
    b.add("theals-found.exe", PE, RepairBy::Found, 0, 0,
          [] { return worms::thealsInfect(worms::ThealsGeneration::First).file; });
    b.add("theals-a-found.exe", PE, RepairBy::Found, 0, 0,
          [] { return worms::thealsInfect(worms::ThealsGeneration::A).file; });
    b.add("theals-gen-found.exe", PE, RepairBy::Found, 0, 0, [] { return worms::thealsGenInfect(80000).file; });
    // The worm keeps the host it replaced, compressed, under the name its information block holds.
    b.add("setup.exe", PE, RepairBy::Id, 0x436c, 0,
          [] { return worms::klezWorm(worms::KlezWormKind::F, "C:\\WINDOWS\\SYSTEM\\Wink3.exe", 0x12000); });
    b.companion("Wink3.exe", [] { return worms::klezCompress(win32::cleanProgram()); });
    b.add("setup-k.exe", PE, RepairBy::Id, 0x49bb, 0,
          [] { return worms::klezWorm(worms::KlezWormKind::K, "C:\\WINDOWS\\SYSTEM\\Wink3.exe", 0x12000); });
    b.companion("Wink3.exe", [] { return worms::klezCompress(win32::cleanProgram()); });
    b.add("klez-appended.exe", PE, RepairBy::Id, 0x3eb3, 0, [] { return worms::klezVirusAppended().file; });
    b.add("klez-inside.exe", PE, RepairBy::Id, 0x3eb3, 0, [] { return worms::klezVirusInside(0x400).file; });
    const Bytes host = win32::cleanProgram();
    b.add("lovgate-ax.exe", PE, RepairBy::Id, 0x113c8, 0,
          [&] { return fixtures::concat(worms::lovGatePrefix(57352, uint32_t(host.size())), host); });
    b.add("lovgate-bo.exe", PE, RepairBy::Id, 0x11bec, 0,
          [&] { return fixtures::concat(worms::lovGatePrefix(73736, uint32_t(host.size())), host); });
    b.add("lovgate-sub.exe", PE, RepairBy::Id, 0xa2cb, 0, [&] {
        // Data behind the host goes too.
        const Bytes infected = fixtures::concat(worms::lovGatePrefix(49160, uint32_t(host.size())), host);
        return fixtures::concat(infected, win32::filler(300, 2));
    });
}

void specialFiles(Builder& b) {
    const uint32_t PE = qe::FORMAT_PE;
    const auto special = [&](const std::string& name, uint32_t method, const fixtures::RepairCase& c) {
        b.add(name, PE, RepairBy::Special, method, c.parameter, [&] { return c.infected; });
    };
    special("prepended.exe", 1, fixtures::prependedBody(fixtures::specialCleanProgram(0x1400)));
    special("prepended-only.exe", 1, fixtures::prependedBody(Bytes(4096, 0x33)));
    special("moved-entry.exe", 2, fixtures::movedEntryField());
    special("rag.exe", 6, fixtures::ragInfected());
    special("resource-carrier.exe", 7, fixtures::resourceCarrier(fixtures::specialCleanProgram(0x600, 9)));
    special("resource-carrier-8.exe", 8, fixtures::resourceCarrier(fixtures::specialCleanProgram(0x700, 5)));
    // "exe" and an end of name: the companion is prog.exe beside prog.vir.
    b.add("prog.vir", PE, RepairBy::Special, 9, 0x65786500, [] { return Bytes(0x3000, 0xEE); });
    b.companion("prog.exe", [] { return fixtures::specialCleanProgram(0x700); });
    b.add("head.exe", PE, RepairBy::Special, 4, 0x1800, [] {
        Bytes infected(0x1800, 0xCC);
        const Bytes clean = fixtures::specialCleanProgram(0x2345);
        infected.insert(infected.end(), clean.begin(), clean.end());
        return infected;
    });
    b.add("subtracted.bin", qe::FORMAT_FILE, RepairBy::Special, 5, 0x37, [] {
        Bytes infected(5000);
        for (size_t i = 0; i < infected.size(); ++i) infected[i] = uint8_t(i * 13 + 5 + 0x37);
        return infected;
    });
    b.add("foreign.exe", PE, RepairBy::Method, 12, 0,
          [] { return fixtures::prependForeignBytes(fixtures::makeSmallPe(), 3000, 1); });
    b.add("report.exe", PE, RepairBy::Method, 16, 0,
          [] { return fixtures::bindDocument(fixtures::makeDocument(5000), "VBDocXXBind"); });
}

// Malformed media the exploit detectors find: most are removed, a few repaired in place.
void exploitFiles(Builder& b) {
    b.add("apic.mp3", 0, RepairBy::Found, 0, 0, [] {
        fixtures::Id3Frame f = fixtures::id3Picture("image/png", "Cover", Bytes(5, 1));
        f.sizeOverride = 17;
        return fixtures::buildMp3(3, {f});
    });
    b.add("bad-cursor.ani", 0, RepairBy::Found, 0, 0, [] { return fixtures::buildAni(100); });
    b.add("markers.asf", 0, RepairBy::Found, 0, 0,
          [] { return fixtures::buildAsf({fixtures::asfMarkers(0x8000000)}); });
    b.add("bad-photo.jpg", 0, RepairBy::Found, 0, 0, [] {
        Bytes bad = fixtures::buildJpeg({"comment"});
        const size_t at = fixtures::jpegCommentOffset(bad);
        bad[at + 2] = 0;
        bad[at + 3] = 1;
        return bad;
    });
    b.add("picture.wmf", 0, RepairBy::Found, 0, 0, [] {
        std::vector<fixtures::WmfRecord> records = fixtures::wmfDrawing();
        records.insert(records.begin() + 3, fixtures::wmfEscape(9, {1, 2, 3, 4}));
        return fixtures::buildWmf(records);
    });
    b.add("downloader-found.exe", qe::FORMAT_PE, RepairBy::Found, 0, 0, [] { return fixtures::vbProgram(); });
    b.add("show.asf", 0, RepairBy::Found, 0, 0, [] {
        const fixtures::AsfObject commands = fixtures::asfScriptCommands(
            {"URL", "URLANDEXIT"}, {{1, 0, "http://a.example/"}, {2, 1, "http://b.example/"}});
        return fixtures::buildAsf({commands, fixtures::asfPadding(80)});
    });
}

void documentFiles(Builder& b) {
    const Bytes routine = fixtures::makeLispRoutine();
    b.clean("routine.lsp", 0, [&] { return routine; });
    b.add("acad.lsp", 0, RepairBy::Found, 0, 0, [&] { return fixtures::appendCadVirus(routine); });
    b.clean("clean.vbs", 0, [] { return fixtures::makeCleanVbs(1200); });
    b.add("a.torrent", 0, RepairBy::Found, 0, 0, [] { return fixtures::makeTorrentCreatedBy(400); });
    b.add("ntldr", 0, RepairBy::Found, 0, 0, [] { return fixtures::infectNtldr(fixtures::makeNtldr(20000, 5000), 5008); });
    b.add("link.pdf", 0, RepairBy::Found, 0, 0, [] {
        return fixtures::makePdfWithUriAction("<</URI (file:///%WINDIR%/../../../windows/system32/calc.exe)/S/URI>>");
    });
    b.clean("clean.pdf", 0, [] { return fixtures::makeCleanPdf(); });
    b.add("movie.swf", 0, RepairBy::Found, 0, 0, [] { return fixtures::infectLfm926(fixtures::makeLfmHostMovie()); });
    b.clean("plain.swf", 0, [] { return fixtures::makeSwf(9, {fixtures::swfTag(1, {})}); });
    b.clean("photo.jpg", 0, [] { return fixtures::buildJpeg({"a comment"}); });
    b.clean("image.png", 0, [] { return fixtures::buildPng({}); });
    b.clean("cursor.ani", 0, [] { return fixtures::buildAni(); });
    b.clean("big-text.png", 0, [] { return fixtures::pngWithTextLength(0x7FFFFFF0); });
    b.clean("song.asf", 0, [] {
        return fixtures::AsfBuilder().object(fixtures::kAsfFilePropertiesGuid, Bytes(80, 0)).after(fixtures::kAsfDataGuid, Bytes(50, 1)).build();
    });
    b.clean("clip.mov", 0, [] {
        return fixtures::concat(fixtures::qtAtom("ftyp", text("isom")), fixtures::qtAtom("moov", fixtures::qtAtom("mvhd", Bytes(100, 0))));
    });
    b.clean("document.doc", 0, [] {
        fixtures::OleBuilder ole(9);
        ole.addStream("WordDocument", Bytes(5000, 0x21));
        const uint32_t storage = ole.addStorage("Macros");
        ole.addStream("small", text("a stream in the mini stream"), storage);
        return ole.build().bytes;
    });
    b.clean("readme.txt", 0, [] { return text("Files remedy should leave alone.\n"); });
    exploitFiles(b);
}

}  // namespace

const std::vector<CorpusFile>& sampleCorpus() {
    static const std::vector<CorpusFile> corpus = [] {
        Builder b;
        dosFiles(b);
        win32Files(b);
        wormFiles(b);
        specialFiles(b);
        documentFiles(b);
        return b.files;
    }();
    return corpus;
}

}  // namespace robustness
