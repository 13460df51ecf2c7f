#include "Util.h"

#include "secretkey_union.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

shareMemoryItem::shareMemoryItem(int id) : id(id) {
    memset(userid, 0, sizeof userid);
    memset(key, 0, sizeof key);
}

shareMemoryHandle::shareMemoryHandle(int count, int shmKey)
    : itemCount(count), shmId(-1), shmKey(shmKey), items(nullptr) {
    createSegmentOrDie();
    void* addr = shmat(shmId, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        perror("create share memory error\n");
        exit(-1);
    }
    items = static_cast<shareMemoryItem*>(addr);
    markNeverWrittenSlots();
}

// Afterwards shmId names the new or the existing segment (or is negative,
// and the attach will fail and say so).
void shareMemoryHandle::createSegmentOrDie() {
    size_t size = static_cast<size_t>(itemCount) * sizeof(shareMemoryItem);
    shmId = shmget(shmKey, size, IPC_CREAT | IPC_EXCL | 0755);
    if (shmId >= 0) return;
    if (errno == EEXIST) {
        printf("share memory existed\n");
        findExistingSegmentOrDie();
    } else {
        perror("create share memory failed\n");
    }
}

// Looks the existing segment up; a segment too small for the table would be
// read and written past its end, so it ends the process.
void shareMemoryHandle::findExistingSegmentOrDie() {
    shmId = shmget(shmKey, 0, 0);
    if (shmId < 0) return;
    struct shmid_ds info;
    if (shmctl(shmId, IPC_STAT, &info) < 0) return;
    size_t needed = static_cast<size_t>(itemCount) * sizeof(shareMemoryItem);
    if (info.shm_segsz < needed) {
        fprintf(stderr, "share memory too small: key %d holds %zu bytes, the table needs %zu\n", shmKey,
                static_cast<size_t>(info.shm_segsz), needed);
        exit(-1);
    }
}

bool neverWritten(const shareMemoryItem& slot) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&slot);
    for (size_t i = 0; i < sizeof slot; i++)
        if (bytes[i] != 0) return false;
    return true;
}

// A new segment is zero-filled, and a zero id means "occupied": a slot that
// was never written must read as empty, whoever made the segment and whenever
// its maker stopped. Records belong to the server and to readers, so a slot
// that holds one is never touched, and the test is made slot by slot: a
// whole-table check followed by a whole-table reset would race a server that
// stores its first record meanwhile. The id changes only if it is still 0.
void shareMemoryHandle::markNeverWrittenSlots() {
    const int32_t emptyId = shareMemoryItem(-1).id;
    for (int i = 0; i < itemCount; i++) {
        if (!neverWritten(items[i])) continue;
        int32_t unused = 0;
        __atomic_compare_exchange_n(&items[i].id, &unused, emptyId, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }
}

shareMemoryHandle* shareMemoryHandle::getSingleTon() {
    static shareMemoryHandle handle(kTableSlots, kTableIpcKey);
    return &handle;
}

// User ids are compared as NUL-terminated texts that never run past their field.
static bool sameUserid(const char* a, const char* b) { return strncmp(a, b, sizeof(shareMemoryItem::userid)) == 0; }

int shareMemoryHandle::addItem(shareMemoryItem& item) {
    std::lock_guard<std::mutex> lock(itemMutex);
    shareMemoryItem* firstEmpty = nullptr;
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem* slot = &items[i];
        if (slot->id == -1) {
            if (firstEmpty == nullptr) firstEmpty = slot;
        } else if (sameUserid(slot->userid, item.userid)) {
            memcpy(slot, &item, sizeof item);
            return 0;
        }
    }
    if (firstEmpty == nullptr) return -1;
    memcpy(firstEmpty, &item, sizeof item);
    return 0;
}

int shareMemoryHandle::removeItemById(int id) {
    std::lock_guard<std::mutex> lock(itemMutex);
    for (int i = 0; i < itemCount; i++) {
        if (items[i].id == id) {
            items[i].id = -1;
            return 0;
        }
    }
    return -1;
}

void shareMemoryHandle::getItemById(int id, shareMemoryItem& out) {
    for (int i = 0; i < itemCount; i++) {
        if (items[i].id == id) {
            memcpy(&out, &items[i], sizeof out);
            return;
        }
    }
}

void shareMemoryHandle::getItemByUserid(std::string userid, shareMemoryItem& out) {
    for (int i = 0; i < itemCount; i++) {
        const char* stored = items[i].userid;
        size_t storedLen = strnlen(stored, sizeof items[i].userid);
        if (storedLen == userid.size() && memcmp(stored, userid.data(), storedLen) == 0) {
            memcpy(&out, &items[i], sizeof out);
            return;
        }
    }
}

nlohmann::json parseJsonText(const char* text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::out_of_range& e) {
        throw nlohmann::json::parse_error::create(101, 0, e.what(), nullptr);
    }
}

void MessageCode::enCodeMes(char* /*data*/, int /*len*/) {}

// The decoder reads the whole "mes" as DES blocks. A length that is not a
// multiple of 8 has its last block completed by zero bytes, and the output is
// sized for the message, so no length of "mes" reads or writes out of bounds.
static std::string desDecodeText(const std::string& cipher, const shareMemoryItem& record) {
    std::string keyText(record.key, strnlen(record.key, sizeof record.key));
    size_t padded = (cipher.size() + 7) / 8 * 8;
    std::vector<unsigned char> input(cipher.begin(), cipher.end());
    input.resize(padded, 0);
    std::vector<unsigned char> output(padded + 1, 0);
    SecretKeyUnion::getSingleTon()->desDecode(input.data(), output.data(), keyText.c_str(),
                                              static_cast<int>(cipher.size()));
    return std::string(reinterpret_cast<const char*>(output.data()));
}

void MessageCode::deCodeMes(char* data, int /*len*/) {
    shareMemoryHandle* table = shareMemoryHandle::getSingleTon();
    nlohmann::json message = parseJsonText(data);
    std::string id = message["id"].get<std::string>();
    std::string mes = message["mes"].get<std::string>();

    shareMemoryItem record(-1);
    table->getItemByUserid(id, record);
    if (record.id < 0) return;
    mesText = desDecodeText(mes, record);
}

Message* MessageFactory::createMessage(MessageType type) {
    switch (type) {
        case MESSAGE_CODE: return new MessageCode();
    }
    return nullptr;
}
