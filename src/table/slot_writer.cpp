// The seqlock's writer side: word stores into one slot between the two steps
// of its sequence number. Touches only the slot and sequence number given.
#include "slot_seqlock.h"

namespace {

void storeWords(shareMemoryItem* slot, const shareMemoryItem& record) {
    SlotWord* to = reinterpret_cast<SlotWord*>(slot);
    const SlotWord* from = reinterpret_cast<const SlotWord*>(&record);
    for (size_t i = 0; i < kSlotWords; i++) __atomic_store_n(&to[i], from[i], __ATOMIC_RELAXED);
}

}  // namespace

// The release fence keeps every word store after the odd number: a reader
// that sees one of them also sees that number, or a later one, when it checks
// again (Boehm, "Can seqlocks get along with programming language memory
// models?", 2012). The final release store publishes the words with the even
// number. An odd number found here (a write that was never repaired) stays
// odd until this write ends.
void writeSlot(shareMemoryItem* slot, uint64_t* sequence, const shareMemoryItem& record) {
    if (sequence == nullptr) {
        storeWords(slot, record);
        return;
    }
    uint64_t odd = __atomic_load_n(sequence, __ATOMIC_RELAXED) | 1;
    __atomic_store_n(sequence, odd, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    storeWords(slot, record);
    __atomic_store_n(sequence, odd + 1, __ATOMIC_RELEASE);
}

std::vector<int> repairUnfinishedWrites(shareMemoryItem* slots, uint64_t* sequences, int count) {
    std::vector<int> repaired;
    if (sequences == nullptr) return repaired;
    const int32_t emptyId = shareMemoryItem(-1).id;
    for (int i = 0; i < count; i++) {
        uint64_t at = __atomic_load_n(&sequences[i], __ATOMIC_RELAXED);
        if ((at & 1) == 0) continue;
        __atomic_store_n(&slots[i].id, emptyId, __ATOMIC_RELAXED);
        __atomic_store_n(&sequences[i], at + 1, __ATOMIC_RELEASE);
        repaired.push_back(i);
    }
    return repaired;
}
