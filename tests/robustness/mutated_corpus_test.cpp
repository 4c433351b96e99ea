// Hostile versions of every corpus file - truncated, bit-flipped, with header sizes set to 0 and
// 0xFFFFFFFF and offsets pointing past the end - through the whole scan (pre-library,
// post-library and unknown-virus engines, heuristics on) and the file's repair. Each file must
// finish; under the sanitizer build any bad read is reported here.
//
// The normal suite runs a sample of the mutations; REMEDY_MUTATIONS=all runs every one of them
// (a few minutes), REMEDY_MUTATIONS=N runs N random flips a file instead of the default;
// REMEDY_MUTATION_FILE=NAME runs the mutants of one corpus file only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "host/classify.h"
#include "host/engine_request.h"
#include "tests/robustness/corpus_host.h"

namespace {

using fixtures::Bytes;
using robustness::CorpusFile;
using robustness::RepairBy;

struct Mutant {
    std::string what;
    Bytes bytes;
};

void put32(Bytes& b, size_t at, uint32_t value) {
    if (at + 4 > b.size()) return;
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(value >> (8 * i));
}

uint32_t get32(const Bytes& b, size_t at) {
    if (at + 4 > b.size()) return 0;
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The places of a PE header that hold sizes, counts and offsets, when the file has one.
std::vector<std::pair<std::string, size_t>> peFields(const Bytes& b) {
    std::vector<std::pair<std::string, size_t>> fields;
    if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return fields;
    fields.push_back({"e_lfanew", 0x3C});
    const size_t pe = get32(b, 0x3C);
    if (pe + 0xF8 > b.size() || b[pe] != 'P' || b[pe + 1] != 'E') return fields;
    fields.push_back({"NumberOfSections", pe + 6});
    fields.push_back({"SizeOfOptionalHeader", pe + 0x14});
    for (auto [name, at] : {std::pair{"SizeOfCode", 0x1C}, {"AddressOfEntryPoint", 0x28}, {"ImageBase", 0x34},
                            {"SectionAlignment", 0x38}, {"FileAlignment", 0x3C}, {"SizeOfImage", 0x50},
                            {"SizeOfHeaders", 0x54}, {"NumberOfRvaAndSizes", 0x74}})
        fields.push_back({name, pe + 0x18 + at});
    for (int d = 0; d < 16; ++d) {
        fields.push_back({"directory " + std::to_string(d) + " rva", pe + 0x78 + 8 * d});
        fields.push_back({"directory " + std::to_string(d) + " size", pe + 0x7C + 8 * d});
    }
    const size_t optionalSize = size_t(b[pe + 0x14]) | size_t(b[pe + 0x15]) << 8;
    const size_t sections = pe + 0x18 + optionalSize;
    const size_t count = size_t(b[pe + 6]) | size_t(b[pe + 7]) << 8;
    for (size_t s = 0; s < count && s < 16 && sections + 40 * (s + 1) <= b.size(); ++s) {
        const size_t at = sections + 40 * s;
        const std::string name = "section " + std::to_string(s);
        fields.push_back({name + " VirtualSize", at + 8});
        fields.push_back({name + " VirtualAddress", at + 12});
        fields.push_back({name + " SizeOfRawData", at + 16});
        fields.push_back({name + " PointerToRawData", at + 20});
    }
    return fields;
}

// How many of each kind of mutation a file gets.
struct Plan {
    bool all = false;
    size_t flips = 4;         // single-bit flips at random places
    size_t fieldSample = 3;   // header fields (PE) or words at random places, each set three ways
};

Plan planFromEnvironment() {
    Plan plan;
    const char* setting = std::getenv("REMEDY_MUTATIONS");
    if (!setting || !*setting) return plan;
    if (std::string(setting) == "all") {
        plan.all = true;
        plan.flips = 64;
        plan.fieldSample = SIZE_MAX;
    } else if (const long n = std::strtol(setting, nullptr, 10); n > 0) {
        plan.flips = size_t(n);
        plan.fieldSample = size_t(n);
    }
    return plan;
}

std::vector<Mutant> mutantsOf(const CorpusFile& file, const Plan& plan) {
    std::vector<Mutant> out;
    const Bytes& b = file.bytes;
    std::mt19937 random(uint32_t(std::hash<std::string>{}(file.name)));
    const auto pick = [&](size_t below) { return below ? size_t(random() % below) : 0; };

    // Truncations: nothing, the first bytes, half, all but the last byte (and, with all, every 1/16).
    std::vector<size_t> lengths = {0, 1, 64, b.size() / 2, b.size() ? b.size() - 1 : 0};
    if (plan.all)
        for (size_t k = 1; k < 16; ++k) lengths.push_back(b.size() * k / 16);
    for (size_t length : lengths)
        if (length < b.size()) out.push_back({"truncated to " + std::to_string(length), Bytes(b.begin(), b.begin() + length)});

    for (size_t k = 0; k < plan.flips && !b.empty(); ++k) {
        Mutant m{"", b};
        const size_t at = pick(b.size());
        const int bit = int(pick(8));
        m.bytes[at] ^= uint8_t(1u << bit);
        m.what = "bit " + std::to_string(bit) + " of byte " + std::to_string(at) + " flipped";
        out.push_back(std::move(m));
    }

    // Sizes and offsets: 0, all bits set, and just past the end of the file.
    std::vector<std::pair<std::string, size_t>> fields = peFields(b);
    if (fields.empty())
        for (size_t k = 0; k < 4 && b.size() >= 4; ++k) {
            const size_t at = k == 0 ? 0 : pick(std::min<size_t>(b.size() - 3, 512));
            fields.push_back({"word at " + std::to_string(at), at});
        }
    if (!plan.all) std::shuffle(fields.begin(), fields.end(), random);
    for (size_t k = 0; k < fields.size() && k < plan.fieldSample; ++k) {
        const auto& [name, at] = fields[k];
        for (uint32_t value : {0u, 0xFFFFFFFFu, uint32_t(b.size() + 1)}) {
            Mutant m{name + " set to " + std::to_string(value), b};
            put32(m.bytes, at, value);
            out.push_back(std::move(m));
        }
    }
    return out;
}

// A hang is what this catches, not slowness: a file that takes longer than this is stuck. The
// time is this thread's processor time, so a busy machine does not make a file look stuck. Each
// of a file's up to three engine requests (the scan, the repair of what it found, the repair by
// request) is stopped by the watchdog at the latest.
constexpr double kHangSeconds =
    3 * std::chrono::duration<double>(host::EngineRequest::kCpuBudget).count() + 2.0;

double threadSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

TEST(MutatedCorpus, EveryFileFinishesTheScanAndItsRepair) {
    const Plan plan = planFromEnvironment();
    host::Engines& engines = support::heuristicEngines();
    std::vector<std::pair<double, std::string>> times;
    size_t files = 0;
    const char* only = std::getenv("REMEDY_MUTATION_FILE");  // one corpus file, to look into it
    for (const CorpusFile& file : robustness::sampleCorpus()) {
        if (only && *only && file.name != only) continue;
        // Mutants keep the format the original has, so the engines parse them as that format.
        host::FileObject* original = robustness::corpusObject(file, file.bytes);
        const uint32_t format = original->format();
        original->Release();
        for (const Mutant& mutant : mutantsOf(file, plan)) {
            SCOPED_TRACE(file.name + ": " + mutant.what);
            host::FileObject* object = host::FileObject::fromBytes(mutant.bytes, "/scan/" + file.name);
            object->setFormat(format);
            const double start = threadSeconds();
            std::string stoppedIn;  // the unit the watchdog stopped, if it fired
            {
                host::ScanTarget target(object);
                const host::ScanFinding finding = engines.scan(target);
                if (finding.limits.timedOut) stoppedIn = " [watchdog in " + finding.limits.timedOutUnit + "]";
                if (finding.found()) engines.killFound(target);
            }
            const double scanSeconds = threadSeconds() - start;
            if (file.repair != RepairBy::None && file.repair != RepairBy::Found) {
                host::FileObject* again = host::FileObject::fromBytes(mutant.bytes, "/scan/" + file.name);
                again->setFormat(format);
                {
                    host::ScanTarget target(again);
                    engines.kill(target, robustness::killRequestOf(file));
                }
                EXPECT_EQ(again->refCount(), 1u) << "a reference to the file was kept";
                again->Release();
            }
            const double seconds = threadSeconds() - start;
            EXPECT_EQ(object->refCount(), 1u) << "a reference to the file was kept";
            object->Release();
            EXPECT_LT(seconds, kHangSeconds);
            char split[64];
            std::snprintf(split, sizeof split, " (scan %.3f s, kill %.3f s)", scanSeconds, seconds - scanSeconds);
            times.push_back({seconds, file.name + ": " + mutant.what + split + stoppedIn});
            ++files;
        }
    }
    if (!only || !*only) {
        EXPECT_GT(files, robustness::sampleCorpus().size());
    }
    std::sort(times.rbegin(), times.rend());
    std::printf("%zu mutated files; the slowest:\n", files);
    for (size_t k = 0; k < times.size() && k < 5; ++k) std::printf("  %.3f s  %s\n", times[k].first, times[k].second.c_str());
    if (!times.empty()) RecordProperty("slowest", times[0].second);
}

}  // namespace
