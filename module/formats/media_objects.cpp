#include "module/formats/media_objects.h"

#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_address.h"
#include "sdk/identifiers.h"

namespace {

// Reads exactly `length` bytes at `offset` into `out`; false on a failed seek or a short read.
bool readRecord(IUnknown* object, int offset, void* out, uint32_t length) {
    if (!out || offset < 0) return false;
    auto stream = remedy::queryInterface<IQEStream>(object, qe::IID_IQEStream);
    if (!stream) return false;
    return remedy::readExactAt(stream.get(), uint64_t(offset), out, length);
}

}  // namespace

int ReadHeaderObj(IUnknown* stream, ASF_HEADER_OBJ* out) {
    if (!readRecord(stream, 0, out, sizeof *out)) return 0;
    return out->objectId == ASF_HEADER_OBJECT_GUID ? 1 : 0;
}

int ReadObjGuidAndSize(IUnknown* stream, int offset, ASF_OBJ_GUID_AND_SIZE* out) {
    if (!readRecord(stream, offset, out, sizeof *out)) return 0;
    return out->objectSize >= sizeof *out ? 1 : 0;
}

int QuickTimeReadAtom(IUnknown* stream, int offset, QUICKTIME_ATOM* out) {
    if (!readRecord(stream, offset, out, sizeof *out)) return 0;
    if (!SwapByteOrder(&out->size, sizeof out->size)) return 0;
    return out->size >= sizeof *out ? 1 : 0;
}
