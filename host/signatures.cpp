#include "host/signatures.h"

#include <yara.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>

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

struct FileView {
    size_t fileSize = 0;
    YR_MEMORY_BLOCK blocks[2]{};
    int count = 0;
    int next = 0;
};

const uint8_t* blockData(YR_MEMORY_BLOCK* block) { return static_cast<const uint8_t*>(block->context); }

YR_MEMORY_BLOCK* nextBlock(YR_MEMORY_BLOCK_ITERATOR* iterator) {
    auto* view = static_cast<FileView*>(iterator->context);
    iterator->last_error = ERROR_SUCCESS;
    return view->next < view->count ? &view->blocks[view->next++] : nullptr;
}

YR_MEMORY_BLOCK* firstBlock(YR_MEMORY_BLOCK_ITERATOR* iterator) {
    static_cast<FileView*>(iterator->context)->next = 0;
    return nextBlock(iterator);
}

uint64_t viewFileSize(YR_MEMORY_BLOCK_ITERATOR* iterator) { return static_cast<FileView*>(iterator->context)->fileSize; }

void makeView(std::span<const uint8_t> bytes, FileView* view) {
    static const uint8_t kNothing = 0;  // an empty file still gets a valid address
    view->fileSize = bytes.size();
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

    YR_COMPILER* compiler = nullptr;
    if (yr_compiler_create(&compiler) != ERROR_SUCCESS) {
        *error = "out of memory compiling the rules";
        return nullptr;
    }
    std::unique_ptr<YR_COMPILER, void (*)(YR_COMPILER*)> ownCompiler(compiler, yr_compiler_destroy);
    CompileErrors errors;
    yr_compiler_set_callback(compiler, onCompileMessage, &errors);
    if (yr_compiler_define_integer_variable(compiler, kFormatVariable, 0) != ERROR_SUCCESS) {
        *error = "out of memory compiling the rules";
        return nullptr;
    }
    for (const std::filesystem::path& file : files) {
        FILE* in = std::fopen(file.c_str(), "rb");
        if (!in) {
            *error = "cannot read the rules " + file.string();
            return nullptr;
        }
        // Each file is its own namespace, named by its path: rules of different files may share
        // a name, and a rule's namespace tells which file it came from.
        const int failures = yr_compiler_add_file(compiler, in, file.c_str(), file.c_str());
        std::fclose(in);
        // The compiler cannot take more files after an error; report what it found so far.
        if (failures > 0) {
            *error = errors.text.empty() ? file.string() + ": the rules do not compile" : errors.text;
            return nullptr;
        }
    }
    YR_RULES* rules = nullptr;
    if (yr_compiler_get_rules(compiler, &rules) != ERROR_SUCCESS) {
        *error = "out of memory compiling the rules";
        return nullptr;
    }
    std::shared_ptr<SignatureLibrary> library(new SignatureLibrary());
    library->rules_ = rules;
    library->fileCount_ = files.size();

    const YR_RULE* rule;
    yr_rules_foreach(rules, rule) {
        if (rule->flags & RULE_FLAGS_PRIVATE) continue;
        SignatureHit hit;
        std::string why;
        if (!readVerdict(rule, &hit, &why)) {
            const std::string file = rule->ns && rule->ns->name ? rule->ns->name : "(rules)";
            errors.add(file + ":" + std::to_string(declarationLine(file, rule->identifier)) + ": rule " +
                       rule->identifier + ": " + why);
        }
        ++library->ruleCount_;
        if (!hit.format)
            library->everyFormat_ = true;
        else if (std::find(library->formats_.begin(), library->formats_.end(), *hit.format) == library->formats_.end())
            library->formats_.push_back(*hit.format);
    }
    if (!errors.text.empty()) {
        *error = errors.text;
        return nullptr;
    }
    return library;
}

bool SignatureLibrary::scansFormat(uint32_t format) const {
    return everyFormat_ || std::find(formats_.begin(), formats_.end(), format) != formats_.end();
}

SignatureLibrary::~SignatureLibrary() {
    if (rules_) yr_rules_destroy(rules_);
}

std::unique_ptr<SignatureScanner> SignatureScanner::create(std::shared_ptr<const SignatureLibrary> library,
                                                           std::string* error) {
    if (!library) {
        if (error) *error = "no signature library";
        return nullptr;
    }
    std::unique_ptr<SignatureScanner> scanner(new SignatureScanner());
    if (yr_scanner_create(library->rules_, &scanner->scanner_) != ERROR_SUCCESS) {
        if (error) *error = "cannot make a signature scanner";
        return nullptr;
    }
    scanner->library_ = std::move(library);
    // Each string stops at its first match: the verdicts need no match lists.
    yr_scanner_set_flags(scanner->scanner_, SCAN_FLAGS_FAST_MODE);
    return scanner;
}

SignatureScanner::~SignatureScanner() {
    if (scanner_) yr_scanner_destroy(scanner_);
}

std::optional<SignatureHit> SignatureScanner::scan(std::span<const uint8_t> bytes, uint32_t format, int* failed) {
    int ignored = 0;
    if (!failed) failed = &ignored;
    *failed = 0;
    if (!library_->scansFormat(format)) return std::nullopt;
    ScanState state;
    state.format = format;
    yr_scanner_set_callback(scanner_, onScanMessage, &state);
    FileView view;
    makeView(bytes, &view);
    YR_MEMORY_BLOCK_ITERATOR iterator{};
    iterator.context = &view;
    iterator.first = firstBlock;
    iterator.next = nextBlock;
    iterator.file_size = viewFileSize;
    iterator.last_error = ERROR_SUCCESS;
    int result = yr_scanner_define_integer_variable(scanner_, kFormatVariable, int64_t(format));
    if (result == ERROR_SUCCESS) result = yr_scanner_scan_mem_blocks(scanner_, &iterator);
    if (result != ERROR_SUCCESS && result != ERROR_CALLBACK_ERROR) {
        *failed = result;
        return std::nullopt;
    }
    if (state.badVerdict) {
        *failed = ERROR_CALLBACK_ERROR;
        return std::nullopt;
    }
    return std::move(state.hit);
}

}  // namespace host
