// The message decoder on the real classes. It reads keys from segment 291, so
// these tests run in a private IPC namespace; no server is needed: records go
// into the table through the table class itself.
#include "harness.h"

#include "Util.h"
#include "secretkey_union.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

using nlohmann::json;

// ---------------------------------------------------------------------------
// DES through the crypto service, as a sender would use it.

std::string desEncode(const std::string& key, const std::string& plain) {
    std::string in = plain;
    std::string out(plain.size() / 8 * 8 + 8, '\0');
    SecretKeyUnion::getSingleTon()->desEncode(reinterpret_cast<unsigned char*>(&in[0]),
                                              reinterpret_cast<unsigned char*>(&out[0]), key.c_str(),
                                              static_cast<int>(plain.size()));
    return out;
}

// Decodes exactly len bytes; cipher must hold len rounded up to whole blocks.
std::string desDecode(const std::string& key, const std::string& cipher, size_t len) {
    std::string in = cipher;
    std::string out(len, '\0');
    SecretKeyUnion::getSingleTon()->desDecode(reinterpret_cast<unsigned char*>(&in[0]),
                                              reinterpret_cast<unsigned char*>(&out[0]), key.c_str(),
                                              static_cast<int>(len));
    return out;
}

// A JSON string holds only valid UTF-8; nlohmann refuses to write anything else.
bool carriable(const std::string& bytes) {
    try {
        json(bytes).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

// The plaintext head + letters, length bytes in all, whose desEncode output
// is valid UTF-8, so that it can travel in "mes". About one ciphertext block
// in 110 is valid UTF-8: random letters find one quickly, two blocks in some
// ten thousand tries.
std::string carriablePlaintext(const std::string& key, const std::string& head, size_t length) {
    unsigned long long x = 88172645463325252ULL;
    for (int tries = 0; tries < 1000000; tries++) {
        std::string text = head;
        while (text.size() < length) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            text += static_cast<char>('a' + x % 26);
        }
        if (carriable(desEncode(key, text))) return text;
    }
    ADD_FAILURE() << "no carriable plaintext of " << length << " bytes under key " << key;
    return head;
}

// A ciphertext block of printable ASCII (always valid UTF-8) whose decoded
// bytes hold no NUL; n picks which one.
std::string asciiBlockWithoutNul(const std::string& key, unsigned long& n) {
    for (;; n++) {
        std::string block;
        unsigned long x = n * 2654435761UL + 12345;
        for (int i = 0; i < 8; i++, x = x * 6364136223846793005UL + 1442695040888963407UL)
            block += static_cast<char>(0x20 + (x >> 33) % 95);
        if (desDecode(key, block, 8).find('\0') == std::string::npos) {
            n++;
            return block;
        }
    }
}

// ---------------------------------------------------------------------------
// The table and the decoder.

void storeKey(shareMemoryHandle* table, const std::string& userid, const std::string& key, int id = 0) {
    shareMemoryItem item(-1);
    item.id = id;
    item.useridLen = static_cast<int32_t>(userid.size());
    memcpy(item.userid, userid.data(), userid.size());
    item.keyLen = static_cast<int32_t>(key.size());
    memcpy(item.key, key.data(), key.size());
    ASSERT_EQ(table->addItem(item), 0);
}

void storeKey(const std::string& userid, const std::string& key, int id = 0) {
    storeKey(shareMemoryHandle::getSingleTon(), userid, key, id);
}

std::string messageText(const json& id, const std::string& mes) { return json{{"id", id}, {"mes", mes}}.dump(); }

std::unique_ptr<Message> newMessage() {
    return std::unique_ptr<Message>(MessageFactory::createMessage(MessageFactory::MESSAGE_CODE));
}

// deCodeMes takes a writable, NUL-terminated buffer.
void decode(Message& message, const std::string& text, int len) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    message.deCodeMes(buf.data(), len);
}

void decode(Message& message, const std::string& text) { decode(message, text, static_cast<int>(text.size())); }

std::string decodedText(const std::string& text) {
    std::unique_ptr<Message> message = newMessage();
    decode(*message, text);
    return message->mesText;
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(MessageFactory, MessageCodeKindGivesMessageCodeWithEmptyText) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::unique_ptr<Message> message = newMessage();
    ASSERT_NE(message, nullptr);
    EXPECT_NE(dynamic_cast<MessageCode*>(message.get()), nullptr);
    EXPECT_TRUE(message->mesText.empty());
}

TEST(MessageFactory, OtherKindsGiveNull) {
    SKIP_UNLESS_PRIVATE_WORLD();
    for (int kind : {1, 2, 7, -1, 1000}) {
        std::unique_ptr<Message> message(MessageFactory::createMessage(static_cast<MessageFactory::MessageType>(kind)));
        EXPECT_EQ(message, nullptr) << "kind " << kind;
    }
}

TEST(MessageCodeEncode, ChangesNeitherTheBufferNorTheText) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "kept";
    char buf[] = "{\"id\":\"dorvanek\",\"mes\":\"\"}";
    std::string before(buf, sizeof buf);
    message->enCodeMes(buf, static_cast<int>(sizeof buf));
    message->enCodeMes(buf, 0);
    message->enCodeMes(nullptr, 0);
    EXPECT_EQ(std::string(buf, sizeof buf), before);
    EXPECT_EQ(message->mesText, "kept");
}

// ---------------------------------------------------------------------------
// Bad message texts reach the caller as the JSON library's exceptions, and the
// message keeps its text.

TEST(MessageDecodeErrors, TextAfterTheObjectIsParseError) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    EXPECT_THROW(decode(*message, messageText("dorvanek", "") + " x"), json::parse_error);
    EXPECT_THROW(decode(*message, messageText("dorvanek", "") + "{}"), json::parse_error);
    EXPECT_EQ(message->mesText, "before");
}

TEST(MessageDecodeErrors, WhiteSpaceAfterTheObjectIsAccepted) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    EXPECT_NO_THROW(decode(*message, " \n" + messageText("dorvanek", "") + " \t\r\n"));
    EXPECT_EQ(message->mesText, "");
}

TEST(MessageDecodeErrors, TextThatIsNotJsonIsParseError) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    for (const char* text : {"hello", "", "{\"id\":\"dorvanek\",", "{\"id\":\"dorvanek\" /* c */,\"mes\":\"\"}",
                             "{'id':'dorvanek','mes':''}"}) {
        EXPECT_THROW(decode(*message, text), json::parse_error) << text;
    }
    EXPECT_EQ(message->mesText, "before");
}

TEST(MessageDecodeErrors, NumberIdIsTypeErrorWithOrWithoutARecord) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("5", "s3cret");
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    EXPECT_THROW(decode(*message, messageText(5, "")), json::type_error);
    EXPECT_THROW(decode(*message, messageText(77, "")), json::type_error);
    EXPECT_EQ(message->mesText, "before");
}

TEST(MessageDecodeErrors, MissingOrNonStringMesIsTypeError) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    // "mes" is read before the lookup, so an unknown user fails alike.
    for (const char* id : {"dorvanek", "nobody-at-all"}) {
        EXPECT_THROW(decode(*message, json{{"id", id}}.dump()), json::type_error) << id;
        EXPECT_THROW(decode(*message, json{{"id", id}, {"mes", 3}}.dump()), json::type_error) << id;
        EXPECT_THROW(decode(*message, json{{"id", id}, {"mes", nullptr}}.dump()), json::type_error) << id;
    }
    EXPECT_THROW(decode(*message, "{\"mes\":\"\"}"), json::type_error);
    EXPECT_EQ(message->mesText, "before");
}

TEST(MessageDecodeErrors, ValueThatIsNotAnObjectIsTypeError) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    for (const char* text : {"[\"dorvanek\",\"\"]", "\"dorvanek\"", "42", "null", "true"}) {
        EXPECT_THROW(decode(*message, text), json::type_error) << text;
    }
    EXPECT_EQ(message->mesText, "before");
}

// ---------------------------------------------------------------------------
// Users without a record.

TEST(MessageDecodeLookup, UnknownUserLeavesTextUnchanged) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    std::string mes = desEncode("s3cret", carriablePlaintext("s3cret", "hi", 5));
    EXPECT_NO_THROW(decode(*message, messageText("never-registered", mes)));
    EXPECT_NO_THROW(decode(*message, messageText("", mes)));
    EXPECT_NO_THROW(decode(*message, messageText("DORVANEK", mes)));
    EXPECT_EQ(message->mesText, "before");
}

TEST(MessageDecodeLookup, UserWhoseSlotWasEmptiedLeavesTextUnchanged) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const int recordId = 4242;
    storeKey("talumesko", "gone", recordId);
    ASSERT_EQ(shareMemoryHandle::getSingleTon()->removeItemById(recordId), 0);
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    std::string mes = desEncode("gone", carriablePlaintext("gone", "hi", 5));
    EXPECT_NO_THROW(decode(*message, messageText("talumesko", mes)));
    EXPECT_EQ(message->mesText, "before");
}

// ---------------------------------------------------------------------------
// Decoded text.

TEST(MessageDecodeText, DecodesAMessageMadeByDesEncode) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::string text = carriablePlaintext("s3cret", "hey", 6);
    EXPECT_EQ(decodedText(messageText("dorvanek", desEncode("s3cret", text))), text);
}

TEST(MessageDecodeText, UsesTheKeyStoredLastForTheUser) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("brenquolar", "first-key");
    storeKey("brenquolar", "second-key");
    std::string text = carriablePlaintext("second-key", "new", 6);
    EXPECT_EQ(decodedText(messageText("brenquolar", desEncode("second-key", text))), text);
}

TEST(MessageDecodeText, EmptyMesForAStoredUserGivesEmptyText) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::unique_ptr<Message> message = newMessage();
    message->mesText = "before";
    decode(*message, messageText("dorvanek", ""));
    EXPECT_EQ(message->mesText, "");
}

TEST(MessageDecodeText, NulInDecodedBytesEndsTheText) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::string plain = carriablePlaintext("s3cret", std::string("ab\0", 3), 7);
    std::string mes = desEncode("s3cret", plain);
    ASSERT_EQ(mes.size(), 8u);
    EXPECT_EQ(decodedText(messageText("dorvanek", mes)), "ab");
}

// A 13-byte text becomes 16 bytes; the decoder decodes all 16 and the zero
// filler that desEncode put after the text ends it.
TEST(MessageDecodeText, ZeroFillerAfterTheTextEndsIt) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("vestimorank", "filler-key");
    std::string text = carriablePlaintext("filler-key", "13:", 13);
    std::string mes = desEncode("filler-key", text);
    ASSERT_EQ(mes.size(), 16u);
    EXPECT_EQ(decodedText(messageText("vestimorank", mes)), text);
}

// Far beyond the 1024 bytes that a first guess at a buffer might allow: the
// decoder must neither overflow nor cut the text short.
TEST(MessageDecodeText, LongMesDecodesWhole) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const std::string key = "long-key";
    storeKey("tuvi", key);
    std::string mes;
    unsigned long n = 0;
    while (mes.size() < 5000) mes += asciiBlockWithoutNul(key, n);
    std::string expected = desDecode(key, mes, mes.size());
    ASSERT_EQ(expected.find('\0'), std::string::npos);
    std::string text = decodedText(messageText("tuvi", mes));
    EXPECT_EQ(text.size(), 5000u);
    EXPECT_EQ(text, expected);
}

// A "mes" of 13 bytes: the last block is completed by zero bytes, and only
// 13 decoded bytes count.
TEST(MessageDecodeText, OddLengthMesCompletesTheLastBlockWithZeros) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const std::string key = "odd-key";
    storeKey("tuvi", key);
    for (size_t length : {1u, 5u, 13u, 23u}) {
        std::string mes;
        std::string expected;
        for (unsigned long n = 0;; n++) {
            unsigned long pick = n;
            mes.clear();
            while (mes.size() < length) mes += asciiBlockWithoutNul(key, pick);
            mes.resize(length);
            std::string padded = mes + std::string((8 - length % 8) % 8, '\0');
            expected = desDecode(key, padded, padded.size()).substr(0, length);
            if (expected.find('\0') == std::string::npos) break;
        }
        EXPECT_EQ(decodedText(messageText("tuvi", mes)), expected) << "length " << length;
    }
}

// The key field holds 100 key bytes and no NUL: the decoder must take those
// 100 bytes as the key text and read nothing beyond the field.
TEST(MessageDecodeText, KeyFieldWithoutNulIsUsedAsOneHundredBytes) {
    SKIP_UNLESS_PRIVATE_WORLD();
    shareMemoryItem item(-1);
    item.id = 0x01010101;  // no zero byte right after a neighbour's key either
    strcpy(item.userid, "full-key-user");
    item.useridLen = static_cast<int32_t>(strlen(item.userid));
    memset(item.key, 'k', sizeof item.key);
    item.keyLen = sizeof item.key;
    ASSERT_EQ(shareMemoryHandle::getSingleTon()->addItem(item), 0);
    const std::string key(sizeof item.key, 'k');
    std::string text = carriablePlaintext(key, "full", 6);
    EXPECT_EQ(decodedText(messageText("full-key-user", desEncode(key, text))), text);
}

TEST(MessageDecodeText, LenArgumentHasNoEffect) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::string text = carriablePlaintext("s3cret", "len", 6);
    std::string message = messageText("dorvanek", desEncode("s3cret", text));
    for (int len : {0, -1, 1, 5, static_cast<int>(message.size()), 1 << 30}) {
        std::unique_ptr<Message> decoder = newMessage();
        decode(*decoder, message, len);
        EXPECT_EQ(decoder->mesText, text) << "len " << len;
    }
}

TEST(MessageDecodeText, DataEndsAtItsFirstNul) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    std::string text = carriablePlaintext("s3cret", "nul", 6);
    std::string message = messageText("dorvanek", desEncode("s3cret", text));
    EXPECT_EQ(decodedText(message + std::string("\0 trailing garbage", 18)), text);
}

// ---------------------------------------------------------------------------
// Processes that only read must not wipe the table that another one filled.

namespace {

// Runs in the forked child: its first use of the table attaches the segment
// that the parent made. Writes the decoded text to fd.
[[noreturn]] void decodeInChild(int fd, const std::string& text) {
    try {
        std::string decoded = decodedText(text);
        ssize_t n = write(fd, decoded.data(), decoded.size());
        _exit(n == static_cast<ssize_t>(decoded.size()) ? 0 : 4);
    } catch (...) {
        _exit(3);
    }
}

std::string readAll(int fd, int timeoutMs) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r <= 0) break;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

int waitChild(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(MessageDecodeAcrossProcesses, ChildThatRegistersNothingDecodesWithTheParentsRecord) {
    SKIP_UNLESS_PRIVATE_WORLD();
    // The parent writes through a handle of its own rather than the
    // singleton, so that the child's getSingleTon is its first and attaches
    // the existing segment. (Run alone, as CTest runs it; when earlier tests
    // of this program built the singleton, the child inherits it instead.)
    shareMemoryHandle parentView(kTableSlots, kTableIpcKey);
    storeKey(&parentView, "talumesko", "parent-key");
    std::string text = carriablePlaintext("parent-key", "fork", 6);
    std::string message = messageText("talumesko", desEncode("parent-key", text));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        decodeInChild(fds[1], message);
    }
    close(fds[1]);
    std::string decoded = readAll(fds[0], 10000);
    close(fds[0]);
    EXPECT_EQ(waitChild(pid, 10000), 0);
    EXPECT_EQ(decoded, text);

    shareMemoryItem record(-1);
    parentView.getItemByUserid("talumesko", record);
    EXPECT_EQ(record.id, 0);
    EXPECT_STREQ(record.key, "parent-key");
}
