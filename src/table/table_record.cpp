// The table's record, shared by its writer and every reader: touches nothing.
#include "table/table_record.h"

#include <cstring>

shareMemoryItem::shareMemoryItem(int id) : id(id) {
    memset(userid, 0, sizeof userid);
    memset(key, 0, sizeof key);
}

bool neverWritten(const shareMemoryItem& slot) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&slot);
    for (size_t i = 0; i < sizeof slot; i++)
        if (bytes[i] != 0) return false;
    return true;
}

bool holdsRecord(const shareMemoryItem& slot) { return slot.id != -1 && !neverWritten(slot); }

std::string useridOf(const shareMemoryItem& record) {
    return std::string(record.userid, strnlen(record.userid, sizeof record.userid));
}
