// SHA-256 and base64, as the quarantine records use them: known vectors and exact round trips.
#include <gtest/gtest.h>

#include <string>

#include "host/base64.h"
#include "host/sha256.h"

namespace {

struct DigestCase {
    std::string input, hex;
};

TEST(Sha256, KnownVectors) {
    const DigestCase cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},  // one block, just
    };
    for (const DigestCase& c : cases) {
        EXPECT_EQ(host::Sha256::hex(reinterpret_cast<const uint8_t*>(c.input.data()), c.input.size()), c.hex)
            << c.input.size() << " bytes";
    }
}

// Fed in pieces of every size across the block edges, the digest is the one of the whole.
TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += char('a' + i % 26);
    for (size_t length : {55u, 56u, 63u, 64u, 65u, 127u, 128u, 300u}) {
        const std::string whole = host::Sha256::hex(reinterpret_cast<const uint8_t*>(text.data()), length);
        for (size_t piece : {1u, 7u, 63u, 64u}) {
            host::Sha256 sha;
            for (size_t at = 0; at < length; at += piece)
                sha.add(reinterpret_cast<const uint8_t*>(text.data()) + at, std::min(piece, length - at));
            EXPECT_EQ(sha.finishHex(), whole) << length << " bytes in pieces of " << piece;
        }
    }
}

TEST(Base64, KnownVectorsAndExactRoundTrips) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"},
        {std::string("\xff\x00\n", 3), "/wAK"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(host::base64Encode(bytes), text);
        std::string back;
        ASSERT_TRUE(host::base64Decode(text, &back)) << text;
        EXPECT_EQ(back, bytes);
    }
    std::string all;
    for (int b = 0; b < 256; ++b) all += char(b);
    std::string back;
    ASSERT_TRUE(host::base64Decode(host::base64Encode(all), &back));
    EXPECT_EQ(back, all);
}

TEST(Base64, RejectsWhatIsNotCanonical) {
    std::string out;
    for (const char* text : {"Zg=", "Zh==", "Zm9=", "Z===", "Zm9v!", "=Zm9", "Zg==Zg=="})
        EXPECT_FALSE(host::base64Decode(text, &out)) << text;
}

}  // namespace
