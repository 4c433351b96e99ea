// Microbenchmarks of the scan's hot paths: the engine walk (pre-library, post-library and
// unknown-virus engines with heuristics on) over one clean file of each kind, creating an
// emulator for a request that never runs code, the byte-pattern searches, CRC-32, and the
// OLE and media readers.
//
// The clean files come from the benchmark corpus (bench/make_corpus.sh): the first file of
// each kind under $REMEDY_BENCH_CORPUS (default build/corpus beside the sources). The module
// is $REMEDY_MODULE, else ../lib/libremedy.so beside this program.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "host/classify.h"
#include "host/emulator/emulator.h"
#include "host/module_host.h"
#include "host/qxbase/file_object.h"
#include "host/running_object_table.h"
#include "host/services.h"
#include "module/formats/media_objects.h"
#include "module/formats/ole_file.h"
#include "module/formats/string_dump.h"
#include "module/toolkit/mem_search.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The first file (by name) in corpus/folder whose name ends with suffix.
fs::path firstSample(const fs::path& corpus, const char* folder, const char* suffix) {
    std::vector<fs::path> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(corpus / folder, error)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() >= std::strlen(suffix) &&
            name.compare(name.size() - std::strlen(suffix), std::string::npos, suffix) == 0)
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found.empty() ? fs::path() : found.front();
}

std::vector<uint8_t> randomBytes(size_t size) {
    std::mt19937 random(17);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = uint8_t(random());
    return bytes;
}

// One worker's engines, as `remedy scan --heuristics` makes them.
struct Scanner {
    std::unique_ptr<host::Engines> engines;
    explicit Scanner(const std::string& modulePath) {
        std::string error;
        auto module = host::Module::load(modulePath, &error);
        if (!module) return;
        host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
        rot->engineConfig()->setHeuristics(true);
        engines = host::Engines::create(module, rot, &error);
        rot->Release();
    }
};

Scanner* scanner = nullptr;

// What a scan of one file costs once its bytes are in memory: file object, classification,
// the three engines.
void engineWalk(benchmark::State& state, std::vector<uint8_t> bytes) {
    for (auto _ : state) {
        host::FileObject* file = host::FileObject::fromBytes(bytes);
        host::classify(file);
        host::ScanTarget target(file);
        file->Release();
        benchmark::DoNotOptimize(scanner->engines->scan(target));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
}

void unusedEmulator(benchmark::State& state) {
    host::FileObject* file = host::FileObject::fromBytes(randomBytes(4096));
    for (auto _ : state) {
        auto emulator = host::Emulator::create(file);
        benchmark::DoNotOptimize(emulator.get());
    }
    file->Release();
}
BENCHMARK(unusedEmulator);

void patternMemstr(benchmark::State& state) {
    const std::vector<uint8_t> haystack = randomBytes(1 << 20);
    const char needle[] = "not-in-random";
    for (auto _ : state)
        benchmark::DoNotOptimize(memstr(haystack.data(), int32_t(haystack.size()), needle, int32_t(sizeof needle - 1)));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(haystack.size()));
}
BENCHMARK(patternMemstr);

void patternMemistr(benchmark::State& state) {
    const std::vector<uint8_t> haystack = randomBytes(1 << 20);
    const char needle[] = "Not-In-Random";
    for (auto _ : state)
        benchmark::DoNotOptimize(memistr(haystack.data(), int32_t(haystack.size()), needle, int32_t(sizeof needle - 1)));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(haystack.size()));
}
BENCHMARK(patternMemistr);

void crc32(benchmark::State& state) {
    const std::vector<uint8_t> data = randomBytes(1 << 20);
    for (auto _ : state) benchmark::DoNotOptimize(std_crc32(data.data(), data.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(crc32);

// Opens the compound file and reads every stream of its directory.
void oleReader(benchmark::State& state, std::vector<uint8_t> bytes) {
    host::FileObject* file = host::FileObject::fromBytes(std::move(bytes));
    std::vector<uint8_t> buffer;
    for (auto _ : state) {
        scanex::COleFile ole;
        if (!ole.OpenOleFile(static_cast<IQEArchive*>(file))) {
            state.SkipWithError("not a compound file");
            break;
        }
        for (uint32_t sid = 0; sid < ole.GetDirEntryNum(); ++sid) {
            const uint32_t length = std::min<uint32_t>(ole.GetStreamLen(sid), 1u << 20);
            buffer.resize(length);
            if (length) benchmark::DoNotOptimize(ole.ReadStream(buffer.data(), sid, 0, length));
        }
    }
    file->Release();
}

// Walks the header objects of an ASF file.
void asfReader(benchmark::State& state, std::vector<uint8_t> bytes) {
    host::FileObject* file = host::FileObject::fromBytes(std::move(bytes));
    for (auto _ : state) {
        ASF_HEADER_OBJ header{};
        if (!ReadHeaderObj(static_cast<IQEArchive*>(file), &header)) {
            state.SkipWithError("not an ASF file");
            break;
        }
        int offset = sizeof header;
        for (uint32_t i = 0; i < header.headerObjectCount && i < 1024; ++i) {
            ASF_OBJ_GUID_AND_SIZE object{};
            if (!ReadObjGuidAndSize(static_cast<IQEArchive*>(file), offset, &object) || object.objectSize < sizeof object ||
                object.objectSize > 0x7FFFFFFF - uint64_t(offset))
                break;
            offset += int(object.objectSize);
        }
        benchmark::DoNotOptimize(offset);
    }
    file->Release();
}

// Walks the top-level atoms of a QuickTime file.
void movReader(benchmark::State& state, std::vector<uint8_t> bytes) {
    const int size = int(std::min<size_t>(bytes.size(), 0x7FFFFFFF));
    host::FileObject* file = host::FileObject::fromBytes(std::move(bytes));
    for (auto _ : state) {
        int offset = 0;
        for (int i = 0; i < 1024 && offset + 8 <= size; ++i) {
            QUICKTIME_ATOM atom{};
            if (!QuickTimeReadAtom(static_cast<IQEArchive*>(file), offset, &atom)) break;
            const uint32_t length = atom.size;  // host order
            if (length < 8 || length > uint32_t(size - offset)) break;
            offset += int(length);
        }
        benchmark::DoNotOptimize(offset);
    }
    file->Release();
}

}  // namespace

int main(int argc, char** argv) {
    const char* corpusVariable = std::getenv("REMEDY_BENCH_CORPUS");
    const fs::path self = fs::canonical("/proc/self/exe");
    const fs::path corpus = corpusVariable ? fs::path(corpusVariable) : self.parent_path() / "../../corpus";
    const char* moduleVariable = std::getenv("REMEDY_MODULE");
    const std::string modulePath = moduleVariable ? moduleVariable : (self.parent_path() / "../lib/libremedy.so").string();
    Scanner walk(modulePath);
    scanner = &walk;

    struct Kind {
        const char* name;
        const char* folder;
        const char* suffix;
    };
    const Kind kinds[] = {
        {"pe-exe", "pe", "-O2.exe"}, {"pe-dll", "pe", ".dll"},      {"pdf", "pdf", ".pdf"},
        {"jpeg", "image", ".jpg"},   {"png", "image", ".png"},      {"tiff", "image", ".tif"},
        {"font", "font", ".ttf"},    {"mp3", "media", ".mp3"},      {"asf", "media", ".asf"},
        {"mov", "media", ".mov"},    {"swf", "media", ".swf"},      {"ole", "ole", ".msi"},
        {"torrent", "torrent", ".torrent"}, {"script", "script", ".py"},
    };
    for (const Kind& kind : kinds) {
        const fs::path sample = firstSample(corpus, kind.folder, kind.suffix);
        if (sample.empty()) {
            std::fprintf(stderr, "no %s sample under %s (run bench/make_corpus.sh)\n", kind.name, corpus.c_str());
            continue;
        }
        std::vector<uint8_t> bytes = readFile(sample);
        if (walk.engines)
            benchmark::RegisterBenchmark((std::string("engineWalk/") + kind.name).c_str(), engineWalk, bytes);
        if (std::string(kind.name) == "ole") benchmark::RegisterBenchmark("oleReader", oleReader, bytes);
        if (std::string(kind.name) == "asf") benchmark::RegisterBenchmark("asfReader", asfReader, bytes);
        if (std::string(kind.name) == "mov") benchmark::RegisterBenchmark("movReader", movReader, bytes);
    }
    if (!walk.engines) std::fprintf(stderr, "cannot load the module %s: no engine walks\n", modulePath.c_str());

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
