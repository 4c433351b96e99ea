// Every class, interface and property identifier shared by module and host.
// Identifiers given by the host framework are fixed; those marked "reference host"
// are this host's own choice and stable from now on (stored settings may name them).
#pragma once

#include "sdk/guid.h"

namespace qe {

// Creatable engines of the module.
constexpr GUID CLSID_CQEEngineScanExPost = makeGuid("3B216068-5205-4A40-804B-C80330716D4A");
constexpr GUID CLSID_CQEEngineScanExPre = makeGuid("C96AA3EC-447A-4ECB-9719-9D916A598EAF");
constexpr GUID CLSID_CQEEngineKillEx = makeGuid("E7F0D28C-2451-4EA1-93C5-6EFFB5F36CC5");
constexpr GUID CLSID_CQEEngineUnkVirusEx = makeGuid("6838FC2A-60D2-4C89-AF35-5A1B6DD28F38");

// Interfaces.
constexpr GUID IID_IUnknown = makeGuid("00000000-0000-0000-C000-000000000046");
constexpr GUID IID_IQXClassFactory = makeGuid("3B099D02-B5B7-4BA2-AA9D-8D921A97C703");
constexpr GUID IID_IQEEngineScanEx = makeGuid("132CE9E9-242B-4E76-AA0C-0FEE19CCA959");
constexpr GUID IID_IQEEngine = makeGuid("EFA66224-C235-47BE-AD36-AF2F270FA55B");
constexpr GUID IID_IQERunningObjectTable = makeGuid("F4447B2E-89C7-4180-A2C6-390A7E539065");
constexpr GUID IID_IQEArchive = makeGuid("F0DE6717-1B00-4B9E-8E45-0212E029457B");
constexpr GUID IID_IQXArchive = makeGuid("82CA12EF-1A94-4BB0-9959-416C7051FF26");
constexpr GUID IID_IQEStream = makeGuid("BD7BCBDB-A6BC-49AB-A467-6B1C4B591A57");
constexpr GUID IID_IQXStream = makeGuid("06C8A097-0950-45AC-B3D6-A41B9EA80101");
constexpr GUID IID_IQxHandleFile = makeGuid("1557CD17-6FEC-43CA-AB8D-6741CEE8795E");
constexpr GUID IID_IQEProperty = makeGuid("DF343B0B-D142-4E3C-BE9C-02BBED29D27E");
// Reference host.
constexpr GUID IID_IQEProperty2 = makeGuid("C16D3C23-4DD3-491F-977C-805B0CC7D58B");
constexpr GUID IID_IQEPropertyEx = makeGuid("7260F77B-D30F-43A2-B64E-BEDA5BD1A37D");
constexpr GUID IID_IQEObjectLoader = makeGuid("6039A603-A8ED-4B70-BAAE-3F602DAD52CD");
constexpr GUID IID_IQXFileSystem = makeGuid("E2ECAEE8-2E15-4613-B799-0277BD3327E3");
constexpr GUID IID_IQEPEArchive = makeGuid("283A511C-9BB1-447C-9C23-0887754329DD");
constexpr GUID IID_IQEPERecordTable = makeGuid("4958FF59-2617-4CA6-9970-9358FEE4EB7A");
constexpr GUID IID_IQEPESectionTable = makeGuid("E6D21C06-3CC7-4E76-B842-87B28B941F92");
constexpr GUID IID_IQEVM = makeGuid("37B5A48B-EEF8-4014-ABCE-48C87FBDE946");
constexpr GUID IID_IQEX86Assembler = makeGuid("6B2E3A58-ADC2-488E-B4D3-1893B3510387");
constexpr GUID IID_IQEFormatList = makeGuid("BD1B8087-83D3-4F1F-809C-644A5BE6CA41");
constexpr GUID IID_IQEScanReport = makeGuid("5C0F7A2E-93B1-4E6D-A8C4-2F1D6E9B7A35");

// Host classes created through the object loader (reference host).
constexpr GUID CLSID_CQEPEArchive = makeGuid("B3793F49-2636-479F-B5FD-6E3F8919F504");
constexpr GUID CLSID_CQEVM = makeGuid("38534CCB-C4A4-4315-8DB7-B0F8D81714D1");
constexpr GUID CLSID_CQEX86Assembler = makeGuid("8A3CE840-D2C8-4702-8F7A-550A7373569B");

// Property ids.
constexpr GUID PID_File_CurrentFormat = makeGuid("8E823449-76C3-435F-95BA-70E130B9BCD3");
// Reference host.
constexpr GUID PID_File_FormatList = makeGuid("BE2733CA-E888-4692-8E4E-BCE85D2EE4BC");
constexpr GUID PID_File_PackerJudeged = makeGuid("8A7E503E-EE58-4E55-8644-340098C5523C");
constexpr GUID PID_File_HasKnownPacker = makeGuid("874EFBF6-83BB-4889-9C11-94443A84A3C6");
constexpr GUID PID_File_IsUnpacked = makeGuid("348E7DE9-C767-435C-BA8A-01CD5008A8E2");
constexpr GUID PID_File_RenameName = makeGuid("F16C839D-579B-4665-8257-B1B5E7059FA1");
constexpr GUID PID_TROJANLIB_WHITELIST = makeGuid("9CF6A3EC-9375-4730-9671-C68036F7D2AB");
constexpr GUID PID_FILE_PE_CERTIFICATE = makeGuid("E2926156-7586-4E82-A02B-5530CF7DA95F");
constexpr GUID PID_FILE_PE_VERSION = makeGuid("2C1F6A0E-5B7D-4E0A-9D43-7A61C2F0B8E5");

// Objects the running-object table hands out (reference host).
constexpr GUID PID_ROT_EngineConfig = makeGuid("5E0B3C71-8A2D-4F6B-B1C9-3D7E2A4F6081");
constexpr GUID PID_ROT_ObjectLoader = makeGuid("A4C2E6F8-1B3D-4A5C-9E7F-0D2B4C6E8A13");
constexpr GUID PID_ROT_FileSystem = makeGuid("D7E9F1A3-5C4B-4D2E-8F6A-1B3C5D7E9F20");
constexpr GUID PID_ROT_ScanReport = makeGuid("E1A47C93-2B5D-4F08-9C6E-7D3B1A5F2C84");

}  // namespace qe
