#include "module/formats/ole_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "sdk/identifiers.h"

namespace scanex {

namespace {

using remedy::loadLe16;
using remedy::loadLe32;
using remedy::storeLe32;
using remedy::readAt;
using remedy::streamSize;
using remedy::writeAt;

constexpr uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kMiniSectorSize = 64;
constexpr uint32_t kMiniPerSector = 8;
constexpr uint32_t kEntrySize = 128;
constexpr uint32_t kEntriesPerSector = 4;
constexpr uint32_t kFatPerSector = 128;
constexpr uint32_t kMaxFatLength = 409600;
constexpr uint32_t kMiniStreamCutoff = 4096;
constexpr uint32_t kFree = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kNoSibling = 0xFFFFFFFF;
// A removed stream keeps a short size of its own kind (mini or regular) so that readers still
// find a consistent entry.
constexpr uint32_t kRemovedMiniSize = 65;
constexpr uint32_t kRemovedRegularSize = 4097;

// Directory entry fields.
constexpr uint32_t kNameLengthAt = 64, kTypeAt = 66, kLeftAt = 68, kRightAt = 72, kChildAt = 76;
constexpr uint32_t kStartAt = 116, kSizeAt = 120;
constexpr uint8_t kTypeStream = 2;

uint64_t sectorOffset(uint32_t sector) { return (uint64_t(sector) << 9) + kSectorSize; }

// Sectors that can exist in a file of this size (the header excluded). Bounds every table and
// chain, so that memory and time follow the file and not the numbers written in it.
uint32_t sectorsInFile(uint64_t fileSize) {
    if (fileSize <= kSectorSize) return 0;
    uint64_t n = (fileSize - kSectorSize + kSectorSize - 1) / kSectorSize;
    return uint32_t(std::min<uint64_t>(n, kMaxFatLength));
}

}  // namespace

COleFile::COleFile() = default;

COleFile::~COleFile() {
    clear();
    if (m_stream) m_stream->Release();
}

void COleFile::clear() {
    m_fat.reset();
    m_miniFat.reset();
    m_directory.reset();
    m_fatLength = 0;
    m_miniFatLength = 0;
    m_entryCount = 0;
    m_miniStreamSectors.clear();
}

uint32_t COleFile::entry32(uint32_t sid, uint32_t field) const {
    return loadLe32(m_directory.get() + size_t(sid) * kEntrySize + field);
}

void COleFile::setEntry32(uint32_t sid, uint32_t field, uint32_t value) {
    storeLe32(m_directory.get() + size_t(sid) * kEntrySize + field, value);
}

bool COleFile::currentSize(uint64_t* size) const {
    const std::optional<uint64_t> known = streamSize(m_stream);
    if (known) *size = *known;
    return known.has_value();
}

uint32_t COleFile::OpenOleFile(IUnknown* object) {
    clear();
    if (m_stream) m_stream->Release();
    m_stream = nullptr;
    void* out = nullptr;
    if (!object || qeFailed(object->QueryInterface(qe::IID_IQEStream, &out)) || !out) return 0;
    m_stream = static_cast<IQEStream*>(out);

    uint8_t header[kSectorSize];
    bool opened = currentSize(&m_fileSize) && readAt(m_stream, 0, header, sizeof header) == sizeof header &&
                  std::memcmp(header, kSignature, sizeof kSignature) == 0 &&
                  // Everything here assumes 512-byte sectors and 64-byte mini sectors; editing a
                  // file laid out otherwise would write into the wrong places.
                  loadLe16(header + 30) == 9 && loadLe16(header + 32) == 6;

    // FAT: the sectors named in the header's list, then those of the DIFAT sectors.
    uint32_t fatSectorsRead = 0;
    if (opened) {
        uint64_t announced = loadLe32(header + 44);
        opened = announced >= 1 && announced * kFatPerSector <= kMaxFatLength;
        // A FAT larger than the file has sectors cannot be read from it.
        uint32_t wanted = uint32_t(std::min<uint64_t>(announced, sectorsInFile(m_fileSize)));
        if (opened && wanted > 0) {
            m_fatLength = wanted * kFatPerSector;
            m_fat.reset(new (std::nothrow) uint32_t[m_fatLength]());
            opened = m_fat != nullptr;
        }
        for (uint32_t i = 0; opened && i < 109 && fatSectorsRead < wanted; ++i) {
            uint32_t sector = loadLe32(header + 76 + 4 * i);
            if (sector == kEndOfChain || sector == kFree) break;
            if (!readFatSector(sector, fatSectorsRead, wanted)) break;
        }
        uint32_t difatSector = loadLe32(header + 68);
        uint32_t difatCount = loadLe32(header + 72);
        // Each DIFAT sector is a sector of the file: more of them than that means a loop.
        uint32_t difatLimit = std::min(difatCount, sectorsInFile(m_fileSize));
        for (uint32_t d = 0; opened && d < difatLimit && fatSectorsRead < wanted; ++d) {
            if (difatSector == kEndOfChain || difatSector == kFree) break;
            uint8_t difat[kSectorSize];
            if (ReadSect(difat, difatSector) != kSectorSize) break;
            bool readFailed = false;
            for (uint32_t k = 0; k < kFatPerSector - 1 && fatSectorsRead < wanted; ++k) {
                uint32_t sector = loadLe32(difat + 4 * k);
                if (sector == kEndOfChain || sector == kFree) break;
                if (!readFatSector(sector, fatSectorsRead, wanted)) {
                    readFailed = true;
                    break;
                }
            }
            if (readFailed) break;
            difatSector = loadLe32(difat + 4 * (kFatPerSector - 1));
        }
        if (fatSectorsRead == 0) opened = false;
        if (opened) m_fatLength = fatSectorsRead * kFatPerSector;
    }

    if (opened) opened = loadMiniFat(header) && loadDirectory(header);
    if (!opened) {
        clear();
        if (m_stream) m_stream->Release();
        m_stream = nullptr;
        return 0;
    }
    return 1;
}

bool COleFile::readFatSector(uint32_t sector, uint32_t& fatSectorsRead, uint32_t fatSectorsWanted) {
    if (fatSectorsRead >= fatSectorsWanted) return false;
    uint8_t raw[kSectorSize] = {};
    if (ReadSect(raw, sector) == 0) return false;
    uint32_t* slot = m_fat.get() + size_t(fatSectorsRead) * kFatPerSector;
    for (uint32_t k = 0; k < kFatPerSector; ++k) slot[k] = loadLe32(raw + 4 * k);
    ++fatSectorsRead;
    return true;
}

bool COleFile::loadMiniFat(const uint8_t* header) {
    uint64_t count = loadLe32(header + 64);
    // Mini-FAT sectors are distinct sectors of the file.
    if (count * kFatPerSector > 0xFFFFFFFEull || count > sectorsInFile(m_fileSize)) return false;
    m_miniFatLength = uint32_t(count * kFatPerSector);
    m_miniFat.reset(new (std::nothrow) uint32_t[size_t(m_miniFatLength) + 1]());
    if (!m_miniFat) return false;
    uint32_t sector = loadLe32(header + 60);
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0) sector = m_fat[sector];
        if (sector >= m_fatLength) return false;
        uint8_t raw[kSectorSize] = {};
        ReadSect(raw, sector);
        for (uint32_t k = 0; k < kFatPerSector; ++k) m_miniFat[size_t(i) * kFatPerSector + k] = loadLe32(raw + 4 * k);
    }
    return true;
}

bool COleFile::loadDirectory(const uint8_t* header) {
    m_firstDirectorySector = loadLe32(header + 48);
    if (m_firstDirectorySector == kEndOfChain) return true;  // an empty directory
    const uint32_t maxSectors = std::min(m_fatLength, sectorsInFile(m_fileSize));
    uint32_t sectors = 0;
    for (uint32_t s = m_firstDirectorySector;;) {
        if (s >= m_fatLength) return false;
        uint32_t next = m_fat[s];
        if (next == s || ++sectors > maxSectors) return false;
        if (next == kEndOfChain) break;
        s = next;
    }
    m_directory.reset(new (std::nothrow) uint8_t[size_t(sectors) * kSectorSize]());
    if (!m_directory) return false;
    uint32_t s = m_firstDirectorySector;
    for (uint32_t i = 0; i < sectors; ++i, s = m_fat[s]) ReadSect(m_directory.get() + size_t(i) * kSectorSize, s);
    m_entryCount = sectors * kEntriesPerSector;

    // The mini stream is the root entry's chain; its sectors are looked up once here.
    uint32_t root = entry32(0, kStartAt);
    for (uint32_t steps = 0; root < m_fatLength && steps < maxSectors; ++steps) {
        m_miniStreamSectors.push_back(root);
        root = m_fat[root];
    }
    return true;
}

bool COleFile::miniStreamSector(uint32_t miniSector, uint64_t* fileOffset) const {
    uint32_t index = miniSector / kMiniPerSector;
    if (index >= m_miniStreamSectors.size()) return false;
    *fileOffset = sectorOffset(m_miniStreamSectors[index]) + uint64_t(miniSector % kMiniPerSector) * kMiniSectorSize;
    return true;
}

uint32_t COleFile::ReadSect(void* buffer, uint32_t sector) {
    if (!m_stream || !buffer) return 0;
    return readAt(m_stream, sectorOffset(sector), buffer, kSectorSize);
}

uint32_t COleFile::WriteSect(const void* buffer, uint32_t sector) {
    uint64_t size = 0;
    if (!m_writable || !m_stream || !buffer || sector == kEndOfChain || !currentSize(&size)) return 0;
    if (sectorOffset(sector) + kSectorSize > size) return 0;
    return writeAt(m_stream, sectorOffset(sector), buffer, kSectorSize);
}

uint32_t COleFile::ReadMinSect(void* buffer, uint32_t miniSector) {
    uint64_t at = 0;
    if (!m_stream || !buffer || !miniStreamSector(miniSector, &at)) return 0;
    return readAt(m_stream, at, buffer, kMiniSectorSize);
}

uint32_t COleFile::WriteMinSect(const void* buffer, uint32_t miniSector) {
    uint64_t at = 0, size = 0;
    if (!m_writable || !m_stream || !buffer || miniSector == kEndOfChain) return 0;
    if (!miniStreamSector(miniSector, &at) || !currentSize(&size) || at + kMiniSectorSize > size) return 0;
    return writeAt(m_stream, at, buffer, kMiniSectorSize);
}

uint8_t* COleFile::GetDirEntry(uint32_t sid) {
    return validSid(sid) ? m_directory.get() + size_t(sid) * kEntrySize : nullptr;
}

uint32_t COleFile::GetStreamLen(uint32_t sid) const { return validSid(sid) ? entry32(sid, kSizeAt) : 0; }

uint32_t COleFile::GetChildSID(uint32_t sid) const { return validSid(sid) ? entry32(sid, kChildAt) : kNoSid; }

char* COleFile::GetStreamName(uint32_t sid) const {
    if (!validSid(sid)) return nullptr;
    const uint8_t* entry = m_directory.get() + size_t(sid) * kEntrySize;
    size_t capacity = size_t(loadLe16(entry + kNameLengthAt)) + 1;
    char* name = new (std::nothrow) char[capacity]();
    if (!name) return nullptr;
    wchar_t wide[33] = {};
    size_t n = 0;
    for (size_t i = 0; i < 32; ++i) {
        uint32_t unit = loadLe16(entry + 2 * i);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < 32) {
            uint32_t low = loadLe16(entry + 2 * (i + 1));
            if (low >= 0xDC00 && low <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        wide[n++] = wchar_t(unit);
    }
    // A name the locale cannot express comes back empty rather than half converted.
    if (std::wcstombs(name, wide, capacity - 1) == size_t(-1)) std::memset(name, 0, capacity);
    name[capacity - 1] = '\0';
    return name;
}

std::vector<uint32_t> COleFile::childTreeOrder(uint32_t parent) const {
    std::vector<uint32_t> order;
    if (!validSid(parent)) return order;
    std::vector<bool> visited(m_entryCount, false);
    std::deque<uint32_t> queue;
    uint32_t first = entry32(parent, kChildAt);
    if (validSid(first)) queue.push_back(first);
    while (!queue.empty()) {
        uint32_t node = queue.front();
        queue.pop_front();
        if (visited[node]) continue;
        visited[node] = true;
        order.push_back(node);
        for (uint32_t link : {entry32(node, kLeftAt), entry32(node, kRightAt)})
            if (validSid(link) && !visited[link]) queue.push_back(link);
    }
    return order;
}

uint32_t COleFile::findSid(uint32_t parent, const uint8_t* name, uint32_t length, bool lowBytesOnly) const {
    // The name field holds 32 code units including the terminator.
    if (!name || length > 31) return kNoSid;
    for (uint32_t sid : childTreeOrder(parent)) {
        const uint8_t* entry = m_directory.get() + size_t(sid) * kEntrySize;
        if (loadLe16(entry + kNameLengthAt) != 2 * length + 2) continue;
        bool same = true;
        for (uint32_t k = 0; same && k < length; ++k)
            same = lowBytesOnly ? entry[2 * k] == name[k]
                                : entry[2 * k] == name[2 * k] && entry[2 * k + 1] == name[2 * k + 1];
        if (same) return sid;
    }
    return kNoSid;
}

uint32_t COleFile::GetSID(uint32_t parent, const uint8_t* name, uint32_t length) const {
    return findSid(parent, name, length, false);
}

uint32_t COleFile::GetSID(uint32_t parent, const char* name) const {
    if (!name) return kNoSid;
    size_t length = strnlen(name, 32);
    return findSid(parent, reinterpret_cast<const uint8_t*>(name), uint32_t(length), true);
}

uint32_t COleFile::GetParantSID(uint32_t sid) const {
    if (!validSid(sid)) return kNoSid;
    // For each entry: the first entry that names it as child, and the first that names it as
    // left or right sibling.
    std::vector<uint32_t> childOwner(m_entryCount, kNoSid), siblingOwner(m_entryCount, kNoSid);
    for (uint32_t e = 0; e < m_entryCount; ++e) {
        uint32_t child = entry32(e, kChildAt);
        if (validSid(child) && childOwner[child] == kNoSid) childOwner[child] = e;
        for (uint32_t link : {entry32(e, kLeftAt), entry32(e, kRightAt)})
            if (validSid(link) && siblingOwner[link] == kNoSid) siblingOwner[link] = e;
    }
    uint32_t current = sid;
    for (uint32_t steps = 0; steps <= m_entryCount; ++steps) {
        if (childOwner[current] != kNoSid) return childOwner[current];
        if (siblingOwner[current] == kNoSid) return kNoSid;
        current = siblingOwner[current];
    }
    return kNoSid;
}

uint32_t COleFile::GetSiblingSID(uint32_t sid) const {
    uint32_t parent = GetParantSID(sid);
    if (parent == kNoSid) return kNoSid;
    std::vector<uint32_t> order = childTreeOrder(parent);
    auto at = std::find(order.begin(), order.end(), sid);
    if (at == order.end() || at + 1 == order.end()) return kNoSid;
    return *(at + 1);
}

uint32_t COleFile::transfer(uint8_t* data, uint32_t sid, uint32_t offset, uint32_t length, bool write) {
    if (!validSid(sid) || !data || length == 0) return 0;
    const uint32_t size = entry32(sid, kSizeAt);
    if (write && (!m_writable || uint64_t(offset) + length > size)) return 0;
    const bool regular = size >= kMiniStreamCutoff;
    const uint32_t block = regular ? kSectorSize : kMiniSectorSize;
    const uint32_t* table = regular ? m_fat.get() : m_miniFat.get();
    const uint32_t tableLength = regular ? m_fatLength : m_miniFatLength;

    // A chain visits each table entry at most once; a longer walk is a loop.
    uint32_t current = entry32(sid, kStartAt);
    uint64_t steps = offset / block;
    if (steps >= tableLength) return 0;
    for (uint64_t i = 0; i < steps; ++i) {
        if (current >= tableLength) return 0;
        current = table[current];
    }

    uint8_t scratch[kSectorSize];
    uint32_t inBlock = offset % block;
    uint32_t done = 0;
    for (uint64_t visited = steps; done < length && current < tableLength && visited < tableLength; ++visited) {
        uint32_t n = std::min(block - inBlock, length - done);
        uint8_t* target = (inBlock == 0 && n == block) ? data + done : scratch;
        auto readBlock = [&](uint8_t* into) { return regular ? ReadSect(into, current) : ReadMinSect(into, current); };
        if (write) {
            if (target == scratch) {
                if (readBlock(scratch) != block) break;
                std::memcpy(scratch + inBlock, data + done, n);
            }
            uint32_t written = regular ? WriteSect(target, current) : WriteMinSect(target, current);
            if (written != block) break;
        } else {
            uint32_t got = readBlock(target);
            if (target == scratch) {
                uint32_t usable = got > inBlock ? std::min(got - inBlock, n) : 0;
                std::memcpy(data + done, scratch + inBlock, usable);
                if (usable < n) {
                    done += usable;
                    break;
                }
            } else if (got != block) {
                done += got;
                break;
            }
        }
        done += n;
        inBlock = 0;
        current = table[current];
    }
    return done;
}

uint32_t COleFile::ReadStream(void* destination, uint32_t sid, uint32_t offset, uint32_t length) {
    return transfer(static_cast<uint8_t*>(destination), sid, offset, length, false);
}

uint32_t COleFile::WriteStream(const void* source, uint32_t sid, uint32_t offset, uint32_t length) {
    // transfer only reads from `data` when writing.
    return transfer(const_cast<uint8_t*>(static_cast<const uint8_t*>(source)), sid, offset, length, true);
}

uint32_t COleFile::WriteDirEntry(uint32_t sid) {
    uint64_t size = 0;
    if (!m_writable || !validSid(sid) || !currentSize(&size)) return 0;
    uint32_t sector = m_firstDirectorySector;
    for (uint32_t i = 0; i < sid / kEntriesPerSector; ++i) {
        if (sector >= m_fatLength) return 0;
        sector = m_fat[sector];
    }
    if (sector >= m_fatLength) return 0;
    uint64_t at = sectorOffset(sector) + uint64_t(sid % kEntriesPerSector) * kEntrySize;
    if (at + kEntrySize > size) return 0;
    return writeAt(m_stream, at, GetDirEntry(sid), kEntrySize) == kEntrySize ? 1 : 0;
}

uint32_t COleFile::SetStreamLen(uint32_t sid, uint32_t length) {
    if (!m_writable || !validSid(sid)) return 0;
    const uint32_t old = entry32(sid, kSizeAt);
    // Only shortens, and never moves a stream between the mini stream and regular sectors.
    bool allowed = old >= kMiniStreamCutoff ? old != kMiniStreamCutoff && length > kMiniStreamCutoff && length <= old
                                            : length <= old && length < kMiniStreamCutoff;
    if (!allowed) return 0;
    setEntry32(sid, kSizeAt, length);
    return WriteDirEntry(sid);
}

uint32_t COleFile::Remove(uint32_t sid) {
    if (!m_writable || !validSid(sid)) return 0;
    const uint32_t size = entry32(sid, kSizeAt);
    if (m_directory[size_t(sid) * kEntrySize + kTypeAt] == kTypeStream && size != 0) {
        static const uint8_t zeros[kMiniStreamCutoff] = {};
        for (uint32_t at = 0; at < size;) {
            uint32_t n = std::min<uint32_t>(sizeof zeros, size - at);
            if (WriteStream(zeros, sid, at, n) != n) break;
            at += n;
        }
        // Never claim more than the chain holds: a small stream keeps at most 65 bytes.
        setEntry32(sid, kSizeAt, size < kMiniStreamCutoff ? std::min(size, kRemovedMiniSize) : kRemovedRegularSize);
        if (!WriteDirEntry(sid)) return 0;
    }

    // The entry that links to it: left, right or child, in entry order.
    uint32_t owner = kNoSid, ownerField = 0;
    for (uint32_t e = 0; e < m_entryCount && owner == kNoSid; ++e) {
        if (e == sid) continue;
        for (uint32_t field : {kLeftAt, kRightAt, kChildAt}) {
            if (entry32(e, field) == sid) {
                owner = e;
                ownerField = field;
                break;
            }
        }
    }
    if (owner == kNoSid) return 0;

    const uint32_t left = entry32(sid, kLeftAt), right = entry32(sid, kRightAt);
    setEntry32(owner, ownerField, left != kNoSibling ? left : right);
    if (!WriteDirEntry(owner)) return 0;
    if (left != kNoSibling && right != kNoSibling) {
        // The right subtree hangs under the rightmost node of the left subtree.
        uint32_t node = left;
        for (uint32_t steps = 0;; ++steps) {
            if (!validSid(node) || steps > m_entryCount) return 0;
            uint32_t next = entry32(node, kRightAt);
            if (next == kNoSibling) break;
            node = next;
        }
        setEntry32(node, kRightAt, right);
        if (!WriteDirEntry(node)) return 0;
    }
    return 1;
}

}  // namespace scanex
