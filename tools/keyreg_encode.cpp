// keyreg encode: a message in the form the message decoder reads,
// {"id": USERID, "mes": <DES-ECB ciphertext>}.
//
// The ciphertext travels as the bytes of a JSON string, and a JSON string can
// only hold valid UTF-8. Whole plaintext blocks have fixed ciphertexts, so a
// message is carriable only when those are valid UTF-8 (in sequence). The
// final block is ours to choose: after the message's last bytes comes a NUL,
// where the decoded text will end, and the filler bytes after it are tried
// until the whole ciphertext is valid UTF-8. Roughly one random block in 110
// is valid UTF-8, so two or more free filler bytes (messages whose last block
// holds at most 5 bytes) practically always succeed, while a message with
// whole blocks usually does not.
#include "keyreg_cli.h"

#include "protocol.h"
#include "secretkey_union.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char kCommand[] = "encode";
struct {
    std::string userid;
    std::string key;
    std::string message;
} args;

const size_t kBlock = 8;
// Two free filler bytes give 65536 candidates; beyond that, more tries change
// nothing in practice.
const uint64_t kMaxFillers = 65536;

enum class Utf8 { Valid, Truncated, Invalid };

struct Utf8Check {
    Utf8 result;
    size_t offset;  // the invalid byte, or where the unfinished sequence starts
};

// Length of the sequence that lead byte c starts and the allowed range of its
// second byte (RFC 3629: no overlong forms, no surrogates, nothing above
// U+10FFFF); 0 when c cannot start a sequence.
size_t sequenceLength(unsigned char c, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) {
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
        return 4;
    }
    return 0;
}

Utf8Check checkUtf8(const std::string& bytes) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        unsigned char low, high;
        size_t len = sequenceLength(s[i], low, high);
        if (len == 0) return {Utf8::Invalid, i};
        for (size_t k = 1; k < len; k++) {
            if (i + k == n) return {Utf8::Truncated, i};
            unsigned char c = s[i + k];
            bool ok = k == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
            if (!ok) return {Utf8::Invalid, i};
        }
        i += len;
    }
    return {Utf8::Valid, n};
}

// DES-ECB under keyText by the crypto service, the same code that decodes.
// desEncode always appends one more block for the bytes after the last whole
// one, so room is left for it and that block dropped.
std::string encryptBlocks(const std::string& keyText, const unsigned char* in, size_t size) {
    std::vector<unsigned char> plain(in, in + size);
    std::vector<unsigned char> out(size + kBlock);
    SecretKeyUnion::getSingleTon()->desEncode(plain.data(), out.data(), keyText.c_str(), static_cast<int>(size));
    return std::string(reinterpret_cast<const char*>(out.data()), size);
}

const char kAdvice[] =
    " A JSON string can only carry valid UTF-8, so not every text can be carried in this format: try a shorter "
    "message (up to 5 bytes always fit) or another key.";

std::string wholeBlockRefusal(size_t invalidOffset) {
    size_t first = invalidOffset / kBlock * kBlock;
    return "under this key the ciphertext of message bytes " + std::to_string(first) + " to " +
           std::to_string(first + kBlock - 1) + " is not valid UTF-8." + kAdvice;
}

// Tries filler values for the final block; the bytes before the final block
// that are still waiting for the rest of a UTF-8 sequence are in pending.
bool chooseFinalBlock(const std::string& keyText, const std::string& lastBytes, const std::string& pending,
                      std::string& final) {
    unsigned char block[kBlock] = {0};
    memcpy(block, lastBytes.data(), lastBytes.size());
    size_t firstFree = lastBytes.size() + 1;  // block[lastBytes.size()] stays NUL
    size_t freeBytes = kBlock - firstFree;  // the last block holds at most 7 bytes
    uint64_t candidates = freeBytes >= 2 ? kMaxFillers : (uint64_t{1} << (8 * freeBytes));
    for (uint64_t filler = 0; filler < candidates; filler++) {
        for (size_t k = 0; k < freeBytes; k++) block[firstFree + k] = static_cast<unsigned char>(filler >> (8 * k));
        final = encryptBlocks(keyText, block, kBlock);
        if (checkUtf8(pending + final).result == Utf8::Valid) return true;
    }
    return false;
}

// The carriable ciphertext of text under keyText, or false with the reason.
bool encodeCarriable(const std::string& keyText, const std::string& text, std::string& cipher, std::string& why) {
    size_t whole = text.size() / kBlock * kBlock;
    cipher = encryptBlocks(keyText, reinterpret_cast<const unsigned char*>(text.data()), whole);

    Utf8Check prefix = checkUtf8(cipher);
    if (prefix.result == Utf8::Invalid) {
        why = wholeBlockRefusal(prefix.offset);
        return false;
    }
    std::string pending = cipher.substr(prefix.offset);
    std::string final;
    if (!chooseFinalBlock(keyText, text.substr(whole), pending, final)) {
        why = "under this key no filler makes the ciphertext of the last " + std::to_string(text.size() - whole) +
              " message bytes valid UTF-8." + kAdvice;
        return false;
    }
    cipher += final;
    return true;
}

int encode() {
    const std::string& userid = args.userid;
    const std::string& key = args.key;
    const std::string& text = args.message;
    if (key.size() > static_cast<size_t>(kMaxKeyBytes))
        return fail(kCommand, "the key is longer than " + std::to_string(kMaxKeyBytes) +
                                  " bytes; the key table cannot hold it, so no one could decode.");
    std::string error;

    std::string cipher;
    if (!encodeCarriable(key, text, cipher, error)) return fail(kCommand, "cannot encode this message: " + error);
    std::string message;
    try {
        // ASCII only (\u escapes), so the message survives any terminal or shell.
        message = nlohmann::json{{"id", userid}, {"mes", cipher}}.dump(-1, ' ', true);
    } catch (const nlohmann::json::exception&) {
        return fail(kCommand, "the user id must be valid UTF-8 text");
    }
    puts(message.c_str());
    return kExitOk;
}

}  // namespace

Command addEncode(CLI::App& keyreg) {
    CLI::App* app = keyreg.add_subcommand(kCommand, "print MESSAGE as a JSON message protected by KEY");
    app->footer(
        "Prints {\"id\": USERID, \"mes\": ...}: MESSAGE encrypted with DES (ECB) under KEY, as the message decoder "
        "(keyreg decode) reads it with the key registered for USERID. The ciphertext must travel as a JSON string, "
        "which holds only valid UTF-8, so not every message can be carried under every key. Messages of up to 5 "
        "bytes always can; a longer one is refused (exit 2) when its ciphertext is not valid UTF-8: try a shorter "
        "message or another key. Put -- before a MESSAGE that starts with -.");
    app->add_option("USERID", args.userid, "the user id the message is from")->required();
    app->add_option("KEY", args.key, "the key registered for USERID")->required();
    app->add_option("MESSAGE", args.message, "the text")->required();
    return {app, encode};
}
