// The shared key table's face: the process's one writable view of the
// segment, where the server stores and removes records, made or adopted only
// as its policy allows, and the message classes. The segment comes from table_segment, every slot is written and
// copied through table_writer, and decoding reads through table_reader.
#include "Util.h"

#include "log/log_lines.h"
#include "table/message_decode.h"
#include "table/table_reader.h"
#include "table/table_segment.h"
#include "table/table_writer.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

WritableTable slotsOf(shareMemoryHandle& handle) { return {handle.items, handle.sequences, handle.itemCount}; }

// "uid 65534 (nobody)", or the number alone for a user without a name here.
std::string userText(uid_t uid) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char names[1024];
    std::string text = "uid " + std::to_string(uid);
    if (getpwuid_r(uid, &entry, names, sizeof names, &found) == 0 && found != nullptr)
        text += std::string(" (") + found->pw_name + ")";
    return text;
}

// What is wrong with a segment that openTableSegment refused.
std::string refusalOf(const TableSegment& segment, int shmKey, size_t needed) {
    std::string head = "keyreg-server: share memory with IPC key " + std::to_string(shmKey);
    if (segment.failed == SegmentStep::SetReaders)
        return head + " could not be given to its readers: " + strerror(segment.error) + ".";
    if (segment.error == EACCES)
        return head + " may not even be inspected by " + userText(geteuid()) +
               " (ipcs -m shows its owner and mode): this server did not make it.";
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", segment.mode);
    return head + " is no table this server could have made: owner " + userText(segment.owner) + ", creator " +
           userText(segment.creator) + ", mode " + mode + ", " + std::to_string(segment.bytes) +
           " bytes. A table must be made and owned by this server's user, " + userText(geteuid()) +
           ", writable by nobody else, and hold the " + std::to_string(needed) + " bytes of its records.";
}

}  // namespace

shareMemoryHandle::shareMemoryHandle(int count, int shmKey)
    : itemCount(count), shmId(-1), shmKey(shmKey), items(nullptr), sequences(nullptr) {
    if (!attachSegmentOrDie()) return;
    repairUnfinishedSlots();
    WritableTable table = slotsOf(*this);
    markNeverWrittenSlots(table);
}

shareMemoryPolicy& shareMemoryHandle::policy() {
    static shareMemoryPolicy rules;
    return rules;
}

// The messages are the table's own, which operators know from its logs. A
// segment that this user could not have made is never written to: another
// user may have put records there and may change it at any time. With a
// state file to rebuild from, it is removed where this user may.
bool shareMemoryHandle::attachSegmentOrDie() {
    const shareMemoryPolicy& rules = policy();
    size_t needed = static_cast<size_t>(itemCount) * sizeof(shareMemoryItem);
    size_t made = needed + static_cast<size_t>(itemCount) * kSequenceBytes;
    TableSegment segment = openTableSegment(shmKey, needed, SegmentAccess::CreateReadWrite, made, rules.readers);
    int removal = 0;
    if (segment.failed == SegmentStep::Untrusted && rules.removeUntrusted) {
        removal = removeTableSegment(segment);
        if (removal == 0) {
            fprintf(stderr, "%s Removed: the state file rebuilds the table.\n",
                    refusalOf(segment, shmKey, needed).c_str());
            segment = openTableSegment(shmKey, needed, SegmentAccess::CreateReadWrite, made, rules.readers);
        }
    }
    shmId = segment.shmId;
    if (segment.existed) {
        logLine("share memory existed\n");
        flushLog();
    }
    errno = segment.error;
    switch (segment.failed) {
        case SegmentStep::None:
            items = static_cast<shareMemoryItem*>(segment.base);
            if (segment.bytes >= made)
                sequences = reinterpret_cast<uint64_t*>(static_cast<char*>(segment.base) + needed);
            else
                fprintf(stderr, "share memory of %zu bytes has no sequence numbers: readers may see a record half "
                        "written until the segment is made anew (stop the server, ipcrm -M %d, start it)\n",
                        segment.bytes, shmKey);
            return true;
        case SegmentStep::Untrusted:
        case SegmentStep::SetReaders:
            return refuseSegment(segment, removal);
        case SegmentStep::Create:
            perror("create share memory failed\n");
            errno = EINVAL;  // what attaching the failed identifier reports
            break;
        case SegmentStep::Lookup:
        case SegmentStep::Size:  // the writer refuses a small segment as untrusted
        case SegmentStep::Attach:
            break;
    }
    perror("create share memory error\n");
    exit(-1);
}

// Says why and what to do, then ends the process or leaves the handle
// without slots, as the policy says; false.
bool shareMemoryHandle::refuseSegment(const TableSegment& segment, int removal) {
    size_t needed = static_cast<size_t>(itemCount) * sizeof(shareMemoryItem);
    std::string removed = removal != 0 ? std::string(" It could not be removed: ") + strerror(removal) + "." : "";
    bool exits = policy().exitOnRefusal;
    fprintf(stderr, "%s%s Remove it as root (ipcrm -M %d), then start keyreg-server again.%s\n",
            refusalOf(segment, shmKey, needed).c_str(), removed.c_str(), shmKey,
            exits ? "" : " Until then every registration is answered \"communicate failed\".");
    if (exits) exit(kExitTableUntrusted);
    itemCount = 0;
    return false;
}

// A write that never finished would keep readers waiting, and its record may
// be half written: the slot is emptied, and said so.
void shareMemoryHandle::repairUnfinishedSlots() {
    WritableTable table = slotsOf(*this);
    repairedSlots = ::repairUnfinishedSlots(table);
    for (int slot : repairedSlots)
        fprintf(stderr, "share memory slot %d was left half written by a writer that stopped: emptied\n", slot);
}

shareMemoryHandle* shareMemoryHandle::getSingleTon() {
    static shareMemoryHandle handle(kTableSlots, kTableIpcKey);
    return &handle;
}

int shareMemoryHandle::addItem(shareMemoryItem& item) {
    std::lock_guard<std::mutex> lock(itemMutex);
    WritableTable table = slotsOf(*this);
    return storeRecord(table, item);
}

int shareMemoryHandle::removeItemById(int id) {
    std::lock_guard<std::mutex> lock(itemMutex);
    WritableTable table = slotsOf(*this);
    return emptySlotWithId(table, id);
}

// The look-ups take no lock: each slot is copied whole, as other processes
// copy it, and compared afterwards. A slot whose write never finishes is
// passed over.
void shareMemoryHandle::getItemById(int id, shareMemoryItem& out) {
    WritableTable table = slotsOf(*this);
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem copy(-1);
        if (copyWholeSlot(table, i, copy) && copy.id == id) {
            out = copy;
            return;
        }
    }
}

void shareMemoryHandle::getItemByUserid(std::string userid, shareMemoryItem& out) {
    WritableTable table = slotsOf(*this);
    for (int i = 0; i < itemCount; i++) {
        shareMemoryItem copy(-1);
        if (copyWholeSlot(table, i, copy) && useridOf(copy) == userid) {
            out = copy;
            return;
        }
    }
}

void MessageCode::enCodeMes(char* /*data*/, int /*len*/) {}

// The table is read, never made or reset here: a decoding process needs no
// more than read access to it, and must leave the server's records alone. A
// record that could not be read whole decodes nothing, as no record does.
void MessageCode::deCodeMes(char* data, int /*len*/) {
    const TableView* table = processTableView();
    if (table == nullptr) {
        readMessageText(data);  // a text that is no message throws all the same
        return;
    }
    DecodedMessage decoded = decodeMessage(*table, data);
    if (decoded.found == Lookup::Found) mesText = decoded.text;
}

bool groupIdOf(const std::string& group, gid_t& gid) {
    std::vector<char> names(1024);
    struct group entry;
    struct group* found = nullptr;
    int error;
    while ((error = getgrnam_r(group.c_str(), &entry, names.data(), names.size(), &found)) == ERANGE)
        names.resize(names.size() * 2);
    if (error == 0 && found != nullptr) {
        gid = found->gr_gid;
        return true;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long number = strtoul(group.c_str(), &end, 10);
    if (group.empty() || !isdigit(static_cast<unsigned char>(group[0])) || *end != '\0' || errno != 0 ||
        number >= static_cast<gid_t>(-1))
        return false;
    gid = static_cast<gid_t>(number);
    return true;
}

Message* MessageFactory::createMessage(MessageType type) {
    switch (type) {
        case MESSAGE_CODE: return new MessageCode();
    }
    return nullptr;
}
