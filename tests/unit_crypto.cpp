// The crypto service.
#include "harness.h"
#include "secretkey_union.h"

#include <cstring>
#include <thread>

namespace {

SecretKeyUnion* crypto() { return SecretKeyUnion::getSingleTon(); }
unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }

// The plaintext of a block, or "<-1>" when the call fails. The key files are
// those of the test's working folder.
std::string decode(std::string block) {
    std::string out(2048, '\0');
    int len = static_cast<int>(block.size());
    int n = crypto()->rsaDecode(bytes(block), bytes(out), len);
    return n < 0 ? "<" + std::to_string(n) + ">" : out.substr(0, static_cast<size_t>(n));
}

// Both replacements are padded to the same file length, so a cache that
// compares lengths only would keep the old key.
TEST(Rsa, ReplacedKeyFileTakesEffectOnTheNextCall) {
    harness::writeKeyPair(".");
    std::string oldBlock = harness::encryptFor("public.pem", "old");
    ASSERT_EQ(decode(oldBlock), "old");
    std::string oldPem = harness::readFile("private.pem");
    harness::writeKeyPair(".");
    std::string newPem = harness::readFile("private.pem");
    size_t length = std::max(oldPem.size(), newPem.size()) + 1;
    harness::writeFile("private.pem", newPem + std::string(length - newPem.size(), '\n'));
    EXPECT_EQ(decode(harness::encryptFor("public.pem", "new")), "new");
    EXPECT_EQ(decode(oldBlock), "<-1>");
    harness::writeFile("private.pem", oldPem + std::string(length - oldPem.size(), '\n'));
    EXPECT_EQ(decode(oldBlock), "old");
    // Long after the last read the file's times alone must tell of a change.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ(decode(oldBlock), "old");
    harness::writeFile("private.pem", newPem);
    EXPECT_EQ(decode(oldBlock), "<-1>") << "a change after the file's times had settled was missed";
}

// An 8200-bit key (five primes, quick to make) exceeds the 1024 bytes a
// request may hold.
TEST(Rsa, ModulusBeyondTheRequestSizeIsRefused) {
    harness::writeKeyPair(".", {"-pkeyopt", "rsa_keygen_bits:8200", "-pkeyopt", "rsa_keygen_primes:5"});
    EXPECT_EQ(decode(harness::encryptFor("public.pem", "hi")), "<-1>");
}

TEST(Rsa, OverlongPlaintextSetsTheLengthToMinusOne) {
    harness::writeKeyPair(".");
    std::string plain(246, 'a'), out(2048, '\0');
    int len = static_cast<int>(plain.size());
    EXPECT_EQ(crypto()->rsaEncode(bytes(plain), bytes(out), len), -1);
    EXPECT_EQ(len, -1);
}

// A key that cannot be used ends the process. The child has no terminal and
// a standard input that stays open: a reader that prompted for a pass phrase
// would wait there until the watchdog ends it.
TEST(Rsa, UnusablePrivateKeyEndsTheProcess) {
    struct Row {
        const char* name;
        bool encrypted;  // else missing
        const char* message;
    } rows[] = {{"missing", false, "no private.pem"}, {"pass phrase", true, "read private.pem failed"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        unlink("private.pem");
        if (row.encrypted) {
            ASSERT_EQ(harness::runCommand({"openssl", "genpkey", "-algorithm", "RSA", "-aes128", "-pass",
                                           "pass:open sesame", "-out", "private.pem"}), 0);
        }
        EXPECT_EXIT(
            {
                int keptOpen[2];
                if (setsid() < 0 || pipe(keptOpen) != 0 || dup2(keptOpen[0], STDIN_FILENO) < 0) _exit(3);
                std::thread([] { sleep(10), _exit(124); }).detach();  // not alarm: the prompt catches it
                decode("block");
                _exit(0);
            },
            testing::ExitedWithCode(255), row.message);
    }
}

// DES, for message lengths around the block size: the output has one block
// more than the whole blocks, the last filled up with zeros, and a decode
// writes exactly the length asked for.
TEST(Des, FillsTheLastBlockWithZerosAndDecodesExactlyTheLength) {
    const std::string plain = "ABCDEFGHIJKLMNOPQRSTUVWX";
    for (int len : {0, 7, 8, 13}) {
        SCOPED_TRACE("length " + std::to_string(len));
        std::string in = plain, cipher(32, '\xee'), back(32, '\xee');
        int written = len / 8 * 8 + 8;
        crypto()->desEncode(bytes(in), bytes(cipher), "s3cret", len);
        EXPECT_EQ(cipher.substr(static_cast<size_t>(written)), std::string(32 - written, '\xee'));
        crypto()->desDecode(bytes(cipher), bytes(back), "s3cret", written);
        EXPECT_EQ(back.substr(0, written), plain.substr(0, len) + std::string(written - len, '\0'));
        back.assign(32, '\xee');
        crypto()->desDecode(bytes(cipher), bytes(back), "s3cret", len);
        EXPECT_EQ(back, plain.substr(0, len) + std::string(32 - len, '\xee'));
    }
}

TEST(Digest, IsLowerCaseHex) {
    char abc[] = "abc";
    EXPECT_EQ(crypto()->getShaValue(abc, 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(RandString, HoldsOneCharacterLessThanAskedFor) {
    for (int n : {1, 2, 17, 100}) EXPECT_EQ(crypto()->getRandString(n).size(), static_cast<size_t>(n - 1)) << n;
}

}  // namespace
