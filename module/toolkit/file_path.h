// The path of the file behind a file object, as the host gives it: narrow bytes or wide
// (32-bit wchar_t) characters, kept in the form it came in.
#pragma once

#include <cstdint>

#include "sdk/file_interfaces.h"

struct CFilePath {
    uint32_t wide = 0;        // 0: buffer holds a narrow string; 1: a wide string
    uint32_t length = 0;      // bytes of the held string, terminator included
    uint8_t* buffer = nullptr;  // the string and one extra zero byte; owned by the record
    uint32_t capacity = 0;    // bytes the buffer holds without growing (the extra zero not counted)

    CFilePath() = default;
    CFilePath(const CFilePath&) = delete;
    CFilePath& operator=(const CFilePath&) = delete;
    // The record frees its buffer itself: owners never delete it.
    ~CFilePath() { delete[] buffer; }

    const char* narrow() const { return wide ? nullptr : reinterpret_cast<const char*>(buffer); }
    const wchar_t* wideString() const { return wide ? reinterpret_cast<const wchar_t*>(buffer) : nullptr; }
};

// Copies the path of the file behind `archive` into `path`, growing its buffer when needed
// (it never shrinks). 1 when the host gave a path (also when it gave a null path, which leaves
// the record as it was); 0 when it could not be asked or the buffer could not grow.
int GetFileName(CFilePath& path, IQEArchive* archive);
