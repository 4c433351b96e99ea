#include "host/qxbase/format_list.h"

#include <algorithm>
#include <string>

#include "sdk/identifiers.h"

namespace host {

std::vector<uint32_t> readFormatList(IUnknown* file) {
    std::vector<uint32_t> formats;
    IQEProperty* properties = nullptr;
    if (!file || file->QueryInterface(qe::IID_IQEProperty, reinterpret_cast<void**>(&properties)) != QE_OK)
        return formats;
    const QEPROPVALUE* value = nullptr;
    if (properties->GetProperty(qe::PID_File_FormatList, &value) == QE_OK && value && value->vt == qe::VT_LPSTR &&
        value->narrowVal) {
        // Decimal numbers separated by spaces; a token that is not one is skipped.
        std::string text = value->narrowVal;
        size_t pos = 0;
        while (pos < text.size() && formats.size() < kMaxListedFormats) {
            size_t end = text.find(' ', pos);
            if (end == std::string::npos) end = text.size();
            std::string token = text.substr(pos, end - pos);
            pos = end + 1;
            if (token.empty() || token.size() > 10 || token.find_first_not_of("0123456789") != std::string::npos)
                continue;
            uint64_t number = std::stoull(token);
            if (number <= 0xFFFFFFFFu) formats.push_back(uint32_t(number));
        }
    }
    properties->Release();
    return formats;
}

QRESULT writeFormatList(IUnknown* file, const std::vector<uint32_t>& formats) {
    if (!file || formats.size() > kMaxListedFormats) return QE_E_INVALIDARG;
    IQEProperty* properties = nullptr;
    QRESULT r = file->QueryInterface(qe::IID_IQEProperty, reinterpret_cast<void**>(&properties));
    if (r != QE_OK) return r;
    std::string text;
    for (uint32_t code : formats) {
        if (!text.empty()) text += ' ';
        text += std::to_string(code);
    }
    QEPROPVALUE value{};
    value.vt = qe::VT_LPSTR;
    value.narrowVal = text.c_str();
    r = properties->SetProperty(qe::PID_File_FormatList, &value);
    properties->Release();
    return r;
}

FormatList::FormatList(IUnknown* file) : file_(file) {
    if (file_) file_->AddRef();
}

FormatList::~FormatList() {
    if (file_) file_->Release();
}

QRESULT FormatList::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid != qe::IID_IUnknown && iid != qe::IID_IQEFormatList) return QE_E_NOINTERFACE;
    AddRef();
    *out = static_cast<IQEFormatList*>(this);
    return QE_OK;
}

uint32_t FormatList::AddRef() { return refs_.add(); }

uint32_t FormatList::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

std::vector<uint32_t> FormatList::current() const { return file_ ? readFormatList(file_) : own_; }

QRESULT FormatList::Find(uint32_t formatCode) {
    std::vector<uint32_t> formats = current();
    return std::find(formats.begin(), formats.end(), formatCode) != formats.end() ? QE_OK : QE_E_FAIL;
}

QRESULT FormatList::Add(uint32_t formatCode) {
    std::vector<uint32_t> formats = current();
    if (std::find(formats.begin(), formats.end(), formatCode) != formats.end()) return QE_OK;
    if (formats.size() >= kMaxListedFormats) return QE_E_OUTOFMEMORY;
    formats.push_back(formatCode);
    if (!file_) {
        own_ = std::move(formats);
        return QE_OK;
    }
    return writeFormatList(file_, formats);
}

}  // namespace host
