// The parsed headers of a 32-bit PE file, as the scan units use them: the COFF file header,
// the 96 bytes of PE32 optional-header fields, the 16 data directories and the section table,
// each exactly as stored in the file. CPEHeander reaches the file through the host's emulator
// (IExecExport file reads and writes); CPEHeander2 through the file's stream. Both hold the
// same record and follow the same rules.
//
// Only the PE32 layout is understood: a PE32+ file is read with the same offsets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/exec_export.h"
#include "sdk/unknown.h"

struct IMAGE_FILE_HEADER {
    uint16_t Machine;
    uint16_t NumberOfSections;
    uint32_t TimeDateStamp;
    uint32_t PointerToSymbolTable;
    uint32_t NumberOfSymbols;
    uint16_t SizeOfOptionalHeader;
    uint16_t Characteristics;
};
static_assert(sizeof(IMAGE_FILE_HEADER) == 20);

// The PE32 optional header from Magic through NumberOfRvaAndSizes; the data directories that
// follow it in the file are held separately.
struct IMAGE_OPTIONAL_HEADER32 {
    uint16_t Magic;
    uint8_t MajorLinkerVersion;
    uint8_t MinorLinkerVersion;
    uint32_t SizeOfCode;
    uint32_t SizeOfInitializedData;
    uint32_t SizeOfUninitializedData;
    uint32_t AddressOfEntryPoint;
    uint32_t BaseOfCode;
    uint32_t BaseOfData;
    uint32_t ImageBase;
    uint32_t SectionAlignment;
    uint32_t FileAlignment;
    uint16_t MajorOperatingSystemVersion;
    uint16_t MinorOperatingSystemVersion;
    uint16_t MajorImageVersion;
    uint16_t MinorImageVersion;
    uint16_t MajorSubsystemVersion;
    uint16_t MinorSubsystemVersion;
    uint32_t Win32VersionValue;
    uint32_t SizeOfImage;
    uint32_t SizeOfHeaders;
    uint32_t CheckSum;
    uint16_t Subsystem;
    uint16_t DllCharacteristics;
    uint32_t SizeOfStackReserve;
    uint32_t SizeOfStackCommit;
    uint32_t SizeOfHeapReserve;
    uint32_t SizeOfHeapCommit;
    uint32_t LoaderFlags;
    uint32_t NumberOfRvaAndSizes;
};
static_assert(sizeof(IMAGE_OPTIONAL_HEADER32) == 96);
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, AddressOfEntryPoint) == 16);
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, ImageBase) == 28);
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, SizeOfImage) == 56);
static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, CheckSum) == 64);

struct IMAGE_DATA_DIRECTORY {
    uint32_t VirtualAddress;
    uint32_t Size;
};
static_assert(sizeof(IMAGE_DATA_DIRECTORY) == 8);

struct IMAGE_SECTION_HEADER {
    uint8_t Name[8];
    uint32_t VirtualSize;
    uint32_t VirtualAddress;
    uint32_t SizeOfRawData;
    uint32_t PointerToRawData;
    uint32_t PointerToRelocations;
    uint32_t PointerToLinenumbers;
    uint16_t NumberOfRelocations;
    uint16_t NumberOfLinenumbers;
    uint32_t Characteristics;
};
static_assert(sizeof(IMAGE_SECTION_HEADER) == 40);

namespace pe {
constexpr uint16_t kDosSignature = 0x5A4D;      // "MZ"
constexpr uint16_t kNtSignature = 0x4550;       // "PE" (the two bytes after it are not checked)
constexpr uint32_t kPeOffsetField = 60;         // e_lfanew
constexpr uint32_t kFileHeaderOffset = 4;       // from the PE signature
constexpr uint32_t kOptionalHeaderOffset = 24;
constexpr uint32_t kDataDirectoryOffset = 120;  // always here, whatever SizeOfOptionalHeader says
constexpr uint32_t kDataDirectoryCount = 16;
// Data directory indices.
constexpr uint32_t IMAGE_DIRECTORY_ENTRY_EXPORT = 0, IMAGE_DIRECTORY_ENTRY_IMPORT = 1,
                   IMAGE_DIRECTORY_ENTRY_RESOURCE = 2, IMAGE_DIRECTORY_ENTRY_EXCEPTION = 3,
                   IMAGE_DIRECTORY_ENTRY_SECURITY = 4, IMAGE_DIRECTORY_ENTRY_BASERELOC = 5,
                   IMAGE_DIRECTORY_ENTRY_DEBUG = 6, IMAGE_DIRECTORY_ENTRY_ARCHITECTURE = 7,
                   IMAGE_DIRECTORY_ENTRY_GLOBALPTR = 8, IMAGE_DIRECTORY_ENTRY_TLS = 9,
                   IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG = 10, IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT = 11,
                   IMAGE_DIRECTORY_ENTRY_IAT = 12, IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT = 13,
                   IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR = 14;
}  // namespace pe

// Headers read through the emulator's file operations (ReadFile / WriteFile).
class CPEHeander {
public:
    CPEHeander();
    explicit CPEHeander(IExecExport* source);
    ~CPEHeander();
    CPEHeander(const CPEHeander&) = delete;
    CPEHeander& operator=(const CPEHeander&) = delete;

    // Reads every header from `source`; non-zero on success. 0 when the source is null, the
    // file does not start with "MZ", the PE signature is missing, any block comes back short,
    // or the section table does not fit in the file. May be called again: each call replaces
    // both arrays. On failure the fields read before the failing step keep their values, and
    // `sections` is null unless a complete table was read.
    int Initialize();
    // Writes the held headers back where they were read (section table, file header, optional
    // header, data directories), stopping at the first short write. Non-zero only when all
    // four were written completely; 0 without writing when the source or sections are null.
    int Dump();
    // Converts the held headers between file order (little-endian) and host order. Nothing to
    // do on a little-endian host.
    void SwapByte();

    uint32_t peOffset;
    uint32_t sectionCount;
    IExecExport* source;  // not owned
    IMAGE_FILE_HEADER fileHeader;
    IMAGE_OPTIONAL_HEADER32 optionalHeader;
    IMAGE_SECTION_HEADER* sections;           // owned, sectionCount entries
    IMAGE_DATA_DIRECTORY* dataDirectories;    // owned, 16 entries
};

namespace remedy {

// How CPEHeander::Initialize went: the headers were read; the bytes are no PE program this
// record can hold; or a read the host failed (of bytes the file holds) stopped it, so the
// bytes were never judged.
enum class PeHeadersRead { Read, NotPe, Refused };
// CPEHeander::Initialize with the reason for a failure.
PeHeadersRead readPeHeaders(CPEHeander& headers);

}  // namespace remedy

// Headers read through the file's stream: `source` answers IQEStream and possibly IQXStream
// (preferred for seeking while reading). Same record and rules as CPEHeander.
class CPEHeander2 {
public:
    CPEHeander2();
    explicit CPEHeander2(IUnknown* source);
    ~CPEHeander2();
    CPEHeander2(const CPEHeander2&) = delete;
    CPEHeander2& operator=(const CPEHeander2&) = delete;

    // As CPEHeander::Initialize; a failed seek or a negative read result counts as a short read.
    int Initialize();
    // As CPEHeander::Dump, through IQEStream Seek and Write.
    int Dump();
    void SwapByte();

    uint32_t peOffset;
    uint32_t sectionCount;
    IUnknown* source;  // not owned
    IMAGE_FILE_HEADER fileHeader;
    IMAGE_OPTIONAL_HEADER32 optionalHeader;
    IMAGE_SECTION_HEADER* sections;
    IMAGE_DATA_DIRECTORY* dataDirectories;
};
