#include "host/qxbase/file_object.h"

#include <gtest/gtest.h>

#include "sdk/identifiers.h"

namespace {

TEST(FileObject, WritePastEndExtendsAndReadIsShortAtEnd) {
    host::FileObject* f = host::FileObject::fromBytes({1, 2, 3});
    IQEStream* s = static_cast<IQEStream*>(f);
    uint32_t done = 0;
    ASSERT_EQ(s->Seek(5, QE_SEEK_SET, nullptr), QE_OK);
    const uint8_t data[2] = {9, 9};
    ASSERT_EQ(s->Write(data, 2, &done), QE_OK);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(f->bytes(), (std::vector<uint8_t>{1, 2, 3, 0, 0, 9, 9}));
    uint8_t buf[8] = {};
    ASSERT_EQ(s->Seek(4, QE_SEEK_SET, nullptr), QE_OK);
    ASSERT_EQ(s->Read(buf, 8, &done), QE_OK);
    EXPECT_EQ(done, 3u);
    f->Release();
}

}  // namespace
