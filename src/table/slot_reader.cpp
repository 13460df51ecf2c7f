// The seqlock's reader side: copying one slot whole, in any process, without
// writing to the segment. Touches only the slot and sequence number given.
#include "slot_seqlock.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

// A write takes well under a microsecond, but its thread may be preempted
// midway for a few scheduler periods; only a writer that died stays longer.
const int kSpins = 100;
const std::chrono::microseconds kPause(50);
const std::chrono::seconds kPatience(1);

void loadWords(const shareMemoryItem* slot, shareMemoryItem& out, size_t words) {
    const SlotWord* from = reinterpret_cast<const SlotWord*>(slot);
    SlotWord* to = reinterpret_cast<SlotWord*>(&out);
    for (size_t i = 0; i < words; i++) to[i] = __atomic_load_n(&from[i], __ATOMIC_RELAXED);
}

// One try; true when out holds a whole record. The acquire fence keeps the
// second look at the number after every word load: a word of a later write
// shows there as a changed number.
bool tryCopy(const shareMemoryItem* slot, const uint64_t* sequence, shareMemoryItem& out, size_t words) {
    if (sequence == nullptr) {
        shareMemoryItem again(-1);
        loadWords(slot, out, words);
        loadWords(slot, again, words);
        return memcmp(&out, &again, words * sizeof(SlotWord)) == 0;
    }
    uint64_t before = __atomic_load_n(sequence, __ATOMIC_ACQUIRE);
    if (before & 1) return false;
    loadWords(slot, out, words);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    return __atomic_load_n(sequence, __ATOMIC_RELAXED) == before;
}

}  // namespace

// Spins first, then sleeps between tries, leaving the core to the writer.
SlotCopy copySlot(const shareMemoryItem* slot, const uint64_t* sequence, shareMemoryItem& out, size_t words) {
    for (int i = 0; i < kSpins; i++)
        if (tryCopy(slot, sequence, out, words)) return SlotCopy::Whole;
    auto giveUp = std::chrono::steady_clock::now() + kPatience;
    while (!tryCopy(slot, sequence, out, words)) {
        if (std::chrono::steady_clock::now() >= giveUp) return SlotCopy::Unfinished;
        std::this_thread::sleep_for(kPause);
    }
    return SlotCopy::Whole;
}
