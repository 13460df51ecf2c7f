// The message decoder on the real classes. It reads keys from segment 291, so
// these tests run in a private IPC namespace; no server is needed: records go
// into the table through the table class itself.
#include "harness.h"

#include "Util.h"
#include "secretkey_union.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>

namespace {

using nlohmann::json;

// DES through the crypto service, as a sender would use it.
std::string desEncode(const std::string& key, std::string plain) {
    std::string out(plain.size() / 8 * 8 + 8, '\0');
    SecretKeyUnion::getSingleTon()->desEncode(reinterpret_cast<unsigned char*>(&plain[0]),
                                              reinterpret_cast<unsigned char*>(&out[0]), key.c_str(),
                                              static_cast<int>(plain.size()));
    return out;
}

// Decodes exactly len bytes; cipher must hold len rounded up to whole blocks.
std::string desDecode(const std::string& key, std::string cipher, size_t len) {
    std::string out(len, '\0');
    SecretKeyUnion::getSingleTon()->desDecode(reinterpret_cast<unsigned char*>(&cipher[0]),
                                              reinterpret_cast<unsigned char*>(&out[0]), key.c_str(),
                                              static_cast<int>(len));
    return out;
}

// head + letters, length bytes in all, whose desEncode output is valid UTF-8
// (nlohmann writes nothing else) and so can travel in "mes". About one
// ciphertext block in 110 is valid UTF-8: two blocks take some 10^4 tries.
std::string carriablePlaintext(const std::string& key, const std::string& head, size_t length) {
    std::mt19937 rng(1);
    for (int tries = 0; tries < 1000000; tries++) {
        std::string text = head;
        while (text.size() < length) text += static_cast<char>('a' + rng() % 26);
        try {
            json(desEncode(key, text)).dump();
            return text;
        } catch (const json::type_error&) {
        }
    }
    ADD_FAILURE() << "no carriable plaintext of " << length << " bytes under key " << key;
    return head;
}

// A "mes" of printable ASCII (always valid UTF-8) whose decoded bytes hold no
// NUL, a last partial block counted as completed by zero bytes.
std::string asciiMesWithoutNul(const std::string& key, size_t length) {
    std::mt19937 rng(static_cast<unsigned>(length));
    std::string mes;
    while (mes.size() < length) {
        size_t take = std::min<size_t>(8, length - mes.size());
        std::string block(8, '\0');
        do {
            for (size_t i = 0; i < take; i++) block[i] = static_cast<char>(0x20 + rng() % 95);
        } while (desDecode(key, block, 8).substr(0, take).find('\0') != std::string::npos);
        mes += block.substr(0, take);
    }
    return mes;
}

void storeKey(const std::string& userid, const std::string& key, int id = 0, shareMemoryHandle* table = nullptr) {
    shareMemoryItem item = harness::record(userid, key, id);
    ASSERT_EQ((table ? table : shareMemoryHandle::getSingleTon())->addItem(item), 0);
}

std::string messageText(const json& id, const std::string& mes) { return json{{"id", id}, {"mes", mes}}.dump(); }

std::unique_ptr<Message> newMessage(const std::string& text = "") {
    std::unique_ptr<Message> message(MessageFactory::createMessage(MessageFactory::MESSAGE_CODE));
    message->mesText = text;
    return message;
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

TEST(MessageFactory, OnlyTheMessageCodeKindGivesAMessage) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::unique_ptr<Message> message(MessageFactory::createMessage(MessageFactory::MESSAGE_CODE));
    ASSERT_NE(dynamic_cast<MessageCode*>(message.get()), nullptr);
    EXPECT_TRUE(message->mesText.empty());
    for (int kind : {1, 2, 7, -1, 1000}) {
        std::unique_ptr<Message> other(MessageFactory::createMessage(static_cast<MessageFactory::MessageType>(kind)));
        EXPECT_EQ(other, nullptr) << "kind " << kind;
    }
}

TEST(MessageCodeEncode, ChangesNeitherTheBufferNorTheText) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::unique_ptr<Message> message = newMessage("kept");
    char buf[] = "{\"id\":\"dorvanek\",\"mes\":\"\"}";
    std::string before(buf, sizeof buf);
    message->enCodeMes(buf, static_cast<int>(sizeof buf));
    message->enCodeMes(buf, 0);
    message->enCodeMes(nullptr, 0);
    EXPECT_EQ(std::string(buf, sizeof buf), before);
    EXPECT_EQ(message->mesText, "kept");
}

// Bad texts reach the caller as the JSON library's own exceptions, and the
// message keeps its text. "mes" is read before the lookup, so a user without
// a record fails alike.
TEST(MessageDecode, BadTextsThrowJsonErrorsAndKeepTheText) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    storeKey("5", "s3cret");
    const std::string valid = messageText("dorvanek", "");
    const std::vector<std::string> parseErrors = {
        valid + " x", valid + "{}", "hello", "", "{\"id\":\"dorvanek\",",
        "{\"id\":\"dorvanek\" /* c */,\"mes\":\"\"}", "{'id':'dorvanek','mes':''}"};
    const std::vector<std::string> typeErrors = {
        messageText(5, ""), messageText(77, ""), "{\"mes\":\"\"}",
        "{\"id\":\"dorvanek\"}", "{\"id\":\"dorvanek\",\"mes\":3}", "{\"id\":\"dorvanek\",\"mes\":null}",
        "{\"id\":\"nobody\"}", "{\"id\":\"nobody\",\"mes\":3}", "{\"id\":\"nobody\",\"mes\":null}",
        "[\"dorvanek\",\"\"]", "\"dorvanek\"", "42", "null", "true"};
    for (const std::string& text : parseErrors) {
        std::unique_ptr<Message> message = newMessage("before");
        EXPECT_THROW(decode(*message, text), json::parse_error) << text;
        EXPECT_EQ(message->mesText, "before") << text;
    }
    for (const std::string& text : typeErrors) {
        std::unique_ptr<Message> message = newMessage("before");
        EXPECT_THROW(decode(*message, text), json::type_error) << text;
        EXPECT_EQ(message->mesText, "before") << text;
    }
}

TEST(MessageDecode, UsersWithoutARecordLeaveTheTextUnchanged) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    storeKey("talumesko", "gone", 4242);
    ASSERT_EQ(shareMemoryHandle::getSingleTon()->removeItemById(4242), 0);
    std::string mes = desEncode("s3cret", carriablePlaintext("s3cret", "hi", 5));
    for (const char* id : {"never-registered", "", "DORVANEK", "talumesko"}) {
        std::unique_ptr<Message> message = newMessage("before");
        EXPECT_NO_THROW(decode(*message, messageText(id, mes))) << id;
        EXPECT_EQ(message->mesText, "before") << id;
    }
}

TEST(MessageDecode, TextIsTheDecodedBytesUpToTheFirstNul) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "first-key");
    storeKey("dorvanek", "s3cret");  // the key stored last is the one used
    std::string text = carriablePlaintext("s3cret", "hey", 6);
    std::string message = messageText("dorvanek", desEncode("s3cret", text));
    EXPECT_EQ(decodedText(message), text);
    EXPECT_EQ(decodedText(message + std::string("\0 trailing garbage", 18)), text) << "the data ends at its NUL";
    for (int len : {0, -1, 1, 5, static_cast<int>(message.size()), 1 << 30}) {
        std::unique_ptr<Message> decoder = newMessage();
        decode(*decoder, message, len);
        EXPECT_EQ(decoder->mesText, text) << "len " << len << " must have no effect";
    }

    std::string withNul = carriablePlaintext("s3cret", std::string("ab\0", 3), 7);
    EXPECT_EQ(decodedText(messageText("dorvanek", desEncode("s3cret", withNul))), "ab");
    // 13 bytes become 16: all 16 are decoded, and the zero filler ends the text.
    std::string thirteen = carriablePlaintext("s3cret", "13:", 13);
    ASSERT_EQ(desEncode("s3cret", thirteen).size(), 16u);
    EXPECT_EQ(decodedText(messageText("dorvanek", desEncode("s3cret", thirteen))), thirteen);

    std::unique_ptr<Message> empty = newMessage("before");
    decode(*empty, " \n" + messageText("dorvanek", "") + " \t\r\n");
    EXPECT_EQ(empty->mesText, "") << "an empty mes, white space around the object";
}

// An odd-length "mes" has its last block completed by zero bytes and only its
// length in decoded bytes counts; 5000 bytes is far beyond the 1024 that a
// first guess at a buffer might allow.
TEST(MessageDecode, MesOfAnyLengthDecodesWhole) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const std::string key = "odd-key";
    storeKey("tuvi", key);
    for (size_t length : {1u, 5u, 13u, 23u, 5000u}) {
        std::string mes = asciiMesWithoutNul(key, length);
        std::string padded = mes + std::string((8 - length % 8) % 8, '\0');
        std::string expected = desDecode(key, padded, padded.size()).substr(0, length);
        ASSERT_EQ(expected.find('\0'), std::string::npos);
        EXPECT_EQ(decodedText(messageText("tuvi", mes)), expected) << "length " << length;
    }
}

// 100 key bytes and no NUL: the decoder takes those 100 bytes as the key text
// and reads nothing beyond the field.
TEST(MessageDecode, KeyFieldWithoutNulIsUsedAsOneHundredBytes) {
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

// A process that only reads must not wipe the table that another one filled.
// The parent writes through a handle of its own, so that the child's first
// getSingleTon attaches the existing segment (when this test runs alone, as
// CTest runs it).
TEST(MessageDecode, ChildThatRegistersNothingDecodesWithTheParentsRecord) {
    SKIP_UNLESS_PRIVATE_WORLD();
    shareMemoryHandle parentView(kTableSlots, kTableIpcKey);
    storeKey("talumesko", "parent-key", 0, &parentView);
    std::string text = carriablePlaintext("parent-key", "fork", 6);
    std::string message = messageText("talumesko", desEncode("parent-key", text));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(10);  // a child that hangs dies, which ends the parent's reads too
        close(fds[0]);
        try {
            std::string decoded = decodedText(message);
            _exit(write(fds[1], decoded.data(), decoded.size()) == static_cast<ssize_t>(decoded.size()) ? 0 : 4);
        } catch (...) {
            _exit(3);
        }
    }
    close(fds[1]);
    std::string decoded;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) decoded.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(decoded, text);

    shareMemoryItem record(-1);
    parentView.getItemByUserid("talumesko", record);
    EXPECT_EQ(record.id, 0);
    EXPECT_STREQ(record.key, "parent-key");
}
