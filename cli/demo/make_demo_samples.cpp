// Writes the bundled demo sample set into a directory, made by the project's fixture builders:
//   samples/<name>            what the demo scans
//   expected/<name>           for an infected sample, the clean file a repair must give back
// Usage: remedy_demo_samples DIR
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tests/fixtures/bytes.h"
#include "tests/fixtures/docs_scripts.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/win32_infectors.h"

namespace {

using fixtures::Bytes;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes cleanProgram() {
    return fixtures::PeBuilder().addSection({".text", Bytes{0x31, 0xC0, 0xC3}}).entryInSection(0, 0).build();
}

// mov dx, message; mov ah, 9; int 21h; ret; message "hello$"
Bytes cleanComProgram() {
    return {0xBA, 0x08, 0x01, 0xB4, 0x09, 0xCD, 0x21, 0xC3, 'h', 'e', 'l', 'l', 'o', '$'};
}

// What an MZ cleaner gives back: the clean program with the infected file's page count words.
Bytes dosRepaired(const Bytes& clean, const std::function<Bytes(const Bytes&)>& infect) {
    const Bytes infected = infect(clean);
    Bytes repaired = clean;
    std::copy(infected.begin() + 2, infected.begin() + 6, repaired.begin() + 2);
    return repaired;
}

// What the Sality cleaner gives back: the clean program with the header totals and the dropped
// section's table entry as the virus left them.
Bytes salityRepaired(const Bytes& clean, const Bytes& infected) {
    using namespace fixtures::win32;
    Bytes repaired = clean;
    const auto keep = [&](uint32_t at, uint32_t length) {
        std::copy(infected.begin() + at, infected.begin() + at + length, repaired.begin() + at);
    };
    keep(kPe + 0x1C, 12);
    keep(kSizeOfImageAt, 4);
    keep(kSectionTableAt + 2 * 40, 40);
    return repaired;
}

// What the Cekar cleaner gives back: the entry bytes restored and the other pieces zeroed; the
// virus's section stays.
Bytes cekarRepaired(const fixtures::win32::CekarInfected& infected) {
    Bytes repaired = infected.file;
    const uint32_t entry = fixtures::win32::cleanBuilder().sectionFileOffset(0);
    std::copy_n(infected.clean.begin() + entry, 0x204, repaired.begin() + entry);
    for (const auto& piece : infected.pieces) std::fill_n(repaired.begin() + piece.offset, piece.size, 0);
    return repaired;
}

constexpr uint32_t kSalityKey = 0x5A17;

// Sentinel patches the entry's code: its MZ host enters where no relocated word lies.
Bytes sentinelHost() { return fixtures::dos::makeMz({2048, std::nullopt, 0x200, true}); }
Bytes infectSentinelMz(const Bytes& mz) { return fixtures::dos::infectSentinelMz(mz, true); }

struct Sample {
    const char* name;
    std::function<Bytes()> make;
    // Infected samples: the clean file their repair must give back.
    std::function<std::optional<Bytes>()> clean = [] { return std::nullopt; };
};

// Infected samples of each implemented family join this table.
const Sample kSamples[] = {
    {"hello.exe", cleanProgram},
    {"hello.com", cleanComProgram},
    {"photo.jpg", [] { return Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0xFF, 0xD9}; }},
    {"report.pdf", [] { return text("%PDF-1.4\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n"); }},
    {"greeting.vbs", [] { return text("Dim name\r\nname = \"world\"\r\nMsgBox \"hello \" & name\r\n"); }},
    {"readme.txt", [] { return text("Files remedy should leave alone.\n"); }},
    // DOS infectors the scan engines find themselves (the others are found by the host's
    // signature library). The MZ cleaners leave the page count as the virus set it.
    {"tmcb.com", [] { return fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333)); },
     [] { return std::optional<Bytes>(fixtures::dos::makeCom(3333)); }},
    {"tmcb.exe", [] { return fixtures::dos::infectTmcBMz(fixtures::dos::makeMz(), fixtures::dos::TmcBMzForm::Emulated); },
     [] { return std::optional<Bytes>(dosRepaired(fixtures::dos::makeMz(), [](const Bytes& mz) {
              return fixtures::dos::infectTmcBMz(mz, fixtures::dos::TmcBMzForm::Emulated);
          })); }},
    {"tequila.exe", [] { return fixtures::dos::infectTequila(fixtures::dos::makeMz()); },
     [] { return std::optional<Bytes>(dosRepaired(fixtures::dos::makeMz(), fixtures::dos::infectTequila)); }},
    // Viruses the module only repairs: the host's signature library (rules/) names them and
    // the kill engine removes them.
    {"bomber.com", [] { return fixtures::dos::infectBomber(fixtures::dos::makeCom(9000), 1500); },
     [] { return std::optional<Bytes>(fixtures::dos::makeCom(9000)); }},
    {"youth.com", [] { return fixtures::dos::infectYouth555(fixtures::dos::makeCom(1800), 0x7F); },
     [] { return std::optional<Bytes>(fixtures::dos::makeCom(1800)); }},
    {"sentinel.com", [] { return fixtures::dos::infectSentinelCom(fixtures::dos::makeCom(2500), false); },
     [] { return std::optional<Bytes>(fixtures::dos::makeCom(2500)); }},
    {"sentinel.exe", [] { return infectSentinelMz(sentinelHost()); },
     [] { return std::optional<Bytes>(dosRepaired(sentinelHost(), infectSentinelMz)); }},
    {"sality.exe", [] { return fixtures::win32::salityInfect(kSalityKey); },
     [] { return std::optional<Bytes>(salityRepaired(fixtures::win32::cleanProgram(),
                                                     fixtures::win32::salityInfect(kSalityKey))); }},
    {"cekar.exe", [] { return fixtures::win32::cekarInfect().file; },
     [] { return std::optional<Bytes>(cekarRepaired(fixtures::win32::cekarInfect())); }},
    {"neshta.exe", [] { return fixtures::win32::neshtaInfect().file; },
     [] { return std::optional<Bytes>(fixtures::win32::neshtaInfect().clean); }},
    // A script virus the ordinary-file units find and cut off.
    {"acad.lsp", [] { return fixtures::appendCadVirus(fixtures::makeLispRoutine()); },
     [] { return std::optional<Bytes>(fixtures::makeLispRoutine()); }},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir(argv[1]);
    try {
        std::filesystem::create_directories(dir / "samples");
        for (const Sample& sample : kSamples) {
            fixtures::writeFile(dir / "samples" / sample.name, sample.make());
            if (std::optional<Bytes> clean = sample.clean()) {
                std::filesystem::create_directories(dir / "expected");
                fixtures::writeFile(dir / "expected" / sample.name, *clean);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "remedy_demo_samples: %s\n", e.what());
        return 2;
    }
    return 0;
}
