// The emulator's file operations: they work on the file object's bytes directly, so the
// stream and the emulator always show the same file.
#include <algorithm>
#include <cstring>

#include "host/emulator/emulator_impl.h"

namespace host {

namespace {
constexpr uint32_t kMaxMemorySearch = 64u << 20;
}

size_t EmulatorImpl::fileSize() const { return file_ ? file_->bytes().size() : 0; }

bool EmulatorImpl::growTo(uint64_t size) {
    std::vector<uint8_t>* bytes = file_ ? file_->writableBytes() : nullptr;
    if (!bytes) return false;
    if (size <= bytes->size()) return true;
    if (size > kMaxFileGrowth) return false;
    try {
        bytes->resize(size_t(size), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

uint32_t EmulatorImpl::ReadFile(void* buffer, uint32_t offset, uint32_t length) {
    if (!buffer || !file_ || offset >= fileSize()) return 0;
    if (file_->streamCallFails(StreamOp::Read)) return 0;
    const uint32_t count = uint32_t(std::min<uint64_t>(length, fileSize() - offset));
    std::memcpy(buffer, file_->bytes().data() + offset, count);
    filePosition_ = offset + count;
    return count;
}

uint32_t EmulatorImpl::WriteFile(const void* buffer, uint32_t offset, uint32_t length) {
    if (!buffer || !file_ || length == 0) return 0;
    if (file_->streamCallFails(StreamOp::Write)) return 0;
    uint64_t end = uint64_t(offset) + length;
    if (!growTo(end)) {
        // Lengthen only as far as allowed; write what fits.
        const uint64_t limit = std::max<uint64_t>(fileSize(), kMaxFileGrowth);
        if (offset >= limit) return 0;
        end = limit;
        if (!growTo(end)) return 0;
    }
    const uint32_t count = uint32_t(end - offset);
    std::memcpy(file_->writableBytes()->data() + offset, buffer, count);  // growTo made them writable
    filePosition_ = offset + count;
    return count;
}

uint32_t EmulatorImpl::ReadFileSeq(void* buffer, uint32_t length) {
    if (length == 0) return 1;
    return ReadFile(buffer, filePosition_, length) == length ? 1 : 0;
}

uint32_t EmulatorImpl::WriteFileSeq(const void* buffer, uint32_t length) {
    if (length == 0) return 1;
    return WriteFile(buffer, filePosition_, length) == length ? 1 : 0;
}

void EmulatorImpl::SetFilePos(uint32_t offset, uint32_t origin) {
    int64_t base = 0;
    if (origin == 1) base = filePosition_;
    if (origin == 2) base = int64_t(fileSize());
    const int64_t target = origin == 0 ? int64_t(offset) : base + int32_t(offset);
    filePosition_ = uint32_t(std::clamp<int64_t>(target, 0, 0xFFFFFFFFll));
}

uint32_t EmulatorImpl::GetFileSize() {
    if (!file_ || fileSize() > 0xFFFFFFFEull) return 0xFFFFFFFFu;
    return uint32_t(fileSize());
}

uint32_t EmulatorImpl::SetFileSize(uint32_t size) {
    if (!file_ || file_->streamCallFails(StreamOp::SetSize)) return 0;
    if (size <= fileSize()) {
        std::vector<uint8_t>* bytes = file_->writableBytes();
        if (!bytes) return 0;
        bytes->resize(size);
        return 1;
    }
    return growTo(size) ? 1 : 0;
}

uint32_t EmulatorImpl::DeleteFile() { return file_ && file_->Remove() == QE_OK ? 1 : 0; }

uint32_t EmulatorImpl::MoveFileData(uint32_t dst, uint32_t src, uint32_t length, uint32_t flag) {
    if (!file_ || src > fileSize() || flag > 1) return 0;
    if (file_->streamCallFails(StreamOp::Write)) return 0;
    const uint32_t count = uint32_t(std::min<uint64_t>(length, fileSize() - src));
    if (!growTo(uint64_t(dst) + count)) return 0;
    std::vector<uint8_t>& bytes = *file_->writableBytes();  // growTo made them writable
    std::memmove(bytes.data() + dst, bytes.data() + src, count);
    if (flag == 1) bytes.resize(size_t(dst) + count);
    return 1;
}

uint32_t EmulatorImpl::PatchFile(uint32_t offset, const void* buffer, uint32_t length) {
    if (!buffer || !file_ || uint64_t(offset) + length > fileSize()) return 0;
    if (file_->streamCallFails(StreamOp::Write)) return 0;
    std::vector<uint8_t>* bytes = file_->writableBytes();
    if (!bytes) return 0;
    std::memcpy(bytes->data() + offset, buffer, length);
    return 1;
}

uint32_t EmulatorImpl::FillFile(uint32_t offset, uint32_t byte, uint32_t length) {
    if (!file_ || offset > fileSize()) return 0;
    if (file_->streamCallFails(StreamOp::Write)) return 0;
    const uint32_t count = uint32_t(std::min<uint64_t>(length, fileSize() - offset));
    std::vector<uint8_t>* bytes = file_->writableBytes();
    if (!bytes) return 0;
    std::memset(bytes->data() + offset, int(byte & 0xFF), count);
    return 1;
}

uint32_t EmulatorImpl::CutFile(uint32_t offset, uint32_t length) {
    if (!file_) return 0;
    if (length == 0) return 1;
    if (offset > fileSize()) return 0;
    if (file_->streamCallFails(StreamOp::SetSize)) return 0;
    std::vector<uint8_t>* bytes = file_->writableBytes();
    if (!bytes) return 0;
    const uint32_t count = uint32_t(std::min<uint64_t>(length, bytes->size() - offset));
    bytes->erase(bytes->begin() + offset, bytes->begin() + offset + count);
    return 1;
}

uint32_t EmulatorImpl::Search(uint32_t start, uint32_t length, const void* pattern, uint32_t patternLength,
                              uint32_t* found, uint32_t inMemory) {
    if (!pattern || !found || patternLength == 0 || length < patternLength) return 0;
    const uint64_t wanted = std::min<uint64_t>(length, 0x100000000ull - start);  // overflow: to the end
    const auto* needle = static_cast<const uint8_t*>(pattern);
    if (inMemory == 0) {
        if (!file_ || start >= fileSize()) return 0;
        const uint8_t* from = file_->bytes().data() + start;
        const uint8_t* to = from + std::min<uint64_t>(wanted, fileSize() - start);
        const void* hit = ::memmem(from, size_t(to - from), needle, patternLength);
        if (!hit) return 0;
        *found = start + uint32_t(static_cast<const uint8_t*>(hit) - from);
        return 1;
    }
    if (inMemory != 1 || !ensureLoaded()) return 0;
    const uint64_t span = cpu_->mappedRun(start, std::min<uint64_t>(wanted, kMaxMemorySearch));
    if (span < patternLength) return 0;
    std::vector<uint8_t> window(span);
    const uint32_t got = cpu_->read(start, window.data(), uint32_t(span));
    const void* hit = ::memmem(window.data(), got, needle, patternLength);
    if (!hit) return 0;
    *found = start + uint32_t(static_cast<const uint8_t*>(hit) - window.data());
    return 1;
}

uint32_t EmulatorImpl::CommitImage() {
    if (inRun_ || !ensureLoaded() || !file_) return 0;
    if (file_->streamCallFails(StreamOp::Write)) return 0;
    std::vector<uint8_t>* writable = file_->writableBytes();
    if (!writable) return 0;
    std::vector<uint8_t>& bytes = *writable;
    for (const FileMapping& m : program_.mappings) {
        if (m.fileOffset >= bytes.size()) continue;
        const uint32_t length = uint32_t(std::min<uint64_t>(m.length, bytes.size() - m.fileOffset));
        std::vector<uint8_t> image(length);
        if (cpu_->read(m.address, image.data(), length) != length) return 0;
        // Undo what the loader changed, so that only the program's own changes reach the file.
        for (const LoadPatch& patch : program_.patches) {
            if (patch.address < m.address || patch.address - m.address + patch.size > length) continue;
            uint8_t* at = image.data() + (patch.address - m.address);
            if (patch.size == 2) {
                const uint16_t value = uint16_t((at[0] | at[1] << 8) - patch.delta);
                at[0] = uint8_t(value), at[1] = uint8_t(value >> 8);
            } else {
                std::memcpy(at, &patch.original, 4);
            }
        }
        std::memcpy(bytes.data() + m.fileOffset, image.data(), length);
    }
    return 1;
}

}  // namespace host
