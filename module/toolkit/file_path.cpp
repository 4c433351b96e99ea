#include "module/toolkit/file_path.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

int GetFileName(CFilePath& path, IQEArchive* archive) {
    if (!archive) return 0;
    InterfacePtr<IQEStream> stream;
    if (archive->GetStream(stream.put()) != QE_OK || !stream) return 0;
    InterfacePtr<IQxHandleFile> handle = queryInterface<IQxHandleFile>(stream.get(), qe::IID_IQxHandleFile);
    if (!handle) return 0;
    QEPATHRECORD record{};
    if (handle->GetPath(&record) < 0) return 0;
    if (!record.path || record.path == path.buffer) return 1;
    const bool wide = record.kind != 0;
    const uint64_t length = wide ? (uint64_t(std::wcslen(static_cast<const wchar_t*>(record.path))) + 1) * sizeof(wchar_t)
                                 : uint64_t(std::strlen(static_cast<const char*>(record.path))) + 1;
    if (length >= 0xFFFFFFFFull) return 0;
    if (length > path.capacity) {
        delete[] path.buffer;
        path.buffer = nullptr;
        path.capacity = 0;
        path.length = 0;
        path.buffer = new (std::nothrow) uint8_t[length + 1];
        if (!path.buffer) return 0;
        path.capacity = uint32_t(length);
        path.buffer[length] = 0;
    }
    path.wide = wide ? 1 : 0;
    path.length = uint32_t(length);
    std::memcpy(path.buffer, record.path, size_t(length));
    return 1;
}
