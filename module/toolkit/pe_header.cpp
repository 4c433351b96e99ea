#include "module/toolkit/pe_header.h"

#include <algorithm>
#include <bit>
#include <new>
#include <optional>
#include <type_traits>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/file_interfaces.h"
#include "sdk/identifiers.h"

namespace {

constexpr uint64_t kFourGiB = 0x100000000ull;

// A block [offset, offset + length) that 32-bit file offsets can address.
bool addressable(uint64_t offset, uint64_t length) { return offset < kFourGiB && length <= kFourGiB - offset; }

// File access through the emulator's file operations.
class ExecFileAccess {
public:
    explicit ExecFileAccess(IExecExport* exec) : exec_(exec) {}
    bool valid() const { return exec_ != nullptr; }
    // True once a read came back shorter than the file holds: the host failed it.
    bool refused() const { return refused_; }
    uint64_t read(void* buffer, uint64_t offset, uint64_t length) {
        if (!addressable(offset, length)) return 0;
        const uint32_t got = exec_->ReadFile(buffer, uint32_t(offset), uint32_t(length));
        if (remedy::readWasRefused(*exec_, uint32_t(offset), uint32_t(length), got)) refused_ = true;
        return got;
    }
    uint64_t write(const void* buffer, uint64_t offset, uint64_t length) {
        if (!addressable(offset, length)) return 0;
        return exec_->WriteFile(buffer, uint32_t(offset), uint32_t(length));
    }
    std::optional<uint64_t> size() {
        const uint32_t size = exec_->GetFileSize();
        if (size == 0xFFFFFFFFu) return std::nullopt;
        return size;
    }

private:
    IExecExport* exec_;
    bool refused_ = false;
};

// File access through the stream (the 64-bit view for its size where the host offers one). The
// stream is released when the access ends.
class StreamFileAccess {
public:
    explicit StreamFileAccess(IUnknown* source)
        : stream_(remedy::queryInterface<IQEStream>(source, qe::IID_IQEStream)) {}

    bool valid() const { return bool(stream_); }
    uint64_t read(void* buffer, uint64_t offset, uint64_t length) {
        if (!addressable(offset, length)) return 0;
        return remedy::readAt(stream_.get(), offset, buffer, uint32_t(length));
    }
    uint64_t write(const void* buffer, uint64_t offset, uint64_t length) {
        if (!addressable(offset, length)) return 0;
        return remedy::writeAt(stream_.get(), offset, buffer, uint32_t(length));
    }
    std::optional<uint64_t> size() { return remedy::streamSize(stream_.get()); }

private:
    remedy::InterfacePtr<IQEStream> stream_;
};

// The file header's fields read from its stored bytes, whatever the record's current order.
uint16_t storedNumberOfSections(const IMAGE_FILE_HEADER& header) {
    return remedy::loadLe16(reinterpret_cast<const uint8_t*>(&header) + offsetof(IMAGE_FILE_HEADER, NumberOfSections));
}
uint16_t storedSizeOfOptionalHeader(const IMAGE_FILE_HEADER& header) {
    return remedy::loadLe16(reinterpret_cast<const uint8_t*>(&header) +
                            offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader));
}

uint64_t sectionTableOffset(uint32_t peOffset, const IMAGE_FILE_HEADER& header) {
    return uint64_t(peOffset) + pe::kOptionalHeaderOffset + storedSizeOfOptionalHeader(header);
}

template <class Headers, class Access>
int initializeHeaders(Headers& headers, Access& file) {
    if (!file.valid()) return 0;
    uint8_t word[4] = {};
    if (file.read(word, 0, 2) != 2 || remedy::loadLe16(word) != pe::kDosSignature) return 0;
    if (file.read(word, pe::kPeOffsetField, 4) != 4) return 0;
    const uint32_t peOffset = remedy::loadLe32(word);
    if (file.read(word, peOffset, 4) != 4 || remedy::loadLe16(word) != pe::kNtSignature) return 0;
    headers.peOffset = peOffset;

    if (file.read(&headers.fileHeader, uint64_t(peOffset) + pe::kFileHeaderOffset, sizeof(IMAGE_FILE_HEADER)) !=
        sizeof(IMAGE_FILE_HEADER))
        return 0;
    if (file.read(&headers.optionalHeader, uint64_t(peOffset) + pe::kOptionalHeaderOffset,
                  sizeof(IMAGE_OPTIONAL_HEADER32)) != sizeof(IMAGE_OPTIONAL_HEADER32))
        return 0;

    delete[] headers.dataDirectories;
    headers.dataDirectories = new (std::nothrow) IMAGE_DATA_DIRECTORY[pe::kDataDirectoryCount]();
    if (!headers.dataDirectories) return 0;
    constexpr uint64_t directoryBytes = pe::kDataDirectoryCount * sizeof(IMAGE_DATA_DIRECTORY);
    if (file.read(headers.dataDirectories, uint64_t(peOffset) + pe::kDataDirectoryOffset, directoryBytes) <
        directoryBytes)
        return 0;

    // The section table replaces the held one only once it has been read whole, so that
    // `sections` never disagrees with `sectionCount`. A table the file cannot hold fails
    // before anything is allocated for it.
    headers.sectionCount = storedNumberOfSections(headers.fileHeader);
    delete[] headers.sections;
    headers.sections = nullptr;
    const uint64_t tableOffset = sectionTableOffset(peOffset, headers.fileHeader);
    const uint64_t tableBytes = uint64_t(headers.sectionCount) * sizeof(IMAGE_SECTION_HEADER);
    if (const std::optional<uint64_t> fileSize = file.size();
        fileSize && !remedy::rangeInside(tableOffset, tableBytes, *fileSize))
        return 0;
    IMAGE_SECTION_HEADER* table = new (std::nothrow) IMAGE_SECTION_HEADER[headers.sectionCount]();
    if (!table) return 0;
    if (tableBytes && file.read(table, tableOffset, tableBytes) != tableBytes) {
        delete[] table;
        return 0;
    }
    headers.sections = table;
    headers.SwapByte();
    return 1;
}

template <class Headers, class Access>
int dumpHeaders(Headers& headers, Access& file) {
    if (!file.valid() || !headers.sections || !headers.dataDirectories) return 0;
    headers.SwapByte();
    const uint64_t peOffset = headers.peOffset;
    const uint64_t tableBytes = uint64_t(headers.sectionCount) * sizeof(IMAGE_SECTION_HEADER);
    constexpr uint64_t directoryBytes = pe::kDataDirectoryCount * sizeof(IMAGE_DATA_DIRECTORY);
    const bool complete =
        (tableBytes == 0 ||
         file.write(headers.sections, sectionTableOffset(headers.peOffset, headers.fileHeader), tableBytes) ==
             tableBytes) &&
        file.write(&headers.fileHeader, peOffset + pe::kFileHeaderOffset, sizeof(IMAGE_FILE_HEADER)) ==
            sizeof(IMAGE_FILE_HEADER) &&
        file.write(&headers.optionalHeader, peOffset + pe::kOptionalHeaderOffset, sizeof(IMAGE_OPTIONAL_HEADER32)) ==
            sizeof(IMAGE_OPTIONAL_HEADER32) &&
        file.write(headers.dataDirectories, peOffset + pe::kDataDirectoryOffset, directoryBytes) == directoryBytes;
    headers.SwapByte();
    return complete ? 1 : 0;
}

template <class T>
void swapField(T& value) {
    static_assert(std::is_unsigned_v<T>);
    if constexpr (sizeof(T) == 2) value = T((value >> 8) | (value << 8));
    if constexpr (sizeof(T) == 4)
        value = T((value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24));
}

template <class Headers>
void swapHeaders(Headers& headers) {
    if constexpr (std::endian::native == std::endian::little) {
        (void)headers;
        return;
    } else {
        IMAGE_FILE_HEADER& f = headers.fileHeader;
        for (auto* v : {&f.Machine, &f.NumberOfSections, &f.SizeOfOptionalHeader, &f.Characteristics}) swapField(*v);
        for (auto* v : {&f.TimeDateStamp, &f.PointerToSymbolTable, &f.NumberOfSymbols}) swapField(*v);
        IMAGE_OPTIONAL_HEADER32& o = headers.optionalHeader;
        for (auto* v : {&o.Magic, &o.MajorOperatingSystemVersion, &o.MinorOperatingSystemVersion,
                        &o.MajorImageVersion, &o.MinorImageVersion, &o.MajorSubsystemVersion,
                        &o.MinorSubsystemVersion, &o.Subsystem, &o.DllCharacteristics})
            swapField(*v);
        for (auto* v : {&o.SizeOfCode, &o.SizeOfInitializedData, &o.SizeOfUninitializedData,
                        &o.AddressOfEntryPoint, &o.BaseOfCode, &o.BaseOfData, &o.ImageBase, &o.SectionAlignment,
                        &o.FileAlignment, &o.Win32VersionValue, &o.SizeOfImage, &o.SizeOfHeaders, &o.CheckSum,
                        &o.SizeOfStackReserve, &o.SizeOfStackCommit, &o.SizeOfHeapReserve, &o.SizeOfHeapCommit,
                        &o.LoaderFlags, &o.NumberOfRvaAndSizes})
            swapField(*v);
        if (headers.dataDirectories) {
            for (uint32_t i = 0; i < pe::kDataDirectoryCount; ++i) {
                swapField(headers.dataDirectories[i].VirtualAddress);
                swapField(headers.dataDirectories[i].Size);
            }
        }
        if (headers.sections) {
            for (uint32_t i = 0; i < headers.sectionCount; ++i) {
                IMAGE_SECTION_HEADER& s = headers.sections[i];
                for (auto* v : {&s.VirtualSize, &s.VirtualAddress, &s.SizeOfRawData, &s.PointerToRawData,
                                &s.PointerToRelocations, &s.PointerToLinenumbers, &s.Characteristics})
                    swapField(*v);
                swapField(s.NumberOfRelocations);
                swapField(s.NumberOfLinenumbers);
            }
        }
    }
}

}  // namespace

CPEHeander::CPEHeander() : CPEHeander(nullptr) {}
CPEHeander::CPEHeander(IExecExport* src)
    : peOffset(0), sectionCount(0), source(src), fileHeader{}, optionalHeader{}, sections(nullptr),
      dataDirectories(nullptr) {}
CPEHeander::~CPEHeander() {
    delete[] dataDirectories;
    delete[] sections;
}
int CPEHeander::Initialize() { return remedy::readPeHeaders(*this) == remedy::PeHeadersRead::Read ? 1 : 0; }
int CPEHeander::Dump() {
    ExecFileAccess file(source);
    return dumpHeaders(*this, file);
}
void CPEHeander::SwapByte() { swapHeaders(*this); }

CPEHeander2::CPEHeander2() : CPEHeander2(nullptr) {}
CPEHeander2::CPEHeander2(IUnknown* src)
    : peOffset(0), sectionCount(0), source(src), fileHeader{}, optionalHeader{}, sections(nullptr),
      dataDirectories(nullptr) {}
CPEHeander2::~CPEHeander2() {
    delete[] dataDirectories;
    delete[] sections;
}
int CPEHeander2::Initialize() {
    StreamFileAccess file(source);
    return initializeHeaders(*this, file);
}
int CPEHeander2::Dump() {
    StreamFileAccess file(source);
    return dumpHeaders(*this, file);
}
void CPEHeander2::SwapByte() { swapHeaders(*this); }

namespace remedy {

PeHeadersRead readPeHeaders(CPEHeander& headers) {
    ExecFileAccess file(headers.source);
    if (initializeHeaders(headers, file)) return PeHeadersRead::Read;
    return file.refused() ? PeHeadersRead::Refused : PeHeadersRead::NotPe;
}

}  // namespace remedy
