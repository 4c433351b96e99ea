// An in-memory host file object over one fuzz input, released when the input is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/qxbase/file_object.h"

namespace fuzz {

class FileInput {
public:
    FileInput(const uint8_t* data, size_t size)
        : file_(host::FileObject::fromBytes(std::vector<uint8_t>(data, data + size))) {}
    ~FileInput() { file_->Release(); }
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    host::FileObject* file() const { return file_; }
    IQEStream* stream() const { return static_cast<IQEStream*>(file_); }
    IUnknown* unknown() const { return static_cast<IUnknown*>(stream()); }
    IQEArchive* archive() const { return static_cast<IQEArchive*>(file_); }

private:
    host::FileObject* file_;
};

}  // namespace fuzz
