// The unit listing: what a module's unit tables hold, as the build wrote it beside the module
// (libremedy.so -> libremedy.units). A host knows the module's units only through it: the
// display name of a virus identifier, and the rows `remedy units` prints.
//
//   std::string error;
//   auto listing = host::UnitListing::load(host::unitListingPath(module->fileName()), &error);
//   if (listing) name = listing->nameOf(finding.virusId);   // "" when no row names it
//
// The file holds one row a line, columns separated by blanks (lines starting with '#' are
// comments):  TABLE ROW KEY ID STATE CLASS NAME
//   aCOMKill   13 virus 0x00003DDD built CScanVoronezh1600Com DOS.Voronezh1600Com
// KEY is "virus", "method" or "special" (what ID numbers); STATE is "built" or "inert".
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

struct UnitListingRow {
    enum class Key { Virus, Method, Special };
    std::string table;
    uint32_t row = 0;      // its place in the table
    Key key = Key::Virus;
    uint32_t id = 0;       // virus identifier, method number or special-method number
    bool built = false;    // false: the row stands in the table but its unit finds and repairs nothing
    std::string unitClass;
    std::string name;      // display name, "Win32.Sality"
    std::string line;      // the row's line as the listing holds it, without the newline
};

class UnitListing {
public:
    // Reads and checks a listing file. Null with *error set ("FILE: why" or "FILE:LINE: why")
    // when the file cannot be read, is larger than kMaxBytes, or a line is not a row.
    static std::shared_ptr<const UnitListing> load(const std::filesystem::path& file, std::string* error);
    // The same from text; `source` names it in errors.
    static std::shared_ptr<const UnitListing> parse(std::string_view text, const std::string& source,
                                                    std::string* error);
    static constexpr size_t kMaxBytes = 4u << 20;

    // The display name of a virus identifier: the first row keyed by that exact identifier,
    // else the first whose identifier equals it without the flag bits (29 to 31). Rows keyed
    // by method numbers never match. Empty when no row names it (or for 0).
    std::string nameOf(uint32_t virusId) const;

    const std::vector<UnitListingRow>& rows() const { return rows_; }

private:
    std::vector<UnitListingRow> rows_;
};

// Where the listing of the module in `moduleFile` lies: beside it, with ".units" in place of
// the file's extension (lib/libremedy.so -> lib/libremedy.units).
std::filesystem::path unitListingPath(const std::filesystem::path& moduleFile);

}  // namespace host
