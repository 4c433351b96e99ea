// Format codes the host stores as PID_File_CurrentFormat.
#pragma once

#include <cstdint>

namespace qe {

constexpr uint32_t FORMAT_FILE = 0;     // ordinary file (documents, media, images, PDF, OLE)
constexpr uint32_t FORMAT_MZ = 2;       // DOS MZ executable
constexpr uint32_t FORMAT_PE = 3;       // Win32 PE
constexpr uint32_t FORMAT_JPEG = 36;
constexpr uint32_t FORMAT_SWF = 37;     // uncompressed Flash movie ("FWS")
constexpr uint32_t FORMAT_SWF_COMPRESSED = 38;  // zlib-compressed Flash movie ("CWS")
constexpr uint32_t FORMAT_PDF = 39;     // answered by the format list, never the current format
constexpr uint32_t FORMAT_COM = 111;    // DOS COM program
constexpr uint32_t FORMAT_VBS = 114;    // script
constexpr uint32_t FORMAT_UNKNOWN = 0xFFFF;  // reference host: nothing an engine acts on

}  // namespace qe
