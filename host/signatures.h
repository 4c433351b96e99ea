// The host's signature library: YARA rules that name a virus by its identifier and say how the
// module's kill engine removes it. The host runs them over each file between the pre-library
// and the post-library engine (host::Engines::scan).
//
// A rule states its verdict in its metadata:
//   virus_id  integer, required: the identifier of the virus (1 to 0x7FFFFFFF); for a kill by
//             identifier it is looked up in the kill table of the file's format.
//   method    integer, optional (default 0): the kill request's method word - 0 kill by
//             virus_id, 1 kill by the method number in `param`, 0x80000000 + N special method N
//             with `param` as its parameter.
//   param     integer, optional (default 0): 0 to 0xFFFFFFFF.
//   format    integer, optional: the host's format code of the files the rule is for (3 PE,
//             2 MZ, 111 COM, 0 ordinary file, ...), as the kill table of its identifier serves
//             them. Such a rule names no file of another format, and when every rule has one,
//             files of the other formats are not scanned at all: the library's byte scan costs
//             far more than the module's engines spend on a file they have no units for.
//   name      string, optional: what a host shows for the finding when the module's unit listing
//             does not name virus_id (a virus repaired by a method number).
// Conditions may also test the external integer `file_format`, the same code. Private rules
// only serve other rules and carry no verdict. The files are compiled one by one, each its own
// namespace; a file that searches no string (and does not mention `entrypoint`) is not walked
// byte by byte: its conditions read what they need.
// A file longer than 2 MiB is seen as its first and its last MiB (`filesize` stays the real
// size): strings are not searched between them and reads there are undefined, so a condition
// on them is false.
//
//   auto library = host::SignatureLibrary::compile({"rules", "mine.yar"}, &error);
//   auto scanner = host::SignatureScanner::create(library, &error);   // one per thread
//   int failed = 0;
//   std::optional<host::SignatureHit> hit = scanner->scan(bytes, format, &failed);
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host/module_host.h"

struct YR_RULES;
struct YR_SCAN_CONTEXT;  // what the library calls a scanner

namespace host {

// What a matching rule says.
struct SignatureHit {
    std::string rule;    // the rule's identifier
    std::string name;    // its "name" metadata: what a host shows; empty when it has none
    uint32_t virusId = 0;
    KillRequest kill;    // how the kill engine removes it
    std::optional<uint32_t> format;  // the format the rule is for; none: every format
};

// Compiled rules, read-only once made: any number of scanners on any threads share them.
class SignatureLibrary {
public:
    // Compiles every *.yar and *.yara file of each directory (not recursively, in name order)
    // and each named file, in the order given; a match reports the first matching rule in that
    // order. Null with *error set when a source cannot be read, a rule does not compile
    // ("FILE:LINE: message", one line for each error) or a rule's metadata is not a valid
    // verdict ("FILE:LINE: rule NAME: ...").
    static std::shared_ptr<const SignatureLibrary> compile(const std::vector<std::filesystem::path>& sources,
                                                           std::string* error);
    // Compiles one rules file, whose rules must all be valid verdicts, and keeps the result in
    // `.compiled/` beside it, named by the source's hash: compile() loads it instead of
    // compiling that source again (when the file belongs to the source's owner and no one else
    // may write it). Done for the shipped rules when remedy is built.
    static bool precompile(const std::filesystem::path& source, std::string* error);
    ~SignatureLibrary();
    SignatureLibrary(const SignatureLibrary&) = delete;
    SignatureLibrary& operator=(const SignatureLibrary&) = delete;

    size_t ruleCount() const { return ruleCount_; }
    // Whether a file of this format is worth scanning: some rule is for it or for every format.
    bool scansFormat(uint32_t format) const;
    size_t fileCount() const { return fileCount_; }

private:
    friend class SignatureScanner;
    SignatureLibrary() = default;

    // One rules file, compiled on its own.
    struct RuleFile {
        YR_RULES* rules = nullptr;
        bool everyFormat = false;       // some rule names no format
        std::vector<uint32_t> formats;  // the formats the other rules are for
        bool walksBytes = true;         // some rule searches a string (or reads `entrypoint`)
        bool serves(uint32_t format) const;
    };
    std::vector<RuleFile> files_;  // in compile order
    struct CompiledFile;
    static CompiledFile compileFile(const std::filesystem::path& path);
    size_t ruleCount_ = 0;
    size_t fileCount_ = 0;
};

// One thread's scanner over a shared library.
class SignatureScanner {
public:
    // Null with *error set when the scanner cannot be made (out of memory).
    static std::unique_ptr<SignatureScanner> create(std::shared_ptr<const SignatureLibrary> library,
                                                    std::string* error);
    ~SignatureScanner();
    SignatureScanner(const SignatureScanner&) = delete;
    SignatureScanner& operator=(const SignatureScanner&) = delete;

    // The first rule (in compile order) for the given format that matches the bytes, or
    // nothing. When the scan itself fails, *failed receives the library's error code (never
    // 0) and nothing is returned.
    std::optional<SignatureHit> scan(std::span<const uint8_t> bytes, uint32_t format, int* failed);

private:
    SignatureScanner() = default;

    std::shared_ptr<const SignatureLibrary> library_;
    std::vector<YR_SCAN_CONTEXT*> scanners_;  // one for each rules file of the library
};

}  // namespace host
