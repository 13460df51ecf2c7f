// Reading the key table read-only, for the decoder, the tools and the library.
#include "table/table_reader.h"

#include "slot_seqlock.h"

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

namespace {

// The record in slot, whole, or its first words.
SlotCopy readSlot(const TableView& view, int slot, shareMemoryItem& out, size_t words = kSlotWords) {
    return copySlot(&view.items[slot], view.sequences ? &view.sequences[slot] : nullptr, out, words);
}

bool holdsUserid(const shareMemoryItem& slot, const std::string& userid) {
    size_t storedLen = strnlen(slot.userid, sizeof slot.userid);
    return slot.id != -1 && storedLen == userid.size() && memcmp(slot.userid, userid.data(), storedLen) == 0;
}

}  // namespace

// A user id is in one slot at most, so a slot that could not be read matters
// only when no other slot holds it. The head of each slot tells whose record
// it holds; only the one that holds userid's is copied whole.
Lookup findRecord(const TableView& view, const std::string& userid, shareMemoryItem& out) {
    bool unfinished = false;
    shareMemoryItem copy(-1);
    for (int i = 0; i < view.slots; i++) {
        if (readSlot(view, i, copy, kHeadWords) != SlotCopy::Whole ||
            (holdsUserid(copy, userid) && readSlot(view, i, copy) != SlotCopy::Whole)) {
            unfinished = true;
            continue;
        }
        if (!holdsUserid(copy, userid) || !holdsRecord(copy)) continue;
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

// A table made anew (after ipcrm, or after the server's reboot of it) takes
// the place of the one attached, which stays mapped: another thread may
// still be reading it, and tables are made rarely.
const TableView* processTableView() {
    static std::mutex lock;
    static TableView* view = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    if (view != nullptr && tableSegmentId(kTableIpcKey) == view->segment.shmId) return view;
    TableView* fresh = new TableView;
    if (openTableView(*fresh) != 0) {
        delete fresh;
        return view;
    }
    view = fresh;
    return view;
}
