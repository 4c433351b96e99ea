// A host file object over bytes in memory, for handing the readers a stream.
#pragma once

#include <utility>

#include "host/qxbase/file_object.h"
#include "tests/fixtures/bytes.h"

namespace formats_test {

class HostFile {
public:
    explicit HostFile(fixtures::Bytes bytes) : object_(host::FileObject::fromBytes(std::move(bytes))) {}
    ~HostFile() { stream()->Release(); }
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    IQEStream* stream() const { return static_cast<IQEStream*>(object_); }
    IUnknown* unknown() const { return static_cast<IQEStream*>(object_); }
    host::ByteView bytes() const { return object_->bytes(); }
    host::FileObject& object() const { return *object_; }

private:
    host::FileObject* object_;
};

}  // namespace formats_test
