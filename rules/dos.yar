// DOS file infectors whose cleaners the kill engine runs on the library's word.
// Verdict metadata: virus_id of the COM or MZ kill table (see host/signatures.h); each rule
// is for the format whose kill table holds its identifier (format 111 COM, 2 MZ).

// Bomber writes 4096 bytes of itself over the host and keeps the overwritten block at the end
// of the file. Its code holds this 15-byte sequence; the word 22 bytes before it is the host's
// length before infection, so the file is exactly that length plus the kept block.
rule DOS_Bomber
{
    meta:
        virus_id = 0x0000AB37
        format = 111
    strings:
        $code = { E8 0B 00 C3 3D 00 4B 74 0E 3D 4F 42 74 05 EA }
    condition:
        for any i in (1..#code) : (
            @code[i] >= 294 and
            @code[i] + 2714 < filesize and
            uint16(@code[i] - 22) + 4096 == filesize
        )
}

// Youth.555 appends 555 bytes: the host's first 512 bytes under a key, then its code, which
// begins with CALL $+3; POP SI (the check its cleaner makes before restoring anything).
rule DOS_Youth555
{
    meta:
        virus_id = 0x00003DD8
        format = 111
    condition:
        filesize > 555 and
        uint32be(filesize - 43) == 0xE800005E
}

// Sentinel appends 4571 bytes and enters them from the program's entry with JMP near, or with
// MOV AX, imm16; PUSH AX; RET. A COM program is loaded at offset 0x100 of its segment.
rule DOS_Sentinel_COM
{
    meta:
        virus_id = 0x00003AD9
        format = 111
    condition:
        filesize > 4571 and
        (
            (uint8(0) == 0xE9 and ((uint16(1) + 3) & 0xFFFF) == filesize - 4571) or
            (uint8(0) == 0xB8 and uint8(3) == 0x50 and uint8(4) == 0xC3 and uint16(1) == filesize - 4571 + 0x100)
        )
}

// The same for an MZ program: the jump sits at the entry (CS:IP from the header, the load
// module starting after the header's paragraphs) and leads, within the entry's segment, to
// 4571 bytes before the end of the file.
rule DOS_Sentinel_MZ
{
    meta:
        virus_id = 0x00003AE4
        format = 2
    condition:
        uint16(0) == 0x5A4D and
        filesize > 4571 and
        (
            (
                uint8(uint16(8) * 16 + uint16(0x16) * 16 + uint16(0x14)) == 0xE9 and
                ((uint16(0x14) + 3 + uint16(uint16(8) * 16 + uint16(0x16) * 16 + uint16(0x14) + 1)) & 0xFFFF) ==
                    filesize - 4571 - uint16(8) * 16 - uint16(0x16) * 16
            ) or (
                uint8(uint16(8) * 16 + uint16(0x16) * 16 + uint16(0x14)) == 0xB8 and
                uint8(uint16(8) * 16 + uint16(0x16) * 16 + uint16(0x14) + 3) == 0x50 and
                uint8(uint16(8) * 16 + uint16(0x16) * 16 + uint16(0x14) + 4) == 0xC3 and
                uint16(uint16(8) * 16 + uint16(0x16) * 16 + uint16(0x14) + 1) ==
                    filesize - 4571 - uint16(8) * 16 - uint16(0x16) * 16
            )
        )
}
