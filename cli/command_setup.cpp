#include "cli/command_setup.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli/escaped_text.h"
#include "host/module_host.h"
#include "host/signatures.h"

namespace cli {

namespace {

// The directory of the running executable; empty when /proc does not say.
std::filesystem::path executableDir() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : self.parent_path();
}

}  // namespace

std::string defaultModulePath() {
    if (const char* env = std::getenv("REMEDY_MODULE"); env && *env) return env;
    const std::filesystem::path dir = executableDir();
    if (dir.empty()) return "libremedy.so";
    return (dir / ".." / "lib" / "libremedy.so").lexically_normal().string();
}

std::filesystem::path defaultRulesDir() {
    if (const char* env = std::getenv("REMEDY_RULES_DIR"); env && *env) return env;
    const std::filesystem::path self = executableDir();
    if (self.empty()) return {};
    std::error_code ec;
    std::filesystem::path dir = (self / ".." / "share" / "remedy" / "rules").lexically_normal();
    return std::filesystem::is_directory(dir, ec) ? dir : std::filesystem::path();
}

std::filesystem::path defaultQuarantine() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return std::filesystem::path(state) / "remedy" / "quarantine";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "state" / "remedy" / "quarantine";
    return {};
}

bool parseNumber(const char* text, uint32_t* value) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    // strtoull alone would take blanks, signs, a second 0x and octal.
    if (!*digits) return false;
    for (const char* c = digits; *c; ++c)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(*c)) : std::isdigit(static_cast<unsigned char>(*c))))
            return false;
    errno = 0;
    const unsigned long long n = std::strtoull(digits, nullptr, hex ? 16 : 10);
    if (errno || n > 0xFFFFFFFFull) return false;
    *value = uint32_t(n);
    return true;
}

bool parseSize(const std::string& text, uint64_t* value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    if (errno) return false;
    unsigned shift = 0;
    const std::string suffix = end;
    if (suffix == "K" || suffix == "k") shift = 10;
    else if (suffix == "M" || suffix == "m") shift = 20;
    else if (suffix == "G" || suffix == "g") shift = 30;
    else if (!suffix.empty()) return false;
    if (n == 0 || n > (UINT64_MAX >> shift)) return false;
    *value = uint64_t(n) << shift;
    return true;
}

std::shared_ptr<const host::SignatureLibrary> compileRules(const std::filesystem::path& shippedRules,
                                                          const std::vector<std::filesystem::path>& userRules,
                                                          std::string* error) {
    std::vector<std::filesystem::path> sources = userRules;
    if (!shippedRules.empty()) sources.insert(sources.begin(), shippedRules);
    error->clear();
    if (sources.empty()) return nullptr;
    return host::SignatureLibrary::compile(sources, error);
}

}  // namespace cli
