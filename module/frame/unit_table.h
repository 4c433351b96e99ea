// Unit tables: the module's registry of scan units. A table is a constant array of rows
// {identifier, creator} ended by a row with a null creator; the engines pick one table by
// phase and format slot and walk it in order, so an earlier row wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "module/frame/scan_unit.h"

struct UnitTableEntry {
    uint32_t id;                 // virus identifier, method number or special-method number
    CreateScanExUnitFn create;   // null ends the table
    const char* unitClass;       // the class the row names (for listings; the engines ignore it)
    const char* displayName;     // what a host shows for the row, "Win32.Sality" (listings only)
};

// Format slots: the index into every per-phase array.
enum FormatSlot : int {
    kSlotPE = 0,
    kSlotMZ = 1,
    kSlotCOM = 2,
    kSlotScript = 3,
    kSlotOrdinary = 4,
    kSlotCompoundArchive = 5,  // no format code leads here (see scanSlotForFormat)
    kSlotFlash = 6,
    kSlotJPEG = 7,
    kFormatSlotCount = 8,
    kNoSlot = -1,
};

// The scan engines' slot for a PID_File_CurrentFormat code, or kNoSlot.
// Compound archives have no current-format code in this host, so slot 5 is reached by no file.
int scanSlotForFormat(uint32_t format);
// The unknown-virus engine's slot for the code the file's archive node reports (GetFormat).
// Only the low 16 bits count; every code without a slot of its own, compressed Flash
// included, goes to the PE slot, the only one with a heuristic table.
int unknownSlotForFormat(uint32_t format);
// The kill engine's slot: PE, MZ, COM, script and ordinary files only.
int killSlotForFormat(uint32_t format);

using PhaseTables = const UnitTableEntry* const[kFormatSlotCount];

// Scan tables.
extern const UnitTableEntry aPEScanBeforeLib[];
extern const UnitTableEntry aPEScanAfterLib[];
extern const UnitTableEntry aPEBadFile[];
extern const UnitTableEntry aPEUnknown[];
extern const UnitTableEntry aMZScanBeforeLib[];
extern const UnitTableEntry aMZScanAfterLib[];
extern const UnitTableEntry aMZBadFile[];
extern const UnitTableEntry aCOMScanBeforeLib[];
extern const UnitTableEntry aCOMScanAfterLib[];
extern const UnitTableEntry aCOMBadFile[];
extern const UnitTableEntry aVBSScanBeforeLib[];
extern const UnitTableEntry aVBSScanAfterLib[];
extern const UnitTableEntry aVBSBadFile[];
extern const UnitTableEntry aNormalScanBeforeLib[];
extern const UnitTableEntry aNormalScanAfterLib[];
extern const UnitTableEntry aNormalBadFile[];
extern const UnitTableEntry aCompoundArchiveBeforeLib[];
extern const UnitTableEntry aSWFBefroreLib[];
extern const UnitTableEntry aJPGBefroreLib[];
// Kill tables: keyed by virus identifier (bits 0 to 28), method number, special-method number.
extern const UnitTableEntry aPEKill[];
extern const UnitTableEntry aMZKill[];
extern const UnitTableEntry aCOMKill[];
extern const UnitTableEntry aVBSKill[];
extern const UnitTableEntry aNormalKill[];
extern const UnitTableEntry aMethodKill[];
extern const UnitTableEntry aSpecKill[];

// Per-phase arrays indexed by format slot; a null entry means the slot has no table.
extern PhaseTables aScanMethodsBeforeLib;
extern PhaseTables aScanMethodsAfterLib;
extern PhaseTables aScanMethodsBadFile;
extern PhaseTables aKillMethods;
extern PhaseTables aScanMethodsUnknown;

// Every table by name, in the order the module defines them (for listings and checks).
struct NamedUnitTable {
    const char* name;
    const UnitTableEntry* rows;
};
std::span<const NamedUnitTable> allUnitTables();

// The rows of a table before its terminator.
std::span<const UnitTableEntry> unitTableRows(const UnitTableEntry* table);
// True when the row's class is built; false when it is inert (it creates the inert unit).
bool unitRowBuilt(const UnitTableEntry& row);

// The unit listing: every row of every table, one line a row, in table order:
//   TABLE ROW KEY ID STATE CLASS NAME
// KEY says what ID is: "virus" (a virus identifier), "method" (a kill method number) or
// "special" (a special-method number); STATE is "built" or "inert"; NAME is the row's display
// name. Columns are separated by spaces and hold none. The build installs this text beside the
// module; hosts and `remedy units` read it from there.
std::string unitTableListing();
