// The C interface of the table library (include/keyreg/table.h) over the
// read-only view and the decoder; touches the table only through table_reader,
// and asks table_segment which segment holds the key now.
#include "keyreg/table.h"

#include "table/message_decode.h"
#include "table/table_reader.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

static_assert(sizeof(keyreg_record) == sizeof(shareMemoryItem), "the library's record is the table's");
static_assert(offsetof(keyreg_record, useridLen) == offsetof(shareMemoryItem, useridLen), "record layout");
static_assert(offsetof(keyreg_record, userid) == offsetof(shareMemoryItem, userid), "record layout");
static_assert(offsetof(keyreg_record, keyLen) == offsetof(shareMemoryItem, keyLen), "record layout");
static_assert(offsetof(keyreg_record, key) == offsetof(shareMemoryItem, key), "record layout");
static_assert(KEYREG_TABLE_SLOTS == kTableSlots, "the library's slot count is the table's");

namespace {

// How often a handle looks for a table made anew: a look-up pays the
// system call once in this time, not every time.
const std::chrono::milliseconds kRecheck(100);

typedef std::shared_ptr<TableView> SharedView;

}  // namespace

// Threads share a handle: lock guards view, error and checked, and is held
// for a look at the clock and a pointer copy, and once per kRecheck for the
// system call; the records are read outside it. A view left behind stays
// attached until the last look-up that reads it is done.
struct keyreg_table {
    std::mutex lock;
    SharedView view;  // null while no table could be opened
    int error = 0;    // why not
    std::chrono::steady_clock::time_point checked;
};

namespace {

// The table under the key now, or null with error set.
SharedView openShared(int& error) {
    std::unique_ptr<TableView> view(new TableView);
    error = openTableView(*view);
    if (error != 0) return nullptr;
    return SharedView(view.release(), [](TableView* done) {
        closeTableView(*done);
        delete done;
    });
}

// The view that a look-up reads: the one attached, or the table made anew
// in its place (ipcrm -M, and a server that made another one) once kRecheck
// has passed since the last look. Null with errno set while there is none.
SharedView currentView(keyreg_table* t) {
    std::lock_guard<std::mutex> guard(t->lock);
    auto now = std::chrono::steady_clock::now();
    if (now - t->checked >= kRecheck) {
        t->checked = now;
        if (t->view == nullptr || tableSegmentId(kTableIpcKey) != t->view->segment.shmId)
            t->view = openShared(t->error);
    }
    if (t->view == nullptr) errno = t->error;
    return t->view;
}

int failWith(int error) {
    errno = error;
    return -1;
}

void copyOut(const shareMemoryItem& record, keyreg_record* out) { memcpy(out, &record, sizeof *out); }

}  // namespace

keyreg_table* keyreg_table_open(void) {
    try {
        std::unique_ptr<keyreg_table> t(new keyreg_table);
        t->view = openShared(t->error);
        t->checked = std::chrono::steady_clock::now();
        if (t->view != nullptr) return t.release();
        errno = t->error;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    }
    return nullptr;
}

int keyreg_table_get(keyreg_table* t, const char* userid, keyreg_record* out) {
    if (t == nullptr || userid == nullptr || out == nullptr) return failWith(EINVAL);
    try {
        SharedView view = currentView(t);
        if (view == nullptr) return -1;
        shareMemoryItem record(-1);
        switch (findRecord(*view, userid, record)) {
            case Lookup::Found: copyOut(record, out); return 1;
            case Lookup::Absent: return 0;
            case Lookup::Unfinished: break;
        }
        return failWith(EAGAIN);
    } catch (const std::bad_alloc&) {
        return failWith(ENOMEM);
    }
}

int keyreg_table_list(keyreg_table* t, keyreg_record* out, int* slots, int capacity) {
    if (t == nullptr || out == nullptr || capacity < 0) return failWith(EINVAL);
    try {
        SharedView view = currentView(t);
        if (view == nullptr) return -1;
        std::vector<shareMemoryItem> records(kTableSlots, shareMemoryItem(-1));
        int count = listRecords(*view, records.data(), slots, capacity < kTableSlots ? capacity : kTableSlots);
        if (count < 0) return failWith(EAGAIN);
        for (int i = 0; i < count; i++) copyOut(records[static_cast<size_t>(i)], &out[i]);
        return count;
    } catch (const std::bad_alloc&) {
        return failWith(ENOMEM);
    }
}

int keyreg_table_decode(keyreg_table* t, const char* message, char* text, size_t size) {
    if (t == nullptr || message == nullptr || text == nullptr) return failWith(EINVAL);
    try {
        SharedView view = currentView(t);
        if (view == nullptr) return -1;
        DecodedMessage decoded = decodeMessage(*view, message);
        if (decoded.found == Lookup::Absent) return 0;
        if (decoded.found == Lookup::Unfinished) return failWith(EAGAIN);
        if (decoded.text.size() >= size) return failWith(ERANGE);
        memcpy(text, decoded.text.c_str(), decoded.text.size() + 1);
        return 1;
    } catch (const nlohmann::json::exception&) {
        return failWith(EBADMSG);
    } catch (const std::bad_alloc&) {
        return failWith(ENOMEM);
    }
}

const char* keyreg_strerror(int errnum) {
    switch (errnum) {
        case ENOENT: return "no key table yet: keyreg-server makes it with its first registration";
        case EACCES: return "the key table may not be read by this user: only keyreg-server's own user and the "
                            "members of the group it names with --readers may";
        case EINVAL: return "a shared-memory segment too small for the key table, or an invalid argument";
        case EAGAIN: return "a record stayed half written: its writer stopped mid-write; restarting keyreg-server "
                            "repairs the slot";
        case EBADMSG: return "not a message: a JSON object with the string members \"id\" and \"mes\" is expected";
        case ERANGE: return "the buffer is too small for the decoded text";
        case ENOMEM: return "out of memory";
    }
    return strerror(errnum);
}

void keyreg_table_close(keyreg_table* t) {
    delete t;
}
