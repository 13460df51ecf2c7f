// The shared key table (user id, key records in System V shared memory that
// other processes on the host read) and the messages decoded with its keys.
// Behind it: table_segment (attaching the segment), table_record (the
// record), slot_seqlock (writing and copying records whole), table_reader
// (the read-only view), message_decode and message_code (the message classes).
#ifndef KEYREG_UTIL_H
#define KEYREG_UTIL_H

#include "protocol.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class shareMemoryItem {
public:
    explicit shareMemoryItem(int id);

    int32_t id;  // -1 marks an empty slot
    int32_t useridLen;
    char userid[100];
    int32_t keyLen;
    char key[100];
};

// Other processes read the table: the layout is the same in every one.
static_assert(sizeof(shareMemoryItem) == kRecordBytes, "a record is 212 bytes in every process");
static_assert(offsetof(shareMemoryItem, useridLen) == 4, "record layout");
static_assert(offsetof(shareMemoryItem, userid) == 8, "record layout");
static_assert(offsetof(shareMemoryItem, keyLen) == 108, "record layout");
static_assert(offsetof(shareMemoryItem, key) == 112, "record layout");

// True for a slot of a new segment that nobody has written yet: all zero,
// which is no record even though its id reads 0.
bool neverWritten(const shareMemoryItem& slot);

class shareMemoryHandle {
public:
    shareMemoryHandle(int count, int shmKey);
    static shareMemoryHandle* getSingleTon();

    int addItem(shareMemoryItem& item);
    int removeItemById(int id);
    void getItemById(int id, shareMemoryItem& out);
    void getItemByUserid(std::string userid, shareMemoryItem& out);

    int32_t itemCount;
    int32_t shmId;
    int32_t shmKey;
    std::mutex itemMutex;
    shareMemoryItem* items;
    // One per slot, after the records; null in a segment of an older server.
    uint64_t* sequences;
    // The slots that a writer left half written and the attach emptied, for
    // whoever can restore their records.
    std::vector<int> repairedSlots;

private:
    void attachSegmentOrDie();
    void repairUnfinishedSlots();
    void markNeverWrittenSlots();
    uint64_t* sequenceOf(int slot);
};

// Parses one JSON text up to its NUL. A number too large for a double is
// reported as a parse error, like any other text that cannot be read, so
// that callers need to expect only parse and type errors.
nlohmann::json parseJsonText(const char* text);

class Message {
public:
    virtual void enCodeMes(char* data, int len) = 0;
    virtual void deCodeMes(char* data, int len) = 0;
    virtual ~Message() = default;

    std::string mesText;
};

class MessageCode : public Message {
public:
    void enCodeMes(char* data, int len) override;
    void deCodeMes(char* data, int len) override;
    ~MessageCode() override = default;
};

class MessageFactory {
public:
    // A fixed underlying type, so that callers may pass kinds this build does
    // not know (they get null).
    enum MessageType : int { MESSAGE_CODE = 0 };
    static Message* createMessage(MessageType type);
};

#endif
