// The shared key table's face: the process's one view of the table of (user
// id, key) records in System V shared memory that other processes on the
// host read, and the message classes that decode with its keys. Behind it,
// in table/: the record, the segment, the writer and the seqlock, the
// read-only view with the message decoder, and the C library libkeyreg.
#ifndef KEYREG_UTIL_H
#define KEYREG_UTIL_H

#include "table/table_record.h"
#include "table/table_segment.h"

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Exit statuses of a start that the table ends.
const int kExitTableUntrusted = 77;  // a segment this user could not have made, left in place
const int kExitReadersGroup = 78;    // no such group for the table's readers

// The server's own user and one group may read the table, nobody else.
const int kTableReadersMode = 0750;

// How this process makes, adopts and refuses the table's segment; set before
// the first getSingleTon(), by the thread that later hands work to others.
struct shareMemoryPolicy {
    SegmentReaders readers;        // the process's own group and mode 0755 unless set
    bool removeUntrusted = false;  // a state file rebuilds what the removal takes
    // A refused segment ends the process with kExitTableUntrusted; without
    // that, the handle gets no slots and every addItem fails.
    bool exitOnRefusal = true;
};

// The gid of group, a group name or else a number (which needs no entry in
// the group database); false when it is neither.
bool groupIdOf(const std::string& group, gid_t& gid);

class shareMemoryHandle {
public:
    shareMemoryHandle(int count, int shmKey);
    static shareMemoryHandle* getSingleTon();
    static shareMemoryPolicy& policy();

    int addItem(shareMemoryItem& item);
    int removeItemById(int id);
    void getItemById(int id, shareMemoryItem& out);
    void getItemByUserid(std::string userid, shareMemoryItem& out);

    int32_t itemCount;  // 0 once the segment under the key was refused
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
    bool attachSegmentOrDie();
    bool refuseSegment(const TableSegment& segment, int removal);
    void repairUnfinishedSlots();
};

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
