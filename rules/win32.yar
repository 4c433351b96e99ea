// Win32 file infectors whose cleaners the kill engine runs on the library's word.
// Verdict metadata: virus_id, method/param for a kill by method number, and format 3 (PE) for
// the files the rules are for (see host/signatures.h).
//
// PE header fields, read directly (the PE header at the dword at 0x3C):
//   uint32(0x3C) + 6      NumberOfSections          + 0x14  SizeOfOptionalHeader
//   uint32(0x3C) + 0x28   AddressOfEntryPoint (RVA)
//   section i header at uint32(0x3C) + 0x18 + SizeOfOptionalHeader + 40 * i:
//   + 8 VirtualSize, + 12 VirtualAddress, + 16 SizeOfRawData, + 20 PointerToRawData

// Sality overwrites the entry code with a loader whose dword at entry + 0x0D is the distance
// from the entry to the virus body, and puts the 0x5000-byte body at the start of the last
// section it appends.
rule Win32_Sality
{
    meta:
        virus_id = 0x001719BA
        format = 3
    condition:
        uint16(0) == 0x5A4D and
        uint32(uint32(0x3C)) == 0x00004550 and
        uint16(uint32(0x3C) + 6) >= 2 and
        // the last section holds the whole body
        uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * (uint16(uint32(0x3C) + 6) - 1) + 16) >= 0x5000 and
        uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * (uint16(uint32(0x3C) + 6) - 1) + 20) + 0x5000 <= filesize and
        // the section holding the entry: its loader's distance leads to the last section's start
        for any i in (0 .. uint16(uint32(0x3C) + 6) - 1) : (
            uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12) <= uint32(uint32(0x3C) + 0x28) and
            uint32(uint32(0x3C) + 0x28) + 0x11 <=
                uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12) +
                uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 16) and
            uint32(
                uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) +
                uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12) + 0x0D
            ) ==
                (uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * (uint16(uint32(0x3C) + 6) - 1) + 12) -
                 uint32(uint32(0x3C) + 0x28)) & 0xFFFFFFFF
        )
}

// Cekar writes the first of its pieces over 0x204 bytes at the entry; 0x38 bytes into it lies
// the table of its pieces (an RVA and a 16-bit size each), whose first entry is that very
// piece and whose second is another. The host's entry bytes lie 0x4A2 bytes into the pieces'
// stream, so the pieces hold more than that.
rule Win32_Cekar
{
    meta:
        virus_id = 0x0016E914
        format = 3
    condition:
        uint16(0) == 0x5A4D and
        uint32(uint32(0x3C)) == 0x00004550 and
        for any i in (0 .. uint16(uint32(0x3C) + 6) - 1) : (
            // the section holding the entry, with the whole first piece in its raw data
            uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12) <= uint32(uint32(0x3C) + 0x28) and
            uint32(uint32(0x3C) + 0x28) + 0x204 <= uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12) + uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 16) and
            uint32((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x38) == uint32(uint32(0x3C) + 0x28) and
            uint16((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x3C) == 0x204 and
            uint32((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x3E) != 0 and
            uint32((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x3E) < uint32(uint32(0x3C) + 0x50) and
            uint16((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x3C) + uint16((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x42) + uint16((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x48) + uint16((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x4E) +
                uint16((uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) + uint32(uint32(0x3C) + 0x28) - uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 12)) + 0x54) > 0x4A2
        )
}

// Neshta puts its own 41,472-byte program in front of the host and moves the host's first
// 41,472 bytes to the end of the file, the first 1,000 of them XORed with a generator stream
// seeded by the dword at 1234 of that moved head (state = state * 0x08088405 + 1, byte key =
// the upper half of 255 * state). Decrypted, the head begins with "MZ" and the high word of
// its PE header offset is 0. The generator is stepped ahead to each checked byte: after n
// steps the state is A(n) * seed + C(n), multiplied here in 16-bit halves to stay in 64 bits.
rule Win32_Neshta
{
    meta:
        name = "Win32.Neshta"
        virus_id = 0x00190002
        format = 3
        method = 1
        param = 2
    condition:
        uint16(0) == 0x5A4D and
        filesize > 41472 + 1024 and
        // the virus's own program: its sections' raw data ends at 41,472
        uint32(uint32(0x3C)) == 0x00004550 and
        for any i in (0 .. uint16(uint32(0x3C) + 6) - 1) : (
            uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 20) +
            uint32(uint32(0x3C) + 0x18 + uint16(uint32(0x3C) + 0x14) + 40 * i + 16) == 41472
        ) and
        (uint8(filesize - 41472 + 0x00) ^ ((255 * ((0x08088405 * (uint32(filesize - 41472 + 1234) & 0xFFFF) + ((0x08088405 * (uint32(filesize - 41472 + 1234) >> 16)) & 0xFFFF) * 0x10000 + 0x00000001) & 0xFFFFFFFF)) >> 32)) == 0x4D and
        (uint8(filesize - 41472 + 0x01) ^ ((255 * ((0xD4652819 * (uint32(filesize - 41472 + 1234) & 0xFFFF) + ((0xD4652819 * (uint32(filesize - 41472 + 1234) >> 16)) & 0xFFFF) * 0x10000 + 0x08088406) & 0xFFFFFFFF)) >> 32)) == 0x5A and
        (uint8(filesize - 41472 + 0x3E) ^ ((255 * ((0x62EB7BCD * (uint32(filesize - 41472 + 1234) & 0xFFFF) + ((0x62EB7BCD * (uint32(filesize - 41472 + 1234) >> 16)) & 0xFFFF) * 0x10000 + 0x7ECA8BF3) & 0xFFFFFFFF)) >> 32)) == 0x00 and
        (uint8(filesize - 41472 + 0x3F) ^ ((255 * ((0xA0D71F01 * (uint32(filesize - 41472 + 1234) & 0xFFFF) + ((0xA0D71F01 * (uint32(filesize - 41472 + 1234) >> 16)) & 0xFFFF) * 0x10000 + 0xE1B607C0) & 0xFFFFFFFF)) >> 32)) == 0x00
}
