// remedy units and the virus names scan prints: both come from the unit listing beside the
// module the command was told to use, never from tables built into the command.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/unit_listing.h"
#include "tests/cli/cli_runner.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/golden.h"

namespace {

using fixtures::Bytes;
using namespace clitest;

const std::filesystem::path kModule = REMEDY_MODULE_PATH;

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// The built module's listing, as the build wrote it beside the module.
std::string builtListing() { return text(fixtures::readFile(host::unitListingPath(kModule))); }

// A copy of the built module in its own directory, with the listing given (none when null).
struct ModuleCopy {
    fixtures::TempDir dir;
    std::string path = dir.file("other.so").string();
    explicit ModuleCopy(const std::string* listing) {
        std::filesystem::copy_file(kModule, path);
        if (listing) fixtures::writeFile(dir.file("other.units"), Bytes(listing->begin(), listing->end()));
    }
};

// The built listing with the TmcB COM row's display name changed: what a differently built
// module would carry.
std::string renamedListing() {
    std::string listing = builtListing();
    const std::string from = "CScanTmcBCOM                 DOS.TmcBCOM\n";
    const size_t at = listing.find(from);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos) listing.replace(at, from.size(), "CScanTmcBCOM                 DOS.TmcB.Other\n");
    return listing;
}

// The rows of a listing text, without its comment lines: what `remedy units` prints.
std::string rowsOf(const std::string& listing) {
    std::string rows;
    for (size_t at = 0; at < listing.size();) {
        const size_t end = std::min(listing.find('\n', at), listing.size());
        if (listing[at] != '#') rows += listing.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return rows;
}

TEST(CliUnits, PrintsTheModulesListing) {
    fixtures::TempDir dir;
    const Outcome run = remedy(dir, "units");
    ASSERT_EQ(run.status, 0) << run.err;
    fixtures::expectGolden("cli/golden/units.txt", run.out);
    EXPECT_EQ(run.out, rowsOf(builtListing()));
    const auto rows = size_t(std::count(run.out.begin(), run.out.end(), '\n'));
    size_t built = 0;
    for (size_t at = 0; (at = run.out.find(" built ", at)) != std::string::npos; ++at) ++built;
    ASSERT_GT(built, 0u);
    ASSERT_LT(built, rows);
    EXPECT_EQ(run.err, std::to_string(rows) + " rows, " + std::to_string(built) + " built, " +
                           std::to_string(rows - built) + " inert\n");
}

// `--module` decides whose listing is printed; a module that does not load, or one without a
// usable listing, is an error and prints no rows.
TEST(CliUnits, ListsTheModuleItWasToldToUse) {
    const std::string renamed = renamedListing();
    ModuleCopy other(&renamed);
    fixtures::TempDir dir;
    Outcome run = remedy(dir, "--module " + quote(other.path) + " units");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, rowsOf(renamed));
    EXPECT_NE(run.out.find(" DOS.TmcB.Other\n"), std::string::npos);

    ModuleCopy bare(nullptr);
    const std::string broken = "# a listing\naCOMKill 0 virus 0x3DDD built CScanVoronezh1600Com DOS.Voronezh\n";
    ModuleCopy damaged(&broken);
    const std::string notAModule = dir.file("notes.so").string();
    fixtures::writeFile(notAModule, {'h', 'i'});
    struct Case {
        const char* what;
        std::string module;
        std::string error;  // what stderr must hold
    } cases[] = {
        {"a module that does not exist", "/nonexistent", "remedy: cannot load the module /nonexistent: "},
        {"a file that is no module", notAModule, "remedy: cannot load the module " + notAModule + ": "},
        {"a module without a listing", bare.path,
         "remedy: no unit listing for the module " + bare.path + ": " + bare.dir.file("other.units").string() +
             ": No such file or directory\n"},
        {"a module with a damaged listing", damaged.path,
         "remedy: no unit listing for the module " + damaged.path + ": " + damaged.dir.file("other.units").string() +
             ":2: the identifier is not 0x and eight hex digits\n"},
    };
    for (const Case& c : cases) {
        run = remedy(dir, "--module " + quote(c.module) + " units");
        EXPECT_EQ(run.status, 2) << c.what;
        EXPECT_EQ(run.out, "") << c.what;
        EXPECT_EQ(run.err.rfind(c.error, 0), 0u) << c.what << ": " << run.err;
    }
}

// The names a scan prints are the listing's: a module whose listing names a virus otherwise is
// printed with that name; without a listing the scan says so once and prints identifiers alone.
TEST(CliUnits, ScanNamesComeFromTheListing) {
    fixtures::TempDir dir;
    const std::string game = dir.file("game.com").string();
    fixtures::writeFile(game, fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333)));
    const std::string renamed = renamedListing();
    ModuleCopy other(&renamed);
    ModuleCopy bare(nullptr);
    struct Case {
        const char* what;
        std::string module;
        std::string line;
        std::string err;
    } cases[] = {
        {"the built module", kModule.string(), game + ": DOS.TmcBCOM 0x00006551 FOUND (post-library)\n", ""},
        {"a module with another listing", other.path, game + ": DOS.TmcB.Other 0x00006551 FOUND (post-library)\n", ""},
        {"a module without a listing", bare.path, game + ": virus 0x00006551 FOUND (post-library)\n",
         "remedy: no virus names, the unit listing is unusable: " + bare.dir.file("other.units").string() +
             ": No such file or directory\n"},
    };
    for (const Case& c : cases) {
        const Outcome run = remedy(dir, "--module " + quote(c.module) + " scan --no-summary " + quote(game));
        EXPECT_EQ(run.status, 1) << c.what << ": " << run.err;
        EXPECT_EQ(run.out, c.line) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
    }
}

}  // namespace
