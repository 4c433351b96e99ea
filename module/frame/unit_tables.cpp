// Every unit table of the module, row by row in the order the engines try them, and the
// per-phase arrays that pick a table by format slot.
//
// A row names its unit class and the name a host shows for the row, in one of two states:
//   BUILT(id, CScanX, "Win32.X")  the class is built: the row creates it (include its family
//                                 header above);
//   INERT(id, CScanX, "Win32.X")  the class is not built yet: the row creates the shared inert
//                                 unit, which finds nothing and repairs nothing.
// Building a class therefore turns its rows from INERT into BUILT and adds one include. A name
// is the platform the table serves (none for ordinary files) and the family, without class
// prefixes; every row of an identifier names it alike. The build writes these rows, names and
// states into the unit listing beside the module (see unitTableListing): all a host knows of
// them.
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
#include "module/units/generic/numbered_repairs.h"
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

#define BUILT(id, Class, name) UnitTableEntry{id, &Class::CreateScanExUnit, #Class, name}
#define INERT(id, Class, name) UnitTableEntry{id, &CInertScanUnit::CreateScanExUnit, #Class, name}
#define END_OF_TABLE UnitTableEntry{0, nullptr, nullptr, nullptr}

// --- PE programs ---

const UnitTableEntry aPEScanBeforeLib[] = {
    INERT(0x001654FF, CScanNewKUKU, "Win32.NewKUKU"),
    INERT(0x00156B23, CScanMdfUser32, "Win32.MdfUser32"),
    BUILT(0x00153388, CScanKuku, "Win32.Kuku"),
    INERT(0x40151304, CSCANVundo, "Win32.Vundo"),
    INERT(0x0007D1F1, CSCANSosisko, "Win32.Sosisko"),
    INERT(0x00004CBF, CScanWin32Aris, "Win32.Aris"),
    INERT(0x00009E7C, CScanWin95Fono15327, "Win32.Win95Fono15327"),
    INERT(0x000050AA, CScanWin32RainSong4266, "Win32.RainSong4266"),
    INERT(0x00004CBA, CScanWin32CTX, "Win32.CTX"),
    BUILT(0x00004CB8, CScanMargistr, "Win32.Margistr"),
    INERT(0x40009B1F, CScanTrojanDropperSmorph, "Win32.TrojanDropperSmorph"),
    INERT(0x00004CBC, CScanFinalDoom, "Win32.FinalDoom"),
    INERT(0x00004CBE, CScanBinLadenMorph, "Win32.BinLadenMorph"),
    INERT(0x00184749, CScanKukuPEXL, "Win32.KukuPEXL"),
    END_OF_TABLE,
};

const UnitTableEntry aPEScanAfterLib[] = {
    INERT(0x001818CE, CScanLoader, "Win32.Loader"),
    INERT(0x00181457, CScanDaum, "Win32.Daum"),
    BUILT(0x0017993D, CScanKUKU_ko, "Win32.KUKU.ko"),
    BUILT(0x001781B3, CScanVirutNew_cs, "Win32.VirutNew.cs"),
    INERT(0x00175015, CScanNewKUKU5, "Win32.NewKUKU5"),
    INERT(0x00175CA2, CScanNewKUKU6, "Win32.NewKUKU6"),
    INERT(0x00173A00, CScanNewKUKU3, "Win32.NewKUKU3"),
    INERT(0x0017A69E, CScanKUKUBySearchCall, "Win32.KUKUBySearchCall"),
    INERT(0x0018288C, CScanKUKUPatchOEP, "Win32.KUKUPatchOEP"),
    INERT(0x0018A0B7, CScanKUKULd, "Win32.KUKULd"),
    INERT(0x001892A2, CScanVirutEB, "Win32.VirutEB"),
    INERT(0x00173D82, CScanVirutNew, "Win32.VirutNew"),
    INERT(0x0017B50F, CScanVirutBySearchCall, "Win32.VirutBySearchCall"),
    BUILT(0x00188B0E, CScanVirutCe, "Win32.VirutCe"),
    INERT(0x401784D1, CScanPackerObfuscator_m, "Win32.PackerObfuscator.m"),
    INERT(0x0017315A, CScanIndcu, "Win32.Indcu"),
    INERT(0x4016481C, CScanWormMs, "Win32.WormMs"),
    INERT(0x00163DAB, CScanVirut2, "Win32.Virut2"),
    INERT(0x0015667C, CScanDetnat, "Win32.Detnat"),
    INERT(0x40153A45, CScanPcClient, "Win32.PcClient"),
    BUILT(0x40153126, CScanUnknownVBDownLoader, "Win32.UnknownVBDownLoader"),
    INERT(0x0014B529, CScanZPerm, "Win32.ZPerm"),
    INERT(0x4014B0F4, CScanNopFlowerDLL, "Win32.NopFlowerDLL"),
    INERT(0x4014AC00, CScanFamPswDll, "Win32.FamPswDll"),
    INERT(0x0007CCF3, CScanVpa, "Win32.Vpa"),
    INERT(0x0007A79D, CScanFuwinlogo, "Win32.Fuwinlogo"),
    INERT(0x0014B375, CScanVmpPacker, "Win32.VmpPacker"),
    INERT(0x0007BB84, CScanRy_2, "Win32.Ry.2"),
    INERT(0x40077ED4, CScanGpigeonBasedRes, "Win32.GpigeonBasedRes"),
    INERT(0x00076255, CScanVampiro, "Win32.Vampiro"),
    INERT(0x00004CCE, CScanMaxtrix, "Win32.Maxtrix"),
    INERT(0x00006275, CScanMaxtrixA, "Win32.MaxtrixA"),
    INERT(0x00004CB9, CScanWormDll, "Win32.WormDll"),
    INERT(0x00004CC2, CScanWin32March12, "Win32.March12"),
    INERT(0x4000A88F, CScanWin32DupatorKelnel32, "Win32.DupatorKelnel32"),
    INERT(0x00009AFC, CScanIWormGanda, "Win32.IWormGanda"),
    BUILT(0x0000A083, CScanPE_CIH_1003_Junk, "Win32.CIH.1003.Junk"),
    BUILT(0x00006B69, CScanFunLoveInt, "Win32.FunLoveInt"),
    INERT(0x4000B57D, CScanStepan, "Win32.Stepan"),
    BUILT(0x400114E5, CScanLovGateGeneric, "Win32.LovGateGeneric"),
    BUILT(0x00009242, CScanPadania1335b, "Win32.Padania1335b"),
    INERT(0x000143AC, CScanWin32Eggroll_a, "Win32.Eggroll.a"),
    INERT(0x00016A83, CScanWin32Beeby, "Win32.Beeby"),
    BUILT(0x0002B865, CScanThealsGen, "Win32.ThealsGen"),
    BUILT(0x0002B865, CScanWormTheals, "Win32.ThealsGen"),
    BUILT(0x0002F4D4, CScanWormThealsA, "Win32.WormThealsA"),
    INERT(0x40056424, CScanXCode, "Win32.XCode"),
    INERT(0x00042056, CScanPolipos, "Win32.Polipos"),
    INERT(0x00177876, CScanIndcuStatic, "Win32.IndcuStatic"),
    BUILT(0x00154E46, CScanVirutBad, "Win32.VirutBad"),
    INERT(0x0017BF0B, CScanVirutByRoughSearch, "Win32.VirutByRoughSearch"),
    INERT(0x0018909B, CScanVirutDW, "Win32.VirutDW"),
    INERT(0x0018920A, CrazyPrier, "Win32.CrazyPrier"),
    BUILT(0x0018A076, CScanXLD, "Win32.XLD"),
    INERT(0x4018A70E, CScanCTBLocker, "Win32.CTBLocker"),
    END_OF_TABLE,
};

const UnitTableEntry aPEBadFile[] = {
    BUILT(0x00009242, CScanPadania1335b, "Win32.Padania1335b"),
    END_OF_TABLE,
};

const UnitTableEntry aPEKill[] = {
    INERT(0x00174D2A, CKillWinemm, "Win32.Winemm"),
    INERT(0x00174759, CKillKrepper, "Win32.Krepper"),
    INERT(0x00173069, CKillExeKiller, "Win32.ExeKiller"),
    BUILT(0x001719BA, CKillSality, "Win32.Sality"),
    INERT(0x00171322, CKillAgentAvh, "Win32.AgentAvh"),
    INERT(0x00171144, CKillLoader, "Win32.Loader"),
    BUILT(0x0016E914, CKillCekar, "Win32.Cekar"),
    INERT(0x00160902, CKillAgent_dh, "Win32.Agent.dh"),
    INERT(0x0016032F, CKillAgent_dc, "Win32.Agent.dc"),
    INERT(0x00154C23, CKillMdfPE, "Win32.MdfPE"),
    INERT(0x0015408F, CKillBlackHole, "Win32.BlackHole"),
    INERT(0x0014CC62, CKillNtck, "Win32.Ntck"),
    BUILT(0x00140229, CScanWin32Nimda, "Win32.Nimda"),
    INERT(0x0014FD94, CKillReadLastData, "Win32.ReadLastData"),
    INERT(0x0014B36C, CKillUpWorm, "Win32.UpWorm"),
    INERT(0x0007A9CE, CKillBlackice, "Win32.Blackice"),
    INERT(0x0006CADF, CScanSuser, "Win32.Suser"),
    BUILT(0x00060C59, CScanViking, "Win32.Viking"),
    BUILT(0x0005C6AC, CScanViking, "Win32.Viking"),
    BUILT(0x00054774, CScanViking, "Win32.Viking"),
    BUILT(0x00054AEB, CScanViking, "Win32.Viking"),
    BUILT(0x00054B65, CScanViking, "Win32.Viking"),
    BUILT(0x00054BA9, CScanViking, "Win32.Viking"),
    BUILT(0x00054BCD, CScanViking, "Win32.Viking"),
    INERT(0x00051ACE, CScanDetnetGm, "Win32.DetnetGm"),
    INERT(0x000604C8, CScanDetnetGw, "Win32.DetnetGw"),
    BUILT(0x000483D5, CScanViking, "Win32.Viking"),
    BUILT(0x00048317, CScanViking, "Win32.Viking"),
    BUILT(0x0006017C, CScanViking, "Win32.Viking"),
    INERT(0x00042056, CScanPolipos, "Win32.Polipos"),
    INERT(0x0000BEDF, CScanHidrag, "Win32.Hidrag"),
    INERT(0x0000BC67, CScanWormMTXd1, "Win32.WormMTXd1"),
    INERT(0x0000BBE9, CScanMaxtrixPE, "Win32.MaxtrixPE"),
    INERT(0x0000BBF6, CScanBolzano2644, "Win32.Bolzano2644"),
    INERT(0x0000BC17, CScanBolzano2716, "Win32.Bolzano2716"),
    INERT(0x000067B2, CScanBolzano2676, "Win32.Bolzano2676"),
    INERT(0x0000BBA8, CScanWin32HIV6340, "Win32.HIV6340"),
    INERT(0x0000B0ED, CScanWin3299Ways, "Win32.Win3299Ways"),
    INERT(0x0000AB1F, CScanWin32RainSong3891, "Win32.RainSong3891"),
    INERT(0x0000A98C, CScanWin32Henky1632, "Win32.Henky1632"),
    INERT(0x00002D5D, CScanPEMarburg, "Win32.Marburg"),
    INERT(0x000016E4, CScanPEYAI, "Win32.YAI"),
    INERT(0x000049B6, CScanWin32Datus, "Win32.Datus"),
    INERT(0x0000505C, CScanWin32Glyn, "Win32.Glyn"),
    BUILT(0x00003EB3, CScanWin32Klez, "Win32.Klez"),
    BUILT(0x00003E0A, CScanWin32Nimda, "Win32.Nimda"),
    BUILT(0x000042BD, CScanWin32Nimda, "Win32.Nimda"),
    BUILT(0x00003EC1, CScanWin32Nimda, "Win32.Nimda"),
    BUILT(0x0000AC67, CScanWin32Nimda, "Win32.Nimda"),
    BUILT(0x00003F0F, CScanWin32Parite_a, "Win32.Parite.a"),
    BUILT(0x00003EAB, CScanWin32Parite_b, "Win32.Parite.b"),
    BUILT(0x00003EAD, CScanWin32Parite_c, "Win32.Parite.c"),
    INERT(0x0000511F, CScanWin32Ramma, "Win32.Ramma"),
    BUILT(0x000051DD, CScanWin32Resura, "Win32.Resura"),
    BUILT(0x000052B5, CScanWin32Resurb, "Win32.Resurb"),
    BUILT(0x000052B6, CScanWin32Resurc, "Win32.Resurc"),
    BUILT(0x00005318, CScanWin32Resurd, "Win32.Resurd"),
    BUILT(0x00014B6D, CScanWin32Resure, "Win32.Resure"),
    INERT(0x000017C3, CScanWin32TypeVirusBody, "Win32.TypeVirusBody"),
    INERT(0x00003F03, CScanWin32WHG, "Win32.WHG"),
    INERT(0x00004696, CScanWin32Evy, "Win32.Evy"),
    INERT(0x00004694, CScanWin32Evy, "Win32.Evy"),
    BUILT(0x0000436C, CScanWormKlezF, "Win32.WormKlezF"),
    BUILT(0x0000436D, CScanWormKlezF, "Win32.WormKlezF"),
    BUILT(0x0000442C, CScanWormKlezF, "Win32.WormKlezF"),
    BUILT(0x00004476, CScanWormKlezF, "Win32.WormKlezF"),
    BUILT(0x000049D3, CScanWormKlezK, "Win32.WormKlezK"),
    BUILT(0x000049BB, CScanWormKlezK, "Win32.WormKlezK"),
    BUILT(0x0000A2CB, CScanWin32LovGateSub, "Win32.LovGateSub"),
    BUILT(0x0000A357, CScanWin32LovGateSub, "Win32.LovGateSub"),
    INERT(0x0000A882, CScanWormBugbearB, "Win32.WormBugbearB"),
    BUILT(0x00004B98, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D7B, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D6F, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D7F, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00002DAC, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D70, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D71, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D73, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004E4E, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D75, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00002DAB, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00005686, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D84, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D76, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D77, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D83, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004D78, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x00004EAB, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x000010BB, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x000010BA, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    BUILT(0x000010A9, CScanPECIHVirusBody, "Win32.CIHVirusBody"),
    INERT(0x0000E7FC, CScanWin32March12_3588, "Win32.March12.3588"),
    BUILT(0x00013CA4, CScanWin32Parite_d, "Win32.Parite.d"),
    BUILT(0x000113C8, CScanWin32LovGate_ax, "Win32.LovGate.ax"),
    BUILT(0x000113D6, CScanWin32LovGate_ay, "Win32.LovGate.ay"),
    BUILT(0x00011BEC, CScanWin32LovGate_bo, "Win32.LovGate.bo"),
    INERT(0x00014AD3, CScanWin32HLLPBertle, "Win32.HLLPBertle"),
    BUILT(0x00015FB1, CScanWormTanatos, "Win32.WormTanatos"),
    INERT(0x0001723B, CScanWin32Bube, "Win32.Bube"),
    INERT(0x0001723E, CScanWin32BlackHand, "Win32.BlackHand"),
    INERT(0x00017241, CScanWin32BlackHand, "Win32.BlackHand"),
    INERT(0x0001F811, CScanWin32LadyMarian, "Win32.LadyMarian"),
    BUILT(0x00012769, CScanWormTanatosA, "Win32.WormTanatosA"),
    INERT(0x0002884B, CScanCanbis, "Win32.Canbis"),
    INERT(0x0002F2E6, CScanHidrag, "Win32.Hidrag"),
    END_OF_TABLE,
};

const UnitTableEntry aPEUnknown[] = {
    BUILT(0x4007AE2E, CScanUnknownVirus, "Win32.UnknownVirus"),
    END_OF_TABLE,
};

// --- MZ programs ---

const UnitTableEntry aMZScanBeforeLib[] = {
    BUILT(0x00006586, CScanTequila5Volt2659, "DOS.Tequila5Volt2659"),
    END_OF_TABLE,
};

const UnitTableEntry aMZScanAfterLib[] = {
    BUILT(0x00006550, CScanTmcBMZ, "DOS.TmcBMZ"),
    END_OF_TABLE,
};

const UnitTableEntry aMZBadFile[] = {
    END_OF_TABLE,
};

const UnitTableEntry aMZKill[] = {
    BUILT(0x0000ABA8, CScanTremor, "DOS.Tremor"),
    BUILT(0x00003C82, CScanApril10_2217EXE, "DOS.April10.2217EXE"),
    BUILT(0x00003C83, CScanDataCrimeIIEXE, "DOS.DataCrimeIIEXE"),
    BUILT(0x00003AE4, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003AD8, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003ADB, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003AE2, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003ADD, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003ADF, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003DE1, CScanV_1989EXE, "DOS.V.1989EXE"),
    BUILT(0x000008C9, CScanApril_1stEXE, "DOS.April.1stEXE"),
    BUILT(0x00003DC9, CScanBuba1537EXE, "DOS.Buba1537EXE"),
    BUILT(0x00004376, CScanHllp7808EXE, "DOS.Hllp7808EXE"),
    BUILT(0x00003DD9, CScanVoronezh1600EXE, "DOS.Voronezh1600EXE"),
    END_OF_TABLE,
};

// --- COM programs ---

const UnitTableEntry aCOMScanBeforeLib[] = {
    END_OF_TABLE,
};

const UnitTableEntry aCOMScanAfterLib[] = {
    BUILT(0x00006551, CScanTmcBCOM, "DOS.TmcBCOM"),
    END_OF_TABLE,
};

const UnitTableEntry aCOMBadFile[] = {
    END_OF_TABLE,
};

const UnitTableEntry aCOMKill[] = {
    BUILT(0x0000AB37, CScanBomberCOM, "DOS.BomberCOM"),
    BUILT(0x00003C80, CScanApril10_2217COM, "DOS.April10.2217COM"),
    BUILT(0x00003DFE, CScanBadboy_1000COM, "DOS.Badboy.1000COM"),
    BUILT(0x000019CF, CScanDataCrimeIICOM, "DOS.DataCrimeIICOM"),
    BUILT(0x00003D26, CScanMoran2720COM, "DOS.Moran2720COM"),
    BUILT(0x00003AD9, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003AD6, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003ADA, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003AE1, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x000043DE, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003ADE, CScanSentinelCOM, "DOS.SentinelCOM"),
    BUILT(0x00003DDF, CScanV_1989Com, "DOS.V.1989Com"),
    BUILT(0x00003DF0, CScanVoronezhCom, "DOS.VoronezhCom"),
    BUILT(0x00003DDD, CScanVoronezh1600Com, "DOS.Voronezh1600Com"),
    BUILT(0x00003E61, CScanVoronezh600Com, "DOS.Voronezh600Com"),
    BUILT(0x00003E62, CScanVoronezh650Com, "DOS.Voronezh650Com"),
    BUILT(0x00003DD8, CScanYouth555Com, "DOS.Youth555Com"),
    BUILT(0x00003C7E, CScanZhengZhou, "DOS.ZhengZhou"),
    BUILT(0x0000AD54, CScanSG_Bomber1305, "DOS.SG.Bomber1305"),
    BUILT(0x00003D0E, CScanJune1919Com, "DOS.June1919Com"),
    END_OF_TABLE,
};

// --- Scripts ---

const UnitTableEntry aVBSScanBeforeLib[] = {
    BUILT(0x400096F6, CScanZed_1stKing, "Script.Zed.1stKing"),
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
    BUILT(0x4017AA33, CScanMp3Exploit092499, "Mp3Exploit092499"),
    BUILT(0x4017A757, CScanAsfExploit092498, "AsfExploit092498"),
    BUILT(0x4017A6E6, CScanAsfExploit092527, "AsfExploit092527"),
    BUILT(0x4017A6A7, CScanAsfExploit090555, "AsfExploit090555"),
    BUILT(0x4017A3DF, CScanPngExploit093126, "PngExploit093126"),
    BUILT(0x4017A3D1, CScanPngExploit092501, "PngExploit092501"),
    BUILT(0x4017A2F3, CScanTiffExploit092502, "TiffExploit092502"),
    BUILT(0x4017A23A, CScanWmfExploit092500, "WmfExploit092500"),
    BUILT(0x4017A18D, CScanQuickTimeExploit091539, "QuickTimeExploit091539"),
    BUILT(0x4017A0D5, CScanQuickTimeExploit091538, "QuickTimeExploit091538"),
    BUILT(0x4017AE36, CScanEOTExploit090231, "EOTExploit090231"),
    BUILT(0x4017AE86, CScanEOTExploit090232, "EOTExploit090232"),
    BUILT(0x4017B614, CScanDOCExploit090565, "DOCExploit090565"),
    BUILT(0x4017B61C, CScanDOCExploit093135, "DOCExploit093135"),
    BUILT(0x40177C30, CScanExploitPdf, "ExploitPdf"),
    BUILT(0x0015C82E, CScanTorrentExploit, "TorrentExploit"),
    BUILT(0x00157DB5, CScanAsf, "Asf"),
    BUILT(0x0002F690, CScanWmf, "Wmf"),
    BUILT(0x400767E0, CScanRiffAni, "RiffAni"),
    BUILT(0x000114E7, CScanMGFHOKER_Ntldr, "MGFHOKER.Ntldr"),
    BUILT(0x001387A0, CScanPdfHtml, "PdfHtml"),
    BUILT(0x4016FF47, CScanATLExploit, "ATLExploit"),
    BUILT(0x4018435B, CScanFakeCplLnk, "FakeCplLnk"),
    BUILT(0x40188E06, CScanPdfJs, "PdfJs"),
    BUILT(0x0018752B, CScanCadLsp, "CadLsp"),
    BUILT(0x40154E10, CScanSWFExp, "SWFExp"),
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
    BUILT(0x0000F5F6, CScanSuspiciousZip, "Doc.SuspiciousZip"),
    BUILT(0x0000F8EE, CScanSuspiciousRar, "Doc.SuspiciousRar"),
    END_OF_TABLE,
};

const UnitTableEntry aSWFBefroreLib[] = {
    BUILT(0x00006278, CScanSWF_LFM926, "SWF.LFM926"),
    END_OF_TABLE,
};

const UnitTableEntry aJPGBefroreLib[] = {
    BUILT(0x00013F00, CScanJPGExploit, "JPEG.JPGExploit"),
    END_OF_TABLE,
};

// --- Kill by method number and by special method ---

const UnitTableEntry aMethodKill[] = {
    BUILT(0x00000001, CScanViking, "Win32.Viking"),
    BUILT(0x00000002, CScanNeshtaA, "Win32.NeshtaA"),
    INERT(0x00000003, CScanDetnetGm, "Win32.DetnetGm"),
    INERT(0x00000004, CScanVadar, "Win32.Vadar"),
    INERT(0x00000005, CScanSuser, "Win32.Suser"),
    INERT(0x00000006, CScanDiskgen, "Win32.Diskgen"),
    INERT(0x00000007, CScanHidrag, "Win32.Hidrag"),
    INERT(0x00000008, CScanVadar, "Win32.Vadar"),
    INERT(0x00000009, CScanCranb, "Win32.Cranb"),
    INERT(0x0000000A, CScanKukuA, "Win32.KukuA"),
    INERT(0x0000000B, CScanKukuB, "Win32.KukuB"),
    BUILT(0x0000000C, CScanFindValidPe2, "Win32.FindValidPe2"),
    INERT(0x0000000D, CScanCkass, "Win32.Ckass"),
    INERT(0x0000000E, CScanDetnetGw, "Win32.DetnetGw"),
    INERT(0x0000000F, CScanDetnetGw35, "Win32.DetnetGw35"),
    BUILT(0x00000010, CKillVbXXXBind, "Win32.VbXXXBind"),
    BUILT(0x00000011, CKillWormMagistr_g, "Win32.WormMagistr.g"),
    INERT(0x00000012, CKilldeadcode, "Win32.deadcode"),
    INERT(0x00000013, CKillBlackice, "Win32.Blackice"),
    INERT(0x00000014, CKillXlstEx, "Win32.XlstEx"),
    BUILT(0x00000015, CKillGpcode, "Win32.Gpcode"),
    INERT(0x00000016, CKillNakuru, "Win32.Nakuru"),
    INERT(0x00000017, CKillMabezat, "Win32.Mabezat"),
    BUILT(0x00000018, CScanWin32Nimda, "Win32.Nimda"),
    INERT(0x00000019, CScanDiskgen2, "Win32.Diskgen2"),
    INERT(0x0000001A, CKillExplorerDL, "Win32.ExplorerDL"),
    INERT(0x0000001B, CKillAgentXgh, "Win32.AgentXgh"),
    INERT(0x0000001C, CKillAgentBl, "Win32.AgentBl"),
    BUILT(0x0000001D, CKillKukuKill, "Win32.KukuKill"),
    END_OF_TABLE,
};

const UnitTableEntry aSpecKill[] = {
    BUILT(0x00000001, CKillMiser, "Special.Miser"),
    BUILT(0x00000002, CKillRestorePeHeader, "Special.RestorePeHeader"),
    BUILT(0x00000003, CVMControlerStub, "Special.VMControlerStub"),
    BUILT(0x00000004, CCutFileHead, "Special.CutFileHead"),
    BUILT(0x00000005, CKillSubRest, "Special.SubRest"),
    BUILT(0x00000006, CscanRag, "Special.Rag"),
    BUILT(0x00000007, CExtractResource, "Special.ExtractResource"),
    BUILT(0x00000008, CExtractResource2, "Special.ExtractResource2"),
    BUILT(0x00000009, CGetExtraFileData, "Special.GetExtraFileData"),
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
