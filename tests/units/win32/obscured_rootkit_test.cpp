// The obscured-rootkit suspicion unit, run directly: no engine can reach it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "module/frame/unit_table.h"
#include "module/units/win32/obscured_rootkit.h"
#include "sdk/format_codes.h"
#include "tests/fixtures/vb_downloader_rootkit.h"
#include "tests/support/unit_harness.h"

namespace {

using fixtures::Bytes;
using fixtures::DriverProgram;

uint32_t scan(const Bytes& bytes) {
    support::UnitHarness run(bytes, "driver.sys", {qe::FORMAT_PE});
    CScanObscuredRootkit unit;
    const uint32_t result = unit.Scan(run.info(), run.param());
    EXPECT_EQ(bytes, run.bytes()) << "a scan never writes";
    return result;
}

TEST(ObscuredRootkit, SuspectsDriversThatHideTheirDeviceName) {
    struct Case {
        const char* name;
        DriverProgram driver;
        bool suspect;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, bool suspect, auto change) {
        DriverProgram d;
        change(d);
        cases.push_back({name, d, suspect});
    };
    add("no device name", true, [](DriverProgram&) {});
    add("other wide strings only", true, [](DriverProgram& d) { d.wideStrings = {u"ServiceKey", u"Devices"}; });
    add("module name in upper case", true, [](DriverProgram& d) { d.importModule = "NTOSKRNL.EXE"; });
    add("names its device", false, [](DriverProgram& d) { d.wideStrings = {u"\\Device\\hooker"}; });
    add("names its link", false, [](DriverProgram& d) { d.wideStrings = {u"x", u"\\DosDevices\\hooker"}; });
    add("names its link the short way", false, [](DriverProgram& d) { d.wideStrings = {u"\\??\\hooker"}; });
    add("no service table", false, [](DriverProgram& d) { d.imports = {"IoCreateDevice", "IoCreateSymbolicLink"}; });
    add("no symbolic link", false,
        [](DriverProgram& d) { d.imports = {"KeServiceDescriptorTable", "IoCreateDevice"}; });
    add("imports from another module", false, [](DriverProgram& d) { d.importModule = "hal.dll"; });
    add("not a native program", false, [](DriverProgram& d) { d.subsystem = 2; });
    add("0x3FFFF bytes", true, [](DriverProgram& d) { d.padTo = 0x3FFFF; });
    add("0x40000 bytes", false, [](DriverProgram& d) { d.padTo = 0x40000; });
    for (const Case& c : cases) EXPECT_EQ(scan(fixtures::driverProgram(c.driver)), c.suspect ? 1u : 0u) << c.name;
}

TEST(ObscuredRootkit, NoEngineRunsIt) {
    CScanObscuredRootkit unit;
    support::UnitHarness run(Bytes{});
    STScanInfo info{nullptr, nullptr, run.info()->rot, 0};
    EXPECT_EQ(unit.NeedToScan(&info), 0u);
    EXPECT_EQ(unit.WorkIfVirus(nullptr, 0), 0u);
    for (const NamedUnitTable& table : allUnitTables())
        for (const UnitTableEntry& row : unitTableRows(table.rows))
            EXPECT_STRNE(row.unitClass, "CScanObscuredRootkit") << table.name;
}

TEST(ObscuredRootkit, DamagedFilesAreNotSuspected) {
    const Bytes driver = fixtures::driverProgram();
    Bytes noSignature = driver;
    noSignature[0x80] = 'X';
    Bytes cut(driver.begin(), driver.begin() + 0x500);
    for (const Bytes& bytes : {noSignature, cut, Bytes{}, Bytes{'M', 'Z'}}) EXPECT_EQ(scan(bytes), 0u);
}

}  // namespace
