#include "module/toolkit/file_properties.h"

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

namespace {

constexpr uint32_t kPreparesParent = 0x200;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kVersionResourceType = 16;
constexpr uint32_t kMaxDirectories = 16;

InterfacePtr<IQEStream> streamOf(IQEArchive* archive, QRESULT* result) {
    InterfacePtr<IQEStream> stream;
    *result = archive->GetStream(stream.put());
    if (*result >= 0 && !stream) *result = QE_E_FAIL;
    return stream;
}

bool propertyPresent(IQEPropertyEx* properties, const GUID& id) { return properties->HasProperty(id) >= 0; }

// A cached PE fact: read it when stored, else compute it and store it (type 23).
template <class Compute>
QRESULT cachedPeFact(IQEArchive* archive, int* flag, const GUID& id, Compute compute) {
    if (!archive || !flag) return QE_E_FAIL;
    *flag = 0;
    QRESULT r = QE_OK;
    InterfacePtr<IQEStream> stream = streamOf(archive, &r);
    if (!stream) return r;
    InterfacePtr<IQEProperty> properties = queryInterface<IQEProperty>(stream.get(), qe::IID_IQEProperty);
    const QEPROPVALUE* stored = nullptr;
    if (properties && properties->GetProperty(id, &stored) >= 0 && stored) {
        *flag = int(stored->uintVal);
        return QE_OK;
    }
    InterfacePtr<IQEPEArchive> pe = queryInterface<IQEPEArchive>(archive, qe::IID_IQEPEArchive);
    InterfacePtr<IQEPERecordTable> records = queryInterface<IQEPERecordTable>(archive, qe::IID_IQEPERecordTable);
    if (!pe || !records) return QE_E_INVALIDARG;
    int answer = 0;
    r = compute(archive, records.get(), stream.get(), &answer);
    if (r < 0) return r;
    *flag = answer;
    if (properties) {
        QEPROPVALUE value{};
        value.vt = qe::VT_UINT;
        value.uintVal = uint32_t(answer);
        properties->SetProperty(id, &value);  // only a cache: the answer stands without it
    }
    return QE_OK;
}

// Entry `index` of the data directories, {0, 0} when the file has fewer.
QRESULT dataDirectory(IQEPERecordTable* records, uint32_t index, uint32_t* rva, uint32_t* size) {
    uint8_t directories[kMaxDirectories * 8] = {};
    uint32_t count = 0;
    QRESULT r = records->GetRecord(qe::PE_RECORD_DATA_DIRECTORY, 0, directories, sizeof directories, &count);
    if (r < 0) return r;
    *rva = *size = 0;
    if (index < count && index < kMaxDirectories) {
        *rva = remedy::loadLe32(directories + 8 * index);
        *size = remedy::loadLe32(directories + 8 * index + 4);
    }
    return QE_OK;
}

}  // namespace

int SetPidProperty(GUID id, IUnknown* object) {
    InterfacePtr<IQEProperty> properties = queryInterface<IQEProperty>(object, qe::IID_IQEProperty);
    if (!properties) return 0;
    QEPROPVALUE value{};
    value.vt = qe::VT_INT;
    value.intVal = 1;
    return properties->SetProperty(id, &value) >= 0 ? 1 : 0;
}

int GetPidProperty(GUID id, IUnknown* object) {
    InterfacePtr<IQEProperty> properties = queryInterface<IQEProperty>(object, qe::IID_IQEProperty);
    if (!properties) return 0;
    const QEPROPVALUE* value = nullptr;
    if (properties->GetProperty(id, &value) < 0 || !value) return 0;
    return value->vt == qe::VT_INT ? 1 : 0;
}

uint32_t GetTopArchive_Packer(IQEArchive* archive, IQEArchive** out, uint32_t flags) {
    if (!out) return 0;
    *out = archive;
    if (!archive) return 0;
    archive->AddRef();
    QRESULT r = QE_OK;
    InterfacePtr<IQEStream> stream = streamOf(archive, &r);
    InterfacePtr<IQXStream> x = queryInterface<IQXStream>(stream.get(), qe::IID_IQXStream);
    if (!x) return 0;
    InterfacePtr<IQEArchive> parent;
    if (x->GetParentArchive(parent.put()) < 0 || !parent) return 0;
    InterfacePtr<IQEStream> parentStream = streamOf(parent.get(), &r);
    InterfacePtr<IQEPropertyEx> parentProperties =
        queryInterface<IQEPropertyEx>(parentStream.get(), qe::IID_IQEPropertyEx);
    if (!parentProperties || !propertyPresent(parentProperties.get(), qe::PID_File_PackerJudeged) ||
        !propertyPresent(parentProperties.get(), qe::PID_File_HasKnownPacker))
        return 0;
    if (flags & kPreparesParent) {
        InterfacePtr<IQXStream> parentX = queryInterface<IQXStream>(parentStream.get(), qe::IID_IQXStream);
        if (!parentX || parentX->Prepare(flags) < 0) return 0xFFFFFFFFu;
    }
    archive->Release();
    *out = parent.detach();
    return 1;
}

QRESULT CheckCertifiInfo(IQEArchive* archive, int* hasCertificate) {
    return cachedPeFact(archive, hasCertificate, qe::PID_FILE_PE_CERTIFICATE,
                        [](IQEArchive*, IQEPERecordTable* records, IQEStream*, int* answer) {
                            uint32_t rva = 0, size = 0;
                            QRESULT r = dataDirectory(records, kSecurityDirectory, &rva, &size);
                            if (r >= 0) *answer = (rva || size) ? 1 : 0;
                            return r;
                        });
}

QRESULT CheckVersion(IQEArchive* archive, int* hasVersion) {
    return cachedPeFact(archive, hasVersion, qe::PID_FILE_PE_VERSION,
                        [](IQEArchive* pe, IQEPERecordTable* records, IQEStream* stream, int* answer) {
                            uint32_t rva = 0, size = 0;
                            QRESULT r = dataDirectory(records, kResourceDirectory, &rva, &size);
                            if (r < 0 || rva == 0) return r;
                            InterfacePtr<IQEPESectionTable> sections =
                                queryInterface<IQEPESectionTable>(pe, qe::IID_IQEPESectionTable);
                            if (!sections) return QE_E_INVALIDARG;
                            uint32_t root = 0;
                            if ((r = sections->rva2raw(rva, &root)) < 0) return r;
                            uint8_t directory[16];
                            if (!remedy::readExactAt(stream, root, directory, sizeof directory)) return QE_E_FAIL;
                            const uint32_t entries =
                                uint32_t(remedy::loadLe16(directory + 12)) + remedy::loadLe16(directory + 14);
                            for (uint32_t i = 0; i < entries; ++i) {
                                uint8_t entry[8];
                                if (!remedy::readExactAt(stream, uint64_t(root) + 16 + 8ull * i, entry, sizeof entry)) return QE_E_FAIL;
                                const uint32_t name = remedy::loadLe32(entry);
                                if (!(name & 0x80000000u) && (name & 0xFFFF) == kVersionResourceType) {
                                    *answer = 1;
                                    break;
                                }
                            }
                            return QE_OK;
                        });
}

uint32_t GetTopStream_Obj(IUnknown*, IUnknown** out) {
    if (out) *out = nullptr;
    return 0xFFFFFFFFu;
}

uint32_t GetTopArchive_Obj(IUnknown*, IUnknown** out, uint32_t) {
    if (out) *out = nullptr;
    return 0xFFFFFFFFu;
}
