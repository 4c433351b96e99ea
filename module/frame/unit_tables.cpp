// Every unit table of the module, row by row in the order the engines try them, and the
// per-phase arrays that pick a table by format slot.
//
// A row names its unit class in one of two ways:
//   UNIT(id, CScanX)   the class is built: the row creates it (include its family header above);
//   INERT(id, CScanX)  the class is not built yet: the row creates the shared inert unit, which
//                      finds nothing and repairs nothing, and keeps the class name for listings.
// Building a class therefore turns its rows from INERT into UNIT and adds one include.
#include "module/frame/inert_unit.h"
#include "module/frame/unit_table.h"

// Unit families (one header per family file under module/units/).
#include "module/units/dos/april10.h"
#include "module/units/dos/april1st.h"
#include "module/units/dos/badboy.h"
#include "module/units/dos/bomber.h"
#include "module/units/dos/buba.h"
#include "module/units/dos/datacrime.h"
#include "module/units/dos/hllp.h"
#include "module/units/dos/june.h"
#include "module/units/dos/moran.h"
#include "module/units/dos/sentinel.h"
#include "module/units/dos/sg_bomber.h"
#include "module/units/dos/tequila.h"
#include "module/units/dos/tmcb.h"
#include "module/units/dos/tremor.h"
#include "module/units/dos/v1989.h"
#include "module/units/dos/voronezh.h"
#include "module/units/dos/youth.h"
#include "module/units/dos/zhengzhou.h"
#include "module/units/exploit/asf_exploit.h"
#include "module/units/exploit/doc_exploit.h"
#include "module/units/exploit/eot_exploit.h"
#include "module/units/exploit/jpg_exploit.h"
#include "module/units/exploit/mp3_exploit.h"
#include "module/units/exploit/png_exploit.h"
#include "module/units/exploit/quicktime_exploit.h"
#include "module/units/exploit/riff_ani.h"
#include "module/units/exploit/tiff_exploit.h"
#include "module/units/exploit/wmf_exploit.h"
#include "module/units/exploit/atl_exploit.h"
#include "module/units/exploit/cad_lsp.h"
#include "module/units/exploit/find_valid_pe.h"
#include "module/units/exploit/gpcode.h"
#include "module/units/exploit/inert_units.h"
#include "module/units/exploit/mgfhoker_ntldr.h"
#include "module/units/exploit/pdf.h"
#include "module/units/exploit/swf_exploit.h"
#include "module/units/exploit/swf_lfm926.h"
#include "module/units/exploit/torrent_exploit.h"
#include "module/units/exploit/vbxxx_bind.h"
#include "module/units/exploit/zed_1stking.h"
#include "module/units/heuristic/unknown_virus.h"
#include "module/units/special/kill_methods.h"
#include "module/units/win32/cekar.h"
#include "module/units/win32/cih.h"
#include "module/units/win32/funlove.h"
#include "module/units/win32/kuku.h"
#include "module/units/win32/magistr.h"
#include "module/units/win32/magistr_g.h"
#include "module/units/win32/neshta.h"
#include "module/units/win32/padania.h"
#include "module/units/win32/parite.h"
#include "module/units/win32/resur.h"
#include "module/units/win32/sality.h"
#include "module/units/win32/vb_downloader.h"
#include "module/units/win32/virut.h"
#include "module/units/worm/klez.h"
#include "module/units/worm/lovgate.h"
#include "module/units/worm/nimda.h"
#include "module/units/worm/tanatos.h"
#include "module/units/worm/theals.h"
#include "module/units/worm/viking.h"
#include "module/units/worm/xld.h"

#define UNIT(id, Class) UnitTableEntry{id, &Class::CreateScanExUnit, #Class}
#define INERT(id, Class) UnitTableEntry{id, &CInertScanUnit::CreateScanExUnit, #Class}
#define END_OF_TABLE UnitTableEntry{0, nullptr, nullptr}

// --- PE programs ---

const UnitTableEntry aPEScanBeforeLib[] = {
    INERT(0x001654FF, CScanNewKUKU),
    INERT(0x00156B23, CScanMdfUser32),
    UNIT(0x00153388, CScanKuku),
    INERT(0x40151304, CSCANVundo),
    INERT(0x0007D1F1, CSCANSosisko),
    INERT(0x00004CBF, CScanWin32Aris),
    INERT(0x00009E7C, CScanWin95Fono15327),
    INERT(0x000050AA, CScanWin32RainSong4266),
    INERT(0x00004CBA, CScanWin32CTX),
    UNIT(0x00004CB8, CScanMargistr),
    INERT(0x40009B1F, CScanTrojanDropperSmorph),
    INERT(0x00004CBC, CScanFinalDoom),
    INERT(0x00004CBE, CScanBinLadenMorph),
    INERT(0x00184749, CScanKukuPEXL),
    END_OF_TABLE,
};

const UnitTableEntry aPEScanAfterLib[] = {
    INERT(0x001818CE, CScanLoader),
    INERT(0x00181457, CScanDaum),
    UNIT(0x0017993D, CScanKUKU_ko),
    UNIT(0x001781B3, CScanVirutNew_cs),
    INERT(0x00175015, CScanNewKUKU5),
    INERT(0x00175CA2, CScanNewKUKU6),
    INERT(0x00173A00, CScanNewKUKU3),
    INERT(0x0017A69E, CScanKUKUBySearchCall),
    INERT(0x0018288C, CScanKUKUPatchOEP),
    INERT(0x0018A0B7, CScanKUKULd),
    INERT(0x001892A2, CScanVirutEB),
    INERT(0x00173D82, CScanVirutNew),
    INERT(0x0017B50F, CScanVirutBySearchCall),
    UNIT(0x00188B0E, CScanVirutCe),
    INERT(0x401784D1, CScanPackerObfuscator_m),
    INERT(0x0017315A, CScanIndcu),
    INERT(0x4016481C, CScanWormMs),
    INERT(0x00163DAB, CScanVirut2),
    INERT(0x0015667C, CScanDetnat),
    INERT(0x40153A45, CScanPcClient),
    UNIT(0x40153126, CScanUnknownVBDownLoader),
    INERT(0x0014B529, CScanZPerm),
    INERT(0x4014B0F4, CScanNopFlowerDLL),
    INERT(0x4014AC00, CScanFamPswDll),
    INERT(0x0007CCF3, CScanVpa),
    INERT(0x0007A79D, CScanFuwinlogo),
    INERT(0x0014B375, CScanVmpPacker),
    INERT(0x0007BB84, CScanRy_2),
    INERT(0x40077ED4, CScanGpigeonBasedRes),
    INERT(0x00076255, CScanVampiro),
    INERT(0x00004CCE, CScanMaxtrix),
    INERT(0x00006275, CScanMaxtrixA),
    INERT(0x00004CB9, CScanWormDll),
    INERT(0x00004CC2, CScanWin32March12),
    INERT(0x4000A88F, CScanWin32DupatorKelnel32),
    INERT(0x00009AFC, CScanIWormGanda),
    UNIT(0x0000A083, CScanPE_CIH_1003_Junk),
    UNIT(0x00006B69, CScanFunLoveInt),
    INERT(0x4000B57D, CScanStepan),
    UNIT(0x400114E5, CScanLovGateGeneric),
    UNIT(0x00009242, CScanPadania1335b),
    INERT(0x000143AC, CScanWin32Eggroll_a),
    INERT(0x00016A83, CScanWin32Beeby),
    UNIT(0x0002B865, CScanThealsGen),
    UNIT(0x0002B865, CScanWormTheals),
    UNIT(0x0002F4D4, CScanWormThealsA),
    INERT(0x40056424, CScanXCode),
    INERT(0x00042056, CScanPolipos),
    INERT(0x00177876, CScanIndcuStatic),
    UNIT(0x00154E46, CScanVirutBad),
    INERT(0x0017BF0B, CScanVirutByRoughSearch),
    INERT(0x0018909B, CScanVirutDW),
    INERT(0x0018920A, CrazyPrier),
    UNIT(0x0018A076, CScanXLD),
    INERT(0x4018A70E, CScanCTBLocker),
    END_OF_TABLE,
};

const UnitTableEntry aPEBadFile[] = {
    UNIT(0x00009242, CScanPadania1335b),
    END_OF_TABLE,
};

const UnitTableEntry aPEKill[] = {
    INERT(0x00174D2A, CKillWinemm),
    INERT(0x00174759, CKillKrepper),
    INERT(0x00173069, CKillExeKiller),
    UNIT(0x001719BA, CKillSality),
    INERT(0x00171322, CKillAgentAvh),
    INERT(0x00171144, CKillLoader),
    UNIT(0x0016E914, CKillCekar),
    INERT(0x00160902, CKillAgent_dh),
    INERT(0x0016032F, CKillAgent_dc),
    INERT(0x00154C23, CKillMdfPE),
    INERT(0x0015408F, CKillBlackHole),
    INERT(0x0014CC62, CKillNtck),
    UNIT(0x00140229, CScanWin32Nimda),
    INERT(0x0014FD94, CKillReadLastData),
    INERT(0x0014B36C, CKillUpWorm),
    INERT(0x0007A9CE, CKillBlackice),
    INERT(0x0006CADF, CScanSuser),
    UNIT(0x00060C59, CScanViking),
    UNIT(0x0005C6AC, CScanViking),
    UNIT(0x00054774, CScanViking),
    UNIT(0x00054AEB, CScanViking),
    UNIT(0x00054B65, CScanViking),
    UNIT(0x00054BA9, CScanViking),
    UNIT(0x00054BCD, CScanViking),
    INERT(0x00051ACE, CScanDetnetGm),
    INERT(0x000604C8, CScanDetnetGw),
    UNIT(0x000483D5, CScanViking),
    UNIT(0x00048317, CScanViking),
    UNIT(0x0006017C, CScanViking),
    INERT(0x00042056, CScanPolipos),
    INERT(0x0000BEDF, CScanHidrag),
    INERT(0x0000BC67, CScanWormMTXd1),
    INERT(0x0000BBE9, CScanMaxtrixPE),
    INERT(0x0000BBF6, CScanBolzano2644),
    INERT(0x0000BC17, CScanBolzano2716),
    INERT(0x000067B2, CScanBolzano2676),
    INERT(0x0000BBA8, CScanWin32HIV6340),
    INERT(0x0000B0ED, CScanWin3299Ways),
    INERT(0x0000AB1F, CScanWin32RainSong3891),
    INERT(0x0000A98C, CScanWin32Henky1632),
    INERT(0x00002D5D, CScanPEMarburg),
    INERT(0x000016E4, CScanPEYAI),
    INERT(0x000049B6, CScanWin32Datus),
    INERT(0x0000505C, CScanWin32Glyn),
    UNIT(0x00003EB3, CScanWin32Klez),
    UNIT(0x00003E0A, CScanWin32Nimda),
    UNIT(0x000042BD, CScanWin32Nimda),
    UNIT(0x00003EC1, CScanWin32Nimda),
    UNIT(0x0000AC67, CScanWin32Nimda),
    UNIT(0x00003F0F, CScanWin32Parite_a),
    UNIT(0x00003EAB, CScanWin32Parite_b),
    UNIT(0x00003EAD, CScanWin32Parite_c),
    INERT(0x0000511F, CScanWin32Ramma),
    UNIT(0x000051DD, CScanWin32Resura),
    UNIT(0x000052B5, CScanWin32Resurb),
    UNIT(0x000052B6, CScanWin32Resurc),
    UNIT(0x00005318, CScanWin32Resurd),
    UNIT(0x00014B6D, CScanWin32Resure),
    INERT(0x000017C3, CScanWin32TypeVirusBody),
    INERT(0x00003F03, CScanWin32WHG),
    INERT(0x00004696, CScanWin32Evy),
    INERT(0x00004694, CScanWin32Evy),
    UNIT(0x0000436C, CScanWormKlezF),
    UNIT(0x0000436D, CScanWormKlezF),
    UNIT(0x0000442C, CScanWormKlezF),
    UNIT(0x00004476, CScanWormKlezF),
    UNIT(0x000049D3, CScanWormKlezK),
    UNIT(0x000049BB, CScanWormKlezK),
    UNIT(0x0000A2CB, CScanWin32LovGateSub),
    UNIT(0x0000A357, CScanWin32LovGateSub),
    INERT(0x0000A882, CScanWormBugbearB),
    UNIT(0x00004B98, CScanPECIHVirusBody),
    UNIT(0x00004D7B, CScanPECIHVirusBody),
    UNIT(0x00004D6F, CScanPECIHVirusBody),
    UNIT(0x00004D7F, CScanPECIHVirusBody),
    UNIT(0x00002DAC, CScanPECIHVirusBody),
    UNIT(0x00004D70, CScanPECIHVirusBody),
    UNIT(0x00004D71, CScanPECIHVirusBody),
    UNIT(0x00004D73, CScanPECIHVirusBody),
    UNIT(0x00004E4E, CScanPECIHVirusBody),
    UNIT(0x00004D75, CScanPECIHVirusBody),
    UNIT(0x00002DAB, CScanPECIHVirusBody),
    UNIT(0x00005686, CScanPECIHVirusBody),
    UNIT(0x00004D84, CScanPECIHVirusBody),
    UNIT(0x00004D76, CScanPECIHVirusBody),
    UNIT(0x00004D77, CScanPECIHVirusBody),
    UNIT(0x00004D83, CScanPECIHVirusBody),
    UNIT(0x00004D78, CScanPECIHVirusBody),
    UNIT(0x00004EAB, CScanPECIHVirusBody),
    UNIT(0x000010BB, CScanPECIHVirusBody),
    UNIT(0x000010BA, CScanPECIHVirusBody),
    UNIT(0x000010A9, CScanPECIHVirusBody),
    INERT(0x0000E7FC, CScanWin32March12_3588),
    UNIT(0x00013CA4, CScanWin32Parite_d),
    UNIT(0x000113C8, CScanWin32LovGate_ax),
    UNIT(0x000113D6, CScanWin32LovGate_ay),
    UNIT(0x00011BEC, CScanWin32LovGate_bo),
    INERT(0x00014AD3, CScanWin32HLLPBertle),
    UNIT(0x00015FB1, CScanWormTanatos),
    INERT(0x0001723B, CScanWin32Bube),
    INERT(0x0001723E, CScanWin32BlackHand),
    INERT(0x00017241, CScanWin32BlackHand),
    INERT(0x0001F811, CScanWin32LadyMarian),
    UNIT(0x00012769, CScanWormTanatosA),
    INERT(0x0002884B, CScanCanbis),
    INERT(0x0002F2E6, CScanHidrag),
    END_OF_TABLE,
};

const UnitTableEntry aPEUnknown[] = {
    UNIT(0x4007AE2E, CScanUnknownVirus),
    END_OF_TABLE,
};

// --- MZ programs ---

const UnitTableEntry aMZScanBeforeLib[] = {
    UNIT(0x00006586, CScanTequila5Volt2659),
    END_OF_TABLE,
};

const UnitTableEntry aMZScanAfterLib[] = {
    UNIT(0x00006550, CScanTmcBMZ),
    END_OF_TABLE,
};

const UnitTableEntry aMZBadFile[] = {
    END_OF_TABLE,
};

const UnitTableEntry aMZKill[] = {
    UNIT(0x0000ABA8, CScanTremor),
    UNIT(0x00003C82, CScanApril10_2217EXE),
    UNIT(0x00003C83, CScanDataCrimeIIEXE),
    UNIT(0x00003AE4, CScanSentinelCOM),
    UNIT(0x00003AD8, CScanSentinelCOM),
    UNIT(0x00003ADB, CScanSentinelCOM),
    UNIT(0x00003AE2, CScanSentinelCOM),
    UNIT(0x00003ADD, CScanSentinelCOM),
    UNIT(0x00003ADF, CScanSentinelCOM),
    UNIT(0x00003DE1, CScanV_1989EXE),
    UNIT(0x000008C9, CScanApril_1stEXE),
    UNIT(0x00003DC9, CScanBuba1537EXE),
    UNIT(0x00004376, CScanHllp7808EXE),
    UNIT(0x00003DD9, CScanVoronezh1600EXE),
    END_OF_TABLE,
};

// --- COM programs ---

const UnitTableEntry aCOMScanBeforeLib[] = {
    END_OF_TABLE,
};

const UnitTableEntry aCOMScanAfterLib[] = {
    UNIT(0x00006551, CScanTmcBCOM),
    END_OF_TABLE,
};

const UnitTableEntry aCOMBadFile[] = {
    END_OF_TABLE,
};

const UnitTableEntry aCOMKill[] = {
    UNIT(0x0000AB37, CScanBomberCOM),
    UNIT(0x00003C80, CScanApril10_2217COM),
    UNIT(0x00003DFE, CScanBadboy_1000COM),
    UNIT(0x000019CF, CScanDataCrimeIICOM),
    UNIT(0x00003D26, CScanMoran2720COM),
    UNIT(0x00003AD9, CScanSentinelCOM),
    UNIT(0x00003AD6, CScanSentinelCOM),
    UNIT(0x00003ADA, CScanSentinelCOM),
    UNIT(0x00003AE1, CScanSentinelCOM),
    UNIT(0x000043DE, CScanSentinelCOM),
    UNIT(0x00003ADE, CScanSentinelCOM),
    UNIT(0x00003DDF, CScanV_1989Com),
    UNIT(0x00003DF0, CScanVoronezhCom),
    UNIT(0x00003DDD, CScanVoronezh1600Com),
    UNIT(0x00003E61, CScanVoronezh600Com),
    UNIT(0x00003E62, CScanVoronezh650Com),
    UNIT(0x00003DD8, CScanYouth555Com),
    UNIT(0x00003C7E, CScanZhengZhou),
    UNIT(0x0000AD54, CScanSG_Bomber1305),
    UNIT(0x00003D0E, CScanJune1919Com),
    END_OF_TABLE,
};

// --- Scripts ---

const UnitTableEntry aVBSScanBeforeLib[] = {
    UNIT(0x400096F6, CScanZed_1stKing),
    END_OF_TABLE,
};

const UnitTableEntry aVBSScanAfterLib[] = {
    END_OF_TABLE,
};

const UnitTableEntry aVBSBadFile[] = {
    END_OF_TABLE,
};

const UnitTableEntry aVBSKill[] = {
    END_OF_TABLE,
};

// --- Ordinary files ---

const UnitTableEntry aNormalScanBeforeLib[] = {
    UNIT(0x4017AA33, CScanMp3Exploit092499),
    UNIT(0x4017A757, CScanAsfExploit092498),
    UNIT(0x4017A6E6, CScanAsfExploit092527),
    UNIT(0x4017A6A7, CScanAsfExploit090555),
    UNIT(0x4017A3DF, CScanPngExploit093126),
    UNIT(0x4017A3D1, CScanPngExploit092501),
    UNIT(0x4017A2F3, CScanTiffExploit092502),
    UNIT(0x4017A23A, CScanWmfExploit092500),
    UNIT(0x4017A18D, CScanQuickTimeExploit091539),
    UNIT(0x4017A0D5, CScanQuickTimeExploit091538),
    UNIT(0x4017AE36, CScanEOTExploit090231),
    UNIT(0x4017AE86, CScanEOTExploit090232),
    UNIT(0x4017B614, CScanDOCExploit090565),
    UNIT(0x4017B61C, CScanDOCExploit093135),
    UNIT(0x40177C30, CScanExploitPdf),
    UNIT(0x0015C82E, CScanTorrentExploit),
    UNIT(0x00157DB5, CScanAsf),
    UNIT(0x0002F690, CScanWmf),
    UNIT(0x400767E0, CScanRiffAni),
    UNIT(0x000114E7, CScanMGFHOKER_Ntldr),
    UNIT(0x001387A0, CScanPdfHtml),
    UNIT(0x4016FF47, CScanATLExploit),
    UNIT(0x4018435B, CScanFakeCplLnk),
    UNIT(0x40188E06, CScanPdfJs),
    UNIT(0x0018752B, CScanCadLsp),
    UNIT(0x40154E10, CScanSWFExp),
    END_OF_TABLE,
};

const UnitTableEntry aNormalScanAfterLib[] = {
    END_OF_TABLE,
};

const UnitTableEntry aNormalBadFile[] = {
    END_OF_TABLE,
};

const UnitTableEntry aNormalKill[] = {
    END_OF_TABLE,
};

// --- Compound archives, Flash movies, JPEG images ---

const UnitTableEntry aCompoundArchiveBeforeLib[] = {
    UNIT(0x0000F5F6, CScanSuspiciousZip),
    UNIT(0x0000F8EE, CScanSuspiciousRar),
    END_OF_TABLE,
};

const UnitTableEntry aSWFBefroreLib[] = {
    UNIT(0x00006278, CScanSWF_LFM926),
    END_OF_TABLE,
};

const UnitTableEntry aJPGBefroreLib[] = {
    UNIT(0x00013F00, CScanJPGExploit),
    END_OF_TABLE,
};

// --- Kill by method number and by special method ---

const UnitTableEntry aMethodKill[] = {
    UNIT(0x00000001, CScanViking),
    UNIT(0x00000002, CScanNeshtaA),
    INERT(0x00000003, CScanDetnetGm),
    INERT(0x00000004, CScanVadar),
    INERT(0x00000005, CScanSuser),
    INERT(0x00000006, CScanDiskgen),
    INERT(0x00000007, CScanHidrag),
    INERT(0x00000008, CScanVadar),
    INERT(0x00000009, CScanCranb),
    INERT(0x0000000A, CScanKukuA),
    INERT(0x0000000B, CScanKukuB),
    UNIT(0x0000000C, CScanFindValidPe2),
    INERT(0x0000000D, CScanCkass),
    INERT(0x0000000E, CScanDetnetGw),
    INERT(0x0000000F, CScanDetnetGw35),
    UNIT(0x00000010, CKillVbXXXBind),
    UNIT(0x00000011, CKillWormMagistr_g),
    INERT(0x00000012, CKilldeadcode),
    INERT(0x00000013, CKillBlackice),
    INERT(0x00000014, CKillXlstEx),
    UNIT(0x00000015, CKillGpcode),
    INERT(0x00000016, CKillNakuru),
    INERT(0x00000017, CKillMabezat),
    UNIT(0x00000018, CScanWin32Nimda),
    INERT(0x00000019, CScanDiskgen2),
    INERT(0x0000001A, CKillExplorerDL),
    INERT(0x0000001B, CKillAgentXgh),
    INERT(0x0000001C, CKillAgentBl),
    UNIT(0x0000001D, CKillKukuKill),
    END_OF_TABLE,
};

const UnitTableEntry aSpecKill[] = {
    UNIT(0x00000001, CKillMiser),
    UNIT(0x00000002, CKillRestorePeHeader),
    UNIT(0x00000003, CVMControlerStub),
    UNIT(0x00000004, CCutFileHead),
    UNIT(0x00000005, CKillSubRest),
    UNIT(0x00000006, CscanRag),
    UNIT(0x00000007, CExtractResource),
    UNIT(0x00000008, CExtractResource2),
    UNIT(0x00000009, CGetExtraFileData),
    END_OF_TABLE,
};

// --- Per-phase arrays, indexed by format slot (PE, MZ, COM, script, ordinary, compound
// archive, Flash, JPEG) ---

PhaseTables aScanMethodsBeforeLib = {aPEScanBeforeLib,  aMZScanBeforeLib,  aCOMScanBeforeLib,
                                     aVBSScanBeforeLib, aNormalScanBeforeLib, aCompoundArchiveBeforeLib,
                                     aSWFBefroreLib,    aJPGBefroreLib};
PhaseTables aScanMethodsAfterLib = {aPEScanAfterLib,  aMZScanAfterLib,     aCOMScanAfterLib, aVBSScanAfterLib,
                                    aNormalScanAfterLib, nullptr,          nullptr,          nullptr};
PhaseTables aScanMethodsBadFile = {aPEBadFile, aMZBadFile, aCOMBadFile, aVBSBadFile,
                                   aNormalBadFile, nullptr, nullptr,  nullptr};
PhaseTables aKillMethods = {aPEKill, aMZKill, aCOMKill, aVBSKill, aNormalKill, nullptr, nullptr, nullptr};
PhaseTables aScanMethodsUnknown = {aPEUnknown, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

namespace {
constexpr NamedUnitTable kAllTables[] = {
    {"aPEScanBeforeLib", aPEScanBeforeLib},
    {"aPEScanAfterLib", aPEScanAfterLib},
    {"aPEBadFile", aPEBadFile},
    {"aPEKill", aPEKill},
    {"aPEUnknown", aPEUnknown},
    {"aMZScanBeforeLib", aMZScanBeforeLib},
    {"aMZScanAfterLib", aMZScanAfterLib},
    {"aMZBadFile", aMZBadFile},
    {"aMZKill", aMZKill},
    {"aCOMScanBeforeLib", aCOMScanBeforeLib},
    {"aCOMScanAfterLib", aCOMScanAfterLib},
    {"aCOMBadFile", aCOMBadFile},
    {"aCOMKill", aCOMKill},
    {"aVBSScanBeforeLib", aVBSScanBeforeLib},
    {"aVBSScanAfterLib", aVBSScanAfterLib},
    {"aVBSBadFile", aVBSBadFile},
    {"aVBSKill", aVBSKill},
    {"aNormalScanBeforeLib", aNormalScanBeforeLib},
    {"aNormalScanAfterLib", aNormalScanAfterLib},
    {"aNormalBadFile", aNormalBadFile},
    {"aNormalKill", aNormalKill},
    {"aCompoundArchiveBeforeLib", aCompoundArchiveBeforeLib},
    {"aSWFBefroreLib", aSWFBefroreLib},
    {"aJPGBefroreLib", aJPGBefroreLib},
    {"aMethodKill", aMethodKill},
    {"aSpecKill", aSpecKill},
};
}  // namespace

std::span<const NamedUnitTable> allUnitTables() { return kAllTables; }
