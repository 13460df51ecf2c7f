// Decryption with implicit rejection: the padding check's verdict on blocks
// that the openssl command made, the synthetic message that stands in for a
// bad block's plaintext, and what it is derived from.
#include "harness.h"
#include "crypto/rsa_implicit_rejection.h"
#include "secretkey_union.h"

#include <openssl/bn.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>

namespace {

const int kBlock = 256;  // the 2048-bit keys of writeKeyPair
const int kLongest = kBlock - kPkcs1PaddingBytes;

unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }

// The plaintext that the server's road gets (implicit) or rsaDecode's, "<-1>"
// when that fails.
std::string decode(std::string block, bool implicit) {
    std::string out(1024, '\0');
    int len = static_cast<int>(block.size());
    SecretKeyUnion* crypto = SecretKeyUnion::getSingleTon();
    int n = implicit ? crypto->rsaDecodeImplicit(bytes(block), bytes(out), len)
                     : crypto->rsaDecode(bytes(block), bytes(out), len);
    return n < 0 ? "<" + std::to_string(n) + ">" : out.substr(0, static_cast<size_t>(n));
}

// An encryption block by hand: 00 type, padding of padLen bytes 0x5a, 00,
// message; the last three parts as given, so that a row can break each.
std::string handBlock(char type, size_t padLen, const std::string& rest, char lead = '\0') {
    std::string em = std::string(1, lead) + type + std::string(padLen, '\x5a') + rest;
    return em + std::string(kBlock - em.size(), '\x33');
}

// em under public.pem by the raw operation of the openssl command.
std::string rawBlock(const std::string& em) {
    harness::writeFile("em", em);
    if (harness::runCommand({"openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", "public.pem", "-pkeyopt",
                             "rsa_padding_mode:none", "-in", "em", "-out", "block"}) != 0)
        return "<openssl failed>";
    return harness::readFile("block");
}

// A valid message ends the block; handBlock fills the rest with 0x33 bytes,
// so a message row states its padding to take the whole block.
TEST(ImplicitRejection, PaddingVerdictForEachKindOfBlock) {
    harness::writeKeyPair(".");
    const std::string request = R"({"userid":"dorvanek","key":"k3y"})";
    const std::string longest(kLongest, 'm');
    struct Row {
        const char* name;
        std::string em;       // by hand; "" for a block that pkeyutl pads itself
        std::string message;  // what a good block holds
        bool good;
    } rows[] = {
        {"pkeyutl, a request", "", request, true},
        {"pkeyutl, empty message", "", "", true},
        {"pkeyutl, longest message", "", longest, true},
        {"pkeyutl, NUL inside the message", "", std::string("a\0b", 3), true},
        {"eight padding bytes, the fewest", handBlock(2, 8, '\0' + longest), longest, true},
        {"separator last, empty message", handBlock(2, kBlock - 3, std::string(1, '\0')), "", true},
        {"type byte 1", handBlock(1, 8, '\0' + longest), "", false},
        {"type byte 0", handBlock(0, 8, '\0' + longest), "", false},
        {"leading byte not zero", handBlock(2, 8, '\0' + longest, '\1'), "", false},
        {"no zero separator", handBlock(2, kBlock - 2, ""), "", false},
        {"seven padding bytes", handBlock(2, 7, '\0' + std::string(kLongest + 1, 'm')), "", false},
        {"separator right after the type", handBlock(2, 0, '\0' + std::string(kBlock - 3, 'm')), "", false},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string block = row.em.empty() ? harness::encryptFor("public.pem", row.message) : rawBlock(row.em);
        ASSERT_EQ(block.size(), static_cast<size_t>(kBlock));
        if (!row.em.empty()) {
            int start = -1;
            EXPECT_EQ(pkcs1Type2Check(bytes(row.em), kBlock, start), row.good ? ~0u : 0u);
            if (row.good) {
                EXPECT_EQ(start, static_cast<int>(kBlock - row.message.size()));
            }
        }
        EXPECT_EQ(decode(block, false), row.good ? row.message : "<-1>");
        std::string implicit = decode(block, true);
        if (row.good) {
            EXPECT_EQ(implicit, row.message);
        }
        EXPECT_LE(implicit.size(), static_cast<size_t>(kLongest));
    }

    // As with OpenSSL's own decryption, a block that begins with a zero byte
    // decrypts without it too.
    BIO* bio = BIO_new_file("public.pem", "r");
    RSA* key = PEM_read_bio_RSA_PUBKEY(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(key, nullptr);
    std::string block(kBlock, '\1');
    for (int tries = 0; tries < 10000 && block[0] != 0; tries++)
        RSA_public_encrypt(static_cast<int>(request.size()), reinterpret_cast<const unsigned char*>(request.data()),
                           bytes(block), key, RSA_PKCS1_PADDING);
    RSA_free(key);
    EXPECT_EQ(decode(block.substr(1), false), request);
    EXPECT_EQ(decode(block.substr(1), true), request);
}

// Also the blocks that skip the private-key operation (as large as the
// modulus or more, longer than a block) get one. A new key file brings a new
// secret: the same blocks then give other messages.
TEST(ImplicitRejection, SyntheticMessageIsFixedPerBlockAndKeyAndNeverLongerThanAMessage) {
    harness::writeKeyPair(".");
    std::vector<std::string> blocks = {rawBlock(handBlock(1, 8, std::string(1, '\0'))),
                                       rawBlock(handBlock(2, kBlock - 2, "")), std::string(kBlock, '\xff'),
                                       std::string(kBlock + 1, '\x01'), std::string(kBlock - 1, '\x01')};
    std::vector<std::string> first;
    for (const std::string& block : blocks) first.push_back(decode(block, true));
    EXPECT_EQ(std::set<std::string>(first.begin(), first.end()).size(), blocks.size()) << "two blocks, one message";
    harness::writeKeyPair(".");
    for (size_t i = 0; i < blocks.size(); i++) EXPECT_NE(decode(blocks[i], true), first[i]) << "block " << i;
    harness::writeKeyPair(".");
    std::string pem = harness::readFile("private.pem");
    harness::writeFile("private.pem", pem + "\n");  // the same key, parsed anew
    std::vector<std::string> again;
    for (const std::string& block : blocks) again.push_back(decode(block, true));
    harness::writeFile("private.pem", pem);
    for (size_t i = 0; i < blocks.size(); i++) EXPECT_EQ(decode(blocks[i], true), again[i]) << "block " << i;

    // Every length from none to the longest message, for two sizes of block.
    std::mt19937 random(7);
    RejectionKey secret;
    for (unsigned char& b : secret.bytes) b = static_cast<unsigned char>(random());
    for (int k : {64, kBlock}) {
        unsigned char block[kBlock], out[kBlock];
        int shortest = k, longest = -1, drawnBytes = 0;
        for (int i = 0; i < 8000; i++) {
            for (unsigned char& b : block) b = static_cast<unsigned char>(random());
            memset(out, 0, sizeof out);
            int n = syntheticMessage(secret, block, static_cast<size_t>(k), k, out);
            drawnBytes += static_cast<int>(std::count_if(out, out + n, [](unsigned char c) { return c != 0; }));
            shortest = std::min(shortest, n);
            longest = std::max(longest, n);
        }
        EXPECT_EQ(shortest, 0) << k << "-byte blocks";
        EXPECT_EQ(longest, k - kPkcs1PaddingBytes) << k << "-byte blocks";
        EXPECT_GT(drawnBytes, 0) << k << "-byte blocks: a message of the buffer's old bytes";
    }
}

// The secret is SHA-256 over the private exponent as the openssl command
// prints it, big-endian, padded to the modulus length.
TEST(ImplicitRejection, SecretIsTheDigestOfThePrivateExponent) {
    harness::writeKeyPair(".", {"-pkeyopt", "rsa_keygen_bits:1024"});
    std::string text;
    ASSERT_EQ(harness::runCommand({"openssl", "pkey", "-in", "private.pem", "-noout", "-text"}, &text), 0);
    size_t from = text.find("privateExponent:"), to = text.find("prime1:");
    ASSERT_NE(to, std::string::npos);
    std::string hex;
    for (char c : text.substr(from + 16, to - from - 16))
        if (isxdigit(static_cast<unsigned char>(c))) hex += c;
    BIGNUM* d = nullptr;
    ASSERT_GT(BN_hex2bn(&d, hex.c_str()), 0);
    unsigned char padded[128], expected[SHA256_DIGEST_LENGTH];
    ASSERT_EQ(BN_bn2binpad(d, padded, sizeof padded), 128);
    SHA256(padded, sizeof padded, expected);
    BN_free(d);

    BIO* bio = BIO_new_file("private.pem", "r");
    RSA* key = PEM_read_bio_RSAPrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    ASSERT_NE(key, nullptr);
    RejectionKey secret;
    EXPECT_TRUE(deriveRejectionKey(key, secret));
    RSA_free(key);
    EXPECT_TRUE(secret.ready);
    EXPECT_EQ(std::string(secret.bytes, secret.bytes + sizeof secret.bytes), std::string(expected, expected + 32));
}

TEST(ImplicitRejection, HmacAgreesWithOpenSsl) {
    std::string data(300, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
    for (size_t keyLen : {0, 4, 32, 64}) {
        for (size_t len : {0, 20, 64, 300}) {
            unsigned char ours[32], theirs[32];
            unsigned int theirLen = 0;
            hmacSha256(bytes(data), keyLen, bytes(data), len, ours);
            HMAC(EVP_sha256(), data.data(), static_cast<int>(keyLen), bytes(data), len, theirs, &theirLen);
            EXPECT_EQ(std::string(ours, ours + 32), std::string(theirs, theirs + theirLen))
                << "key of " << keyLen << " bytes, " << len << " bytes of data";
        }
    }
}

}  // namespace
