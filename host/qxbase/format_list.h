// The formats a file also is, beside its current format ("FormatList").
//
// The list is stored on the file object itself as PID_File_FormatList: a narrow string (tag 30)
// of decimal format codes separated by spaces, current format first ("0 39" for a PDF). Any
// object with IQEProperty can carry it, so a FormatList can be made over any file object.
#pragma once

#include <cstdint>
#include <vector>

#include "host/qxbase/ref_count.h"
#include "sdk/file_interfaces.h"

namespace host {

// At most this many codes are read from or written to a file's list.
constexpr size_t kMaxListedFormats = 64;

// The codes stored on `file` (empty when it has no list or no IQEProperty).
std::vector<uint32_t> readFormatList(IUnknown* file);
// Replaces the stored list; a host result.
QRESULT writeFormatList(IUnknown* file, const std::vector<uint32_t>& formats);

class FormatList final : public IQEFormatList {
public:
    // Over the list of `file` (reference kept); with a null file, over a list of its own.
    // Starts with one reference.
    explicit FormatList(IUnknown* file);

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // 0 when the code is listed, QE_E_FAIL otherwise.
    QRESULT Find(uint32_t formatCode) override;
    // Adds the code (nothing when it is listed already); fails when the list is full.
    QRESULT Add(uint32_t formatCode) override;

private:
    ~FormatList();
    std::vector<uint32_t> current() const;

    RefCount refs_;
    IUnknown* file_;
    std::vector<uint32_t> own_;
};

}  // namespace host
