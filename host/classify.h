// The host's format classification: what a file is, as the format codes of sdk/format_codes.h.
//
// Content decides: PE (3) and DOS MZ (2) programs, JPEG (36), Flash movies (37 uncompressed,
// 38 zlib-compressed) and VBScript (114). A DOS COM program (111) has no mark of its own, so a
// ".com" name decides there. Everything else is an ordinary file (0): OLE documents, PDF, PNG,
// TIFF, media, fonts, archives, text. A PDF is additionally listed as 39 in the file's format
// list (host/qxbase/format_list.h).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "host/qxbase/file_object.h"

namespace host {

// The current format of a file with these bytes and this name (the name may be empty).
uint32_t classifyFormat(std::span<const uint8_t> bytes, std::string_view name);

// Every format the file is: the current format first, then the others (39 for a PDF).
std::vector<uint32_t> classifyFormats(std::span<const uint8_t> bytes, std::string_view name);

// Classifies the file object's bytes and path and stores the result on it: PID_File_CurrentFormat
// (tag 22) and PID_File_FormatList.
void classify(FileObject* file);

}  // namespace host
