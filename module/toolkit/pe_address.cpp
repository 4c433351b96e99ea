#include "module/toolkit/pe_address.h"

#include <algorithm>

#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

template <class Convert>
uint32_t convertThroughHost(STScanInfo* info, Convert convert) {
    if (!info) return kNoAddress;
    InterfacePtr<IQEArchive> archive = remedy::openHostPeArchive(info->rot, info->stream);
    InterfacePtr<IQEPESectionTable> sections =
        queryInterface<IQEPESectionTable>(archive.get(), qe::IID_IQEPESectionTable);
    if (!sections) return kNoAddress;
    uint32_t out = 0;
    if (convert(sections.get(), &out) < 0) return kNoAddress;
    return out;
}

}  // namespace

namespace remedy {

InterfacePtr<IQEArchive> openHostPeArchive(IUnknown* rot, IUnknown* stream) {
    InterfacePtr<IQERunningObjectTable> table =
        queryInterface<IQERunningObjectTable>(rot, qe::IID_IQERunningObjectTable);
    if (!table || !stream) return {};
    InterfacePtr<IUnknown> loaderSource;
    if (table->GetObject(qe::PID_ROT_ObjectLoader, loaderSource.put()) < 0) return {};
    InterfacePtr<IQEObjectLoader> loader = queryInterface<IQEObjectLoader>(loaderSource.get(), qe::IID_IQEObjectLoader);
    if (!loader) return {};
    InterfacePtr<IUnknown> created;
    if (loader->CreateInstance(rot, qe::CLSID_CQEPEArchive, nullptr, qe::IID_IUnknown, created.putVoid()) < 0)
        return {};
    InterfacePtr<IQEArchive> archive = queryInterface<IQEArchive>(created.get(), qe::IID_IQEArchive);
    if (!archive || archive->Open(stream) < 0) return {};
    return archive;
}

}  // namespace remedy

uint32_t rva2raw(uint32_t rva, STScanInfo* info) {
    return convertThroughHost(info, [rva](IQEPESectionTable* s, uint32_t* out) { return s->rva2raw(rva, out); });
}

uint32_t raw2rva(uint32_t offset, STScanInfo* info) {
    return convertThroughHost(info, [offset](IQEPESectionTable* s, uint32_t* out) { return s->raw2rva(offset, out); });
}

int SwapByteOrder(void* buffer, int32_t length) {
    if (!buffer) return 0;
    if (length < 2) return 1;
    auto* bytes = static_cast<uint8_t*>(buffer);
    std::reverse(bytes, bytes + length);
    return 1;
}
