#include "module/units/worm/tanatos.h"

#include <algorithm>
#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

using namespace remedy;

namespace {

constexpr uint32_t kPrepareFlags = 0x300;
constexpr uint32_t kSavedBlockBehind = 0xF8;  // the worm counts the section table from here
constexpr uint32_t kSectionEntryLength = 40;
constexpr uint32_t kAddedSections = 3;
constexpr uint32_t kSavedBlockLength = 20;
constexpr uint32_t kCopyChunk = 4096;

struct Variant {
    uint32_t bodyLength;
    bool restoresRelocations;
};
constexpr Variant kTanatos{0xA800, false};
constexpr Variant kTanatosA{0xAA00, true};

// Copies [0, length) of `from` over `to`, whose size is set to `length` first.
bool copyOver(IQEStream* to, IQEStream* from, uint32_t length) {
    if (to->SetSize(length, 0) < 0) return false;
    std::vector<uint8_t> chunk(kCopyChunk);
    for (uint32_t at = 0; at < length;) {
        const uint32_t want = std::min(kCopyChunk, length - at);
        const uint32_t got = readAt(from, at, chunk.data(), want);
        if (got == 0) return false;
        const std::optional<uint64_t> toSize = streamSize(to);
        if (!toSize || *toSize <= at) return false;
        if (!writeExactAt(to, at, chunk.data(), got)) return false;
        at += got;
    }
    return true;
}

uint32_t killTanatos(STScanInfo* info, const Variant& variant) {
    if (!info || !info->stream) return KILL_FAILED;
    IQEStream* scanned = info->stream;
    // The outer file is the archive that contains the scanned (unpacked) stream; it is made
    // ready for writing with IQXStream::Prepare before anything is written.
    InterfacePtr<IQXStream> scannedX = queryInterface<IQXStream>(scanned, qe::IID_IQXStream);
    if (!scannedX) return uint32_t(QE_E_INVALIDARG);
    InterfacePtr<IQEArchive> container;
    if (scannedX->GetParentArchive(container.put()) < 0 || !container) return uint32_t(QE_E_INVALIDARG);
    InterfacePtr<IQEStream> outer;
    const QRESULT opened = container->GetStream(outer.put());
    if (opened != 0) return uint32_t(opened);
    if (!outer) return KILL_FAILED;
    InterfacePtr<IQXStream> outerX = queryInterface<IQXStream>(outer.get(), qe::IID_IQXStream);
    if (!outerX) return uint32_t(QE_E_INVALIDARG);
    const QRESULT prepared = outerX->Prepare(kPrepareFlags);
    if (prepared < 0) return uint32_t(prepared);
    IQEStream* o = outer.get();

    uint8_t field[4];
    if (!readExactAt(o, 0x3C, field, 4)) return KILL_FAILED;
    const uint32_t pe = loadLe32(field);
    if (!readExactAt(o, uint64_t(pe) + 6, field, 2)) return KILL_FAILED;
    const uint32_t sections = loadLe16(field);

    if (sections < kAddedSections + 1) return scanned->Remove() == 0 ? KILL_REMOVED : KILL_REMOVE_FAILED;

    const uint64_t saved = uint64_t(pe) + kSavedBlockBehind + uint64_t(kSectionEntryLength) * sections;
    uint8_t block[kSavedBlockLength];
    if (!readExactAt(o, saved, block, sizeof block)) return KILL_FAILED;
    // The body must be there to be cut, behind the headers it was saved in: checked before the
    // first write so that a file too short for this worm stays as it is.
    const std::optional<uint32_t> size = streamSize32(o);
    if (!size || *size < saved + sizeof block + variant.bodyLength)
        return KILL_FAILED;

    const uint8_t zeros[kAddedSections * kSectionEntryLength] = {};
    uint8_t count[2];
    storeLe16(count, uint16_t(sections - kAddedSections));
    const uint64_t firstAdded = uint64_t(pe) + kSavedBlockBehind + uint64_t(kSectionEntryLength) * (sections - kAddedSections);
    const bool written = writeExactAt(o, uint64_t(pe) + 0x28, block, 4) &&
                         writeExactAt(o, uint64_t(pe) + 0x80, block + 12, 8) &&
                         (!variant.restoresRelocations || writeExactAt(o, uint64_t(pe) + 0xA0, block + 4, 8)) &&
                         writeExactAt(o, uint64_t(pe) + 0xD0, zeros, 8) &&
                         writeExactAt(o, firstAdded, zeros, sizeof zeros) && writeExactAt(o, uint64_t(pe) + 6, count, 2);
    if (!written) return KILL_FAILED;

    const uint32_t repairedLength = *size - variant.bodyLength;
    if (o->SetSize(repairedLength, 0) != 0) return KILL_FAILED;
    return copyOver(scanned, o, repairedLength) ? KILL_REPAIRED : KILL_FAILED;
}

}  // namespace

uint32_t CScanWormTanatos::Kill(STScanInfo* info, tagScanExParam*) { return killTanatos(info, kTanatos); }

uint32_t CScanWormTanatosA::Kill(STScanInfo* info, tagScanExParam*) { return killTanatos(info, kTanatosA); }
