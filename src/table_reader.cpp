// Reading the key table read-only, for the decoder, the tools and any reader.
#include "table_reader.h"

#include <cerrno>
#include <cstring>
#include <mutex>

int openTableView(TableView& view) {
    view.segment = openTableSegment(kTableIpcKey, kTableSlots * kRecordBytes, SegmentAccess::ReadOnly);
    if (view.segment.failed != SegmentStep::None) return view.segment.error;
    view.items = static_cast<const shareMemoryItem*>(view.segment.base);
    view.slots = kTableSlots;
    return 0;
}

void closeTableView(TableView& view) {
    closeTableSegment(view.segment);
    view.items = nullptr;
    view.slots = 0;
}

bool holdsRecord(const shareMemoryItem& slot) { return slot.id != -1 && !neverWritten(slot); }

bool findRecord(const TableView& view, const std::string& userid, shareMemoryItem& out) {
    for (int i = 0; i < view.slots; i++) {
        const shareMemoryItem& slot = view.items[i];
        size_t storedLen = strnlen(slot.userid, sizeof slot.userid);
        if (!holdsRecord(slot) || storedLen != userid.size() || memcmp(slot.userid, userid.data(), storedLen) != 0)
            continue;
        memcpy(&out, &slot, sizeof out);
        return true;
    }
    return false;
}

const TableView* processTableView() {
    static std::mutex lock;
    static TableView view;
    std::lock_guard<std::mutex> guard(lock);
    if (view.items == nullptr && openTableView(view) != 0) return nullptr;
    return &view;
}
