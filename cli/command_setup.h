// What the command and the daemon both need before they scan: where the module, the shipped
// rules and the quarantine are found, the rules compiled, and the numbers
// and sizes their options take.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace host {
class Module;
class SignatureLibrary;
}  // namespace host

namespace cli {

// $REMEDY_MODULE, else ../lib/libremedy.so beside the running executable.
std::string defaultModulePath();
// The shipped rules; empty when $REMEDY_RULES_DIR is unset and nothing lies beside the command.
std::filesystem::path defaultRulesDir();
// $XDG_STATE_HOME/remedy/quarantine, else ~/.local/state/remedy/quarantine; empty without HOME.
std::filesystem::path defaultQuarantine();

// A whole unsigned 32-bit number: decimal (a leading zero changes nothing), or hex after 0x.
bool parseNumber(const char* text, uint32_t* value);
// A size in bytes with an optional K, M or G (powers of 1024); never 0.
bool parseSize(const std::string& text, uint64_t* value);

// The shipped rules (when not empty) and then the user's, compiled once for every worker.
// Null with *error when there is nothing to compile (and *error empty) or a rule does not compile.
std::shared_ptr<const host::SignatureLibrary> compileRules(const std::filesystem::path& shippedRules,
                                                          const std::vector<std::filesystem::path>& userRules,
                                                          std::string* error);

}  // namespace cli
