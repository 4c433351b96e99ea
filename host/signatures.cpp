#include "host/signatures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yara.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

#include "host/sha256.h"

namespace host {

namespace {

constexpr char kFormatVariable[] = "file_format";

// The library is set up once for the process and never torn down: compiled rules may be used
// until the process ends.
bool initialiseYara() {
    static std::once_flag once;
    static int result = ERROR_SUCCESS;
    std::call_once(once, [] { result = yr_initialize(); });
    return result == ERROR_SUCCESS;
}

bool isRuleFile(const std::filesystem::path& path) {
    const std::string ext = path.extension().string();
    return ext == ".yar" || ext == ".yara";
}

// The rule files of the sources, in order; false with *error for a source that is neither.
bool expandSources(const std::vector<std::filesystem::path>& sources, std::vector<std::filesystem::path>* files,
                   std::string* error) {
    for (const std::filesystem::path& source : sources) {
        std::error_code ec;
        const std::filesystem::file_status status = std::filesystem::status(source, ec);
        if (std::filesystem::is_directory(status)) {
            std::vector<std::filesystem::path> found;
            std::filesystem::directory_iterator it(source, ec);
            for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
                std::error_code kindError;  // an entry that cannot be looked at is not a rule file
                if (isRuleFile(it->path()) && it->is_regular_file(kindError)) found.push_back(it->path());
            }
            if (ec) {
                *error = "cannot read the rules directory " + source.string() + ": " + ec.message();
                return false;
            }
            std::sort(found.begin(), found.end());
            files->insert(files->end(), found.begin(), found.end());
        } else if (std::filesystem::is_regular_file(status)) {
            files->push_back(source);
        } else {
            *error = "cannot read the rules " + source.string() + ": " +
                     (ec ? ec.message() : std::string("not a file or directory"));
            return false;
        }
    }
    return true;
}

struct CompileErrors {
    std::string text;
    void add(const std::string& line) {
        if (!text.empty()) text += "\n";
        text += line;
    }
};

void onCompileMessage(int level, const char* fileName, int line, const YR_RULE*, const char* message, void* user) {
    if (level != YARA_ERROR_LEVEL_ERROR) return;  // warnings (slow strings and the like) do not stop a scan
    static_cast<CompileErrors*>(user)->add(std::string(fileName ? fileName : "(rules)") + ":" + std::to_string(line) +
                                           ": " + (message ? message : "error"));
}

// The line where `rule NAME` is declared in a rules file, or 0 when it cannot be told.
int declarationLine(const std::string& fileName, const std::string& ruleName) {
    std::ifstream in(fileName);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        for (size_t at = line.find(ruleName); at != std::string::npos; at = line.find(ruleName, at + 1)) {
            const size_t end = at + ruleName.size();
            const bool wordEnds = end == line.size() || !(std::isalnum((unsigned char)line[end]) || line[end] == '_');
            size_t before = at;
            while (before > 0 && std::isspace((unsigned char)line[before - 1])) --before;
            const bool afterKeyword = before >= 4 && line.compare(before - 4, 4, "rule") == 0 &&
                                      (before == 4 || std::isspace((unsigned char)line[before - 5]));
            if (wordEnds && afterKeyword && before < at) return number;
        }
    }
    return 0;
}

bool isInteger(const YR_META* meta) { return meta->type == META_TYPE_INTEGER; }

// Reads a rule's verdict from its metadata; false with *why when it is not a valid one.
bool readVerdict(const YR_RULE* rule, SignatureHit* hit, std::string* why) {
    bool haveId = false, haveFormat = false;
    int64_t id = 0, method = 0, param = 0, format = 0;
    const YR_META* meta;
    yr_rule_metas_foreach(rule, meta) {
        const std::string name = meta->identifier;
        if (name == "name") {  // the display name, for a virus no unit listing names
            if (meta->type != META_TYPE_STRING) {
                *why = "name must be a string";
                return false;
            }
            hit->name = meta->string;
            continue;
        }
        int64_t* slot = name == "virus_id" ? &id
                        : name == "method" ? &method
                        : name == "param"  ? &param
                        : name == "format" ? &format
                                           : nullptr;
        if (!slot) continue;  // descriptions, authors and the like
        if (!isInteger(meta)) {
            *why = name + " must be an integer";
            return false;
        }
        *slot = meta->integer;
        haveId = haveId || slot == &id;
        haveFormat = haveFormat || slot == &format;
    }
    if (!haveId) {
        *why = "no virus_id";
        return false;
    }
    // Identifiers never carry bit 31: engines report failures with it.
    if (id < 1 || id > 0x7FFFFFFF) {
        *why = "virus_id must lie from 1 to 0x7FFFFFFF";
        return false;
    }
    const bool special = method >= 0x80000000LL && method <= 0xFFFFFFFFLL;
    if (method != 0 && method != 1 && !special) {
        *why = "method must be 0 (by virus_id), 1 (by method number) or 0x80000000 + a special method";
        return false;
    }
    if (param < 0 || param > 0xFFFFFFFFLL) {
        *why = "param must lie from 0 to 0xFFFFFFFF";
        return false;
    }
    if (haveFormat && (format < 0 || format > 0xFFFFFFFFLL)) {
        *why = "format must be a format code from 0 to 0xFFFFFFFF";
        return false;
    }
    hit->rule = rule->identifier;
    hit->format = haveFormat ? std::optional<uint32_t>(uint32_t(format)) : std::nullopt;
    hit->virusId = uint32_t(id);
    hit->kill = KillRequest{int32_t(uint32_t(method)), uint32_t(id), uint32_t(param), 0};
    return true;
}

// What the library sees of a file: all of it up to twice the window, else its first and its
// last window. The byte scan is the library's whole cost (about ten times what the engines
// spend on a clean program), and what the rules read - headers, entry code, appended bodies,
// moved heads - lies at the start or the end of an infected file.
constexpr size_t kWindow = 1u << 20;

// The library walks the blocks once from the first, matching strings, then reads them again
// (from the first each time) to evaluate conditions. With `skipWalk`, the walk is handed one
// empty block, so a file whose rules search no string costs the library only the reads its
// conditions make.
struct FileView {
    size_t fileSize = 0;
    YR_MEMORY_BLOCK blocks[2]{};
    int count = 0;
    int next = 0;
    bool skipWalk = false;
    bool walked = false;  // the walk has ended: every block is handed out from now on
    YR_MEMORY_BLOCK empty{};
};

const uint8_t* blockData(YR_MEMORY_BLOCK* block) { return static_cast<const uint8_t*>(block->context); }

YR_MEMORY_BLOCK* nextBlock(YR_MEMORY_BLOCK_ITERATOR* iterator) {
    auto* view = static_cast<FileView*>(iterator->context);
    iterator->last_error = ERROR_SUCCESS;
    if (!view->walked) {
        view->walked = true;  // the walk takes the first block, then asks for the next
        if (view->skipWalk) return nullptr;
    }
    return view->next < view->count ? &view->blocks[view->next++] : nullptr;
}

YR_MEMORY_BLOCK* firstBlock(YR_MEMORY_BLOCK_ITERATOR* iterator) {
    auto* view = static_cast<FileView*>(iterator->context);
    view->next = 0;
    if (!view->walked && view->skipWalk) return &view->empty;
    return nextBlock(iterator);
}

uint64_t viewFileSize(YR_MEMORY_BLOCK_ITERATOR* iterator) { return static_cast<FileView*>(iterator->context)->fileSize; }

void makeView(std::span<const uint8_t> bytes, FileView* view) {
    static const uint8_t kNothing = 0;  // an empty file still gets a valid address
    view->fileSize = bytes.size();
    view->empty.context = const_cast<uint8_t*>(&kNothing);
    view->empty.fetch_data = blockData;
    const auto block = [&](size_t offset, size_t size) {
        YR_MEMORY_BLOCK& b = view->blocks[view->count++];
        b.base = offset;
        b.size = size;
        b.context = const_cast<uint8_t*>(bytes.empty() ? &kNothing : bytes.data() + offset);
        b.fetch_data = blockData;
    };
    if (bytes.size() <= 2 * kWindow) {
        block(0, bytes.size());
    } else {
        block(0, kWindow);
        block(bytes.size() - kWindow, kWindow);
    }
}

struct ScanState {
    uint32_t format = 0;
    std::optional<SignatureHit> hit;
    bool badVerdict = false;
};

int onScanMessage(YR_SCAN_CONTEXT*, int message, void* data, void* user) {
    if (message != CALLBACK_MSG_RULE_MATCHING) return CALLBACK_CONTINUE;
    auto* state = static_cast<ScanState*>(user);
    SignatureHit hit;
    std::string why;
    if (!readVerdict(static_cast<const YR_RULE*>(data), &hit, &why)) {
        state->badVerdict = true;  // checked when compiling; cannot happen with compiled rules
        return CALLBACK_ABORT;
    }
    if (hit.format && *hit.format != state->format) return CALLBACK_CONTINUE;  // a rule for other files
    state->hit = std::move(hit);
    return CALLBACK_ABORT;  // the first matching rule decides
}

}  // namespace

namespace {

// Whether a rules file needs the library to walk every byte: a string to search, or the old
// `entrypoint` variable, which the library works out while it walks (a mention anywhere in the
// text counts, a comment included).
bool needsByteWalk(YR_RULES* rules, const std::string& text) {
    const YR_RULE* rule;
    yr_rules_foreach(rules, rule) {
        const YR_STRING* string;
        yr_rule_strings_foreach(rule, string) return true;
    }
    return text.find("entrypoint") != std::string::npos;
}

// Where a rules file's rules, compiled when remedy was built, are kept: named by the hash of
// the source they came from, so an edited source is compiled again.
std::filesystem::path precompiledPath(const std::filesystem::path& source, const std::string& text) {
    const std::string hash = Sha256::hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return source.parent_path() / ".compiled" / (hash + ".yarc");
}

size_t readFromFile(void* to, size_t size, size_t count, void* file) {
    return std::fread(to, size, count, static_cast<FILE*>(file));
}

// The rules compiled from exactly `text` when they are there, belong to the source's owner and
// no one else may write them; null otherwise (the source is compiled). The file checked is the
// file read: opened once, without following a link.
YR_RULES* loadPrecompiled(const std::filesystem::path& source, const std::string& text) {
    struct stat sourceInfo {}, compiledInfo {};
    if (::stat(source.c_str(), &sourceInfo) != 0) return nullptr;
    const int fd = ::open(precompiledPath(source, text).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE* in = ::fdopen(fd, "rb");
    if (!in) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> own(in, std::fclose);
    if (::fstat(fd, &compiledInfo) != 0 || !S_ISREG(compiledInfo.st_mode) || compiledInfo.st_uid != sourceInfo.st_uid ||
        (compiledInfo.st_mode & 022))
        return nullptr;
    YR_STREAM stream{};
    stream.user_data = in;
    stream.read = readFromFile;
    YR_RULES* rules = nullptr;
    // The library refuses a file of another version of itself; such a file is compiled again.
    return yr_rules_load_stream(&stream, &rules) == ERROR_SUCCESS ? rules : nullptr;
}

bool readText(const std::filesystem::path& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    *text = buffer.str();
    return !in.bad() && in.is_open();
}

// Compiles the text of one rules file as its own namespace, named by the file's path: the text
// that was read (and hashed) is the text compiled. False with the compiler's messages in
// *errors (or none, when it ran out of memory).
bool compileSource(const std::filesystem::path& path, std::string& text, YR_RULES** rules, CompileErrors* errors) {
    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS) return false;
    std::unique_ptr<YR_COMPILER, void (*)(YR_COMPILER*)> ownCompiler(compiler, yr_compiler_destroy);
    yr_compiler_set_callback(compiler, onCompileMessage, errors);
    if (yr_compiler_define_integer_variable(compiler, kFormatVariable, 0) != ERROR_SUCCESS) return false;
    FILE* in = text.empty() ? std::fopen("/dev/null", "rb") : ::fmemopen(text.data(), text.size(), "rb");
    if (!in) return false;
    const int failures = yr_compiler_add_file(compiler, in, path.c_str(), path.c_str());
    std::fclose(in);
    return failures == 0 && yr_compiler_get_rules(compiler, rules) == ERROR_SUCCESS;
}

}  // namespace

// One rules file compiled: its rules (null when it does not compile), the compiler's errors,
// and the rules whose metadata is not a valid verdict.
struct SignatureLibrary::CompiledFile {
    RuleFile file;
    bool compiled = false;
    std::string errors;
    size_t ruleCount = 0;
    std::string text;  // the source, as read and compiled
};

SignatureLibrary::CompiledFile SignatureLibrary::compileFile(const std::filesystem::path& path) {
    CompiledFile out;
    std::string text;
    if (!readText(path, &text)) {
        out.errors = "cannot read the rules " + path.string();
        return out;
    }
    out.file.rules = loadPrecompiled(path, text);
    CompileErrors errors;
    if (!out.file.rules && !compileSource(path, text, &out.file.rules, &errors)) {
        out.errors = errors.text.empty() ? path.string() + ": the rules do not compile" : errors.text;
        return out;
    }
    out.compiled = true;
    const YR_RULE* rule;
    yr_rules_foreach(out.file.rules, rule) {
        if (rule->flags & RULE_FLAGS_PRIVATE) continue;
        SignatureHit hit;
        std::string why;
        if (!readVerdict(rule, &hit, &why)) {
            errors.add(path.string() + ":" + std::to_string(declarationLine(path.string(), rule->identifier)) +
                       ": rule " + rule->identifier + ": " + why);
        }
        ++out.ruleCount;
        std::vector<uint32_t>& formats = out.file.formats;
        if (!hit.format)
            out.file.everyFormat = true;
        else if (std::find(formats.begin(), formats.end(), *hit.format) == formats.end())
            formats.push_back(*hit.format);
    }
    out.file.walksBytes = needsByteWalk(out.file.rules, text);
    out.errors = errors.text;
    out.text = std::move(text);
    return out;
}

std::shared_ptr<const SignatureLibrary> SignatureLibrary::compile(const std::vector<std::filesystem::path>& sources,
                                                                  std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    if (!initialiseYara()) {
        *error = "cannot initialise the signature library";
        return nullptr;
    }
    std::vector<std::filesystem::path> files;
    if (!expandSources(sources, &files, error)) return nullptr;

    // Each file is compiled on its own, as its own namespace named by its path: rules of
    // different files may share a name, a rule's namespace tells which file it came from, and
    // a file whose rules search no string is never walked byte by byte (see RuleFile). The
    // files are compiled at once, each on a thread of its own (compiling is mostly the library
    // setting up its tables, and start-up waits for it).
    std::vector<std::future<CompiledFile>> pending;
    for (const std::filesystem::path& file : files)
        pending.push_back(std::async(files.size() > 1 ? std::launch::async : std::launch::deferred, compileFile, file));
    std::shared_ptr<SignatureLibrary> library(new SignatureLibrary());
    library->fileCount_ = files.size();
    CompileErrors errors;
    bool failed = false;
    for (std::future<CompiledFile>& next : pending) {
        CompiledFile compiled = next.get();
        if (compiled.compiled) library->files_.push_back(compiled.file);  // owned from here: freed with the library
        if (failed) continue;  // a file after one that does not compile says nothing
        if (!compiled.errors.empty()) errors.add(compiled.errors);
        failed = !compiled.compiled;
        library->ruleCount_ += compiled.ruleCount;
    }
    if (!errors.text.empty()) {
        *error = errors.text;
        return nullptr;
    }
    return library;
}

bool SignatureLibrary::precompile(const std::filesystem::path& source, std::string* error) {
    if (!initialiseYara()) {
        *error = "cannot initialise the signature library";
        return false;
    }
    CompiledFile compiled = compileFile(source);
    std::unique_ptr<YR_RULES, int (*)(YR_RULES*)> rules(compiled.file.rules, yr_rules_destroy);
    if (!compiled.compiled || !compiled.errors.empty()) {
        *error = compiled.errors;
        return false;
    }
    const std::filesystem::path target = precompiledPath(source, compiled.text);
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    const std::filesystem::path partial = target.string() + ".partial";
    if (ec || yr_rules_save(rules.get(), partial.c_str()) != ERROR_SUCCESS ||
        (std::filesystem::rename(partial, target, ec), ec)) {
        *error = "cannot write " + target.string();
        return false;
    }
    return true;
}

bool SignatureLibrary::RuleFile::serves(uint32_t format) const {
    return everyFormat || std::find(formats.begin(), formats.end(), format) != formats.end();
}

bool SignatureLibrary::scansFormat(uint32_t format) const {
    return std::any_of(files_.begin(), files_.end(), [&](const RuleFile& file) { return file.serves(format); });
}

SignatureLibrary::~SignatureLibrary() {
    for (RuleFile& file : files_) yr_rules_destroy(file.rules);
}

std::unique_ptr<SignatureScanner> SignatureScanner::create(std::shared_ptr<const SignatureLibrary> library,
                                                           std::string* error) {
    if (!library) {
        if (error) *error = "no signature library";
        return nullptr;
    }
    std::unique_ptr<SignatureScanner> scanner(new SignatureScanner());
    for (const SignatureLibrary::RuleFile& file : library->files_) {
        YR_SCAN_CONTEXT* context = nullptr;
        if (yr_scanner_create(file.rules, &context) != ERROR_SUCCESS) {
            if (error) *error = "cannot make a signature scanner";
            return nullptr;
        }
        scanner->scanners_.push_back(context);
        // Each string stops at its first match: the verdicts need no match lists.
        yr_scanner_set_flags(context, SCAN_FLAGS_FAST_MODE);
    }
    scanner->library_ = std::move(library);
    return scanner;
}

SignatureScanner::~SignatureScanner() {
    for (YR_SCAN_CONTEXT* context : scanners_) yr_scanner_destroy(context);
}

std::optional<SignatureHit> SignatureScanner::scan(std::span<const uint8_t> bytes, uint32_t format, int* failed) {
    int ignored = 0;
    if (!failed) failed = &ignored;
    *failed = 0;
    // The files in compile order: the first file with a matching rule decides, as one rule set would.
    for (size_t k = 0; k < library_->files_.size(); ++k) {
        const SignatureLibrary::RuleFile& file = library_->files_[k];
        if (!file.serves(format)) continue;
        YR_SCAN_CONTEXT* context = scanners_[k];
        ScanState state;
        state.format = format;
        yr_scanner_set_callback(context, onScanMessage, &state);
        FileView view;
        makeView(bytes, &view);
        view.skipWalk = !file.walksBytes;
        YR_MEMORY_BLOCK_ITERATOR iterator{};
        iterator.context = &view;
        iterator.first = firstBlock;
        iterator.next = nextBlock;
        iterator.file_size = viewFileSize;
        iterator.last_error = ERROR_SUCCESS;
        int result = yr_scanner_define_integer_variable(context, kFormatVariable, int64_t(format));
        if (result == ERROR_SUCCESS) result = yr_scanner_scan_mem_blocks(context, &iterator);
        if (result != ERROR_SUCCESS && result != ERROR_CALLBACK_ERROR) {
            *failed = result;
            return std::nullopt;
        }
        if (state.badVerdict) {
            *failed = ERROR_CALLBACK_ERROR;
            return std::nullopt;
        }
        if (state.hit) return std::move(state.hit);
    }
    return std::nullopt;
}

}  // namespace host
