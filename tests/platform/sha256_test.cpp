#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace morvane {
namespace {

TEST(Sha256, StandardVectors) {
    struct Row {
        std::string message;
        const char* digest;
    };
    const Row rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Sha256Hex(row.message), row.digest)
            << "message of " << row.message.size() << " bytes";
    }
}

// Block boundaries are where padding goes wrong: 55, 56 and 64 bytes, and a message fed in
// uneven pieces must give the digest of the whole.
TEST(Sha256, PiecesAndPaddingBoundaries) {
    const std::string message(200, 'x');
    for (std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 200u}) {
        const std::string whole = message.substr(0, length);
        CSha256 sha;
        for (std::size_t at = 0; at < whole.size(); at += 7)
            sha.Update(std::string_view(whole).substr(at, 7));
        EXPECT_EQ(DigestHex(sha.Finish()), Sha256Hex(whole)) << length;
    }
    EXPECT_EQ(Sha256Hex(std::string(56, 'a')),
              "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
}

}  // namespace
}  // namespace morvane
