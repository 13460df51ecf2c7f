// Reading the key table read-only, for the decoder, the tools and the library.
#include "table_reader.h"

#include <cerrno>
#include <cstring>
#include <mutex>

int openTableView(TableView& view) {
    view.segment = openTableSegment(kTableIpcKey, kTableRecordsBytes, SegmentAccess::ReadOnly);
    if (view.segment.failed != SegmentStep::None) return view.segment.error;
    const char* base = static_cast<const char*>(view.segment.base);
    view.items = reinterpret_cast<const shareMemoryItem*>(base);
    view.sequences = view.segment.bytes >= kTableBytes ? reinterpret_cast<const uint64_t*>(base + kTableRecordsBytes)
                                                       : nullptr;
    view.slots = kTableSlots;
    return 0;
}

void closeTableView(TableView& view) {
    closeTableSegment(view.segment);
    view.items = nullptr;
    view.sequences = nullptr;
    view.slots = 0;
}

bool holdsRecord(const shareMemoryItem& slot) { return slot.id != -1 && !neverWritten(slot); }

SlotCopy readSlot(const TableView& view, int slot, shareMemoryItem& out) {
    return copySlot(&view.items[slot], view.sequences ? &view.sequences[slot] : nullptr, out);
}

// A user id is in one slot at most, so a slot that could not be read matters
// only when no other slot holds it.
Lookup findRecord(const TableView& view, const std::string& userid, shareMemoryItem& out) {
    bool unfinished = false;
    for (int i = 0; i < view.slots; i++) {
        shareMemoryItem copy(-1);
        if (readSlot(view, i, copy) != SlotCopy::Whole) {
            unfinished = true;
            continue;
        }
        size_t storedLen = strnlen(copy.userid, sizeof copy.userid);
        if (!holdsRecord(copy) || storedLen != userid.size() || memcmp(copy.userid, userid.data(), storedLen) != 0)
            continue;
        out = copy;
        return Lookup::Found;
    }
    return unfinished ? Lookup::Unfinished : Lookup::Absent;
}

int listRecords(const TableView& view, shareMemoryItem* out, int* slots, int capacity) {
    int count = 0;
    for (int i = 0; i < view.slots && count < capacity; i++) {
        shareMemoryItem copy(-1);
        if (readSlot(view, i, copy) != SlotCopy::Whole) return -1;
        if (!holdsRecord(copy)) continue;
        out[count] = copy;
        if (slots != nullptr) slots[count] = i;
        count++;
    }
    return count;
}

const TableView* processTableView() {
    static std::mutex lock;
    static TableView view;
    std::lock_guard<std::mutex> guard(lock);
    if (view.items == nullptr && openTableView(view) != 0) return nullptr;
    return &view;
}
