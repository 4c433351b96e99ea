// Lists the functions a PE file imports, one per call, reading the import directory from the
// file through the host's PE archive. PE32 layout: 32-bit thunks, bit 31 marks an ordinal.
#pragma once

#include <cstdint>

#include "module/toolkit/interface_ptr.h"
#include "sdk/host_services.h"

// The code FetchImportsApi answers once every import has been listed.
constexpr QRESULT QE_E_IMPORTS_EXHAUSTED = int32_t(0x800401BFu);

class CImportedApis {
public:
    struct _IMPORT_ITEM {
        uint32_t iatSlot;    // RVA of this import's address-table slot
        char module[256];    // module name, trailing blanks removed
        char function[256];  // function name, or the ordinal as "%08x"
    };

    CImportedApis() = default;
    CImportedApis(const CImportedApis&) = delete;
    CImportedApis& operator=(const CImportedApis&) = delete;
    ~CImportedApis() { Close(); }

    // 0; QE_E_INVALIDARG for null; QE_E_UNEXPECTED when already open; QE_E_NOINTERFACE without
    // a PE archive or record table; QE_E_FAIL when the file has fewer than two data directories
    // or no import directory.
    QRESULT Open(IUnknown* archive);
    // Fills `item` with the next import (the first one when `restart` is non-zero): 0.
    // QE_E_IMPORTS_EXHAUSTED after the last one (and on every later call); another negative
    // host result when a read or an address conversion fails. The position stays where it was
    // on failure.
    QRESULT FetchImportsApi(_IMPORT_ITEM* item, int restart);
    void Close();

    // Reads a zero-terminated string at `offset` one byte at a time, at most capacity - 1
    // bytes; the buffer is always terminated. QE_E_INVALIDARG for a null stream or buffer or a
    // zero capacity; the seek's failure; else 0.
    static QRESULT ReadString(IQEStream* stream, uint32_t offset, char* buffer, uint32_t capacity);
    // 1 when `name` looks like a module name ("NAME.EXT", or ending in '.'), cutting trailing
    // blanks; 0 for null, empty, one-character, longer than `maximum`, or dotless names.
    static int TrimModName_right(char* name, uint32_t maximum);

private:
    remedy::InterfacePtr<IQEPEArchive> archive_;
    remedy::InterfacePtr<IQEPERecordTable> records_;
    uint32_t importRva_ = 0;
    uint32_t importSize_ = 0;
    uint32_t descriptorIndex_ = 0;
    uint32_t thunkIndex_ = 0;
};
