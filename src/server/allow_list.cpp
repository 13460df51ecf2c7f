// The allow list in use, behind one atomic pointer, and reading it from a file.
#include "server/allow_list.h"

#include "metrics/metrics.h"
#include "protocol.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

namespace {

typedef std::unordered_set<std::string> IdSet;

const IdSet* builtInSet() {
    static const IdSet& ids = *new IdSet(builtInAllowList().begin(), builtInAllowList().end());
    return &ids;
}

std::atomic<const IdSet*>& listInUse() {
    static std::atomic<const IdSet*> list{builtInSet()};
    return list;
}

// A list that a reload replaced may still be read by a request decided just
// then; freeing it would need every worker to say when it is done. A reload
// is an operator's act and a list a few bytes, so replaced lists are kept.
// Caller is the one thread that reloads.
void keepReplaced(const IdSet* list) {
    static std::vector<const IdSet*>& replaced = *new std::vector<const IdSet*>;
    replaced.push_back(list);
}

// The file of the list in use; "" for the built-in one.
std::string& fileInUse() {
    static std::string& path = *new std::string;
    return path;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string trimmed(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = 0, end = line.size();
    while (first < end && isBlank(line[first])) first++;
    while (end > first && isBlank(line[end - 1])) end--;
    return line.substr(first, end - first);
}

// Why id cannot be one, or "".
std::string idProblem(const std::string& id) {
    if (id.size() > static_cast<size_t>(kMaxUseridBytes))
        return "a user id has at most " + std::to_string(kMaxUseridBytes) + " bytes; this one has " +
               std::to_string(id.size());
    for (unsigned char c : id)
        if (c < 0x20 || c == 0x7f) return "a user id holds no control character, and this one does (byte " +
                                          std::to_string(c) + ")";
    return "";
}

bool readWholeFile(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    int err = errno;
    close(fd);
    errno = err;
    return n == 0;
}

}  // namespace

const std::vector<std::string>& builtInAllowList() {
    static const std::vector<std::string> ids = {"dorvanek", "talumesko", "tuvi", "brenquolar", "vestimorank"};
    return ids;
}

bool allowListHolds(const std::string& userid) {
    const IdSet* list = listInUse().load(std::memory_order_acquire);
    return list->count(userid) != 0;
}

size_t allowListSize() { return listInUse().load(std::memory_order_acquire)->size(); }

bool parseAllowList(const std::string& text, std::vector<std::string>& ids, std::string& error) {
    std::istringstream lines(text);
    std::unordered_map<std::string, int> lineOf;
    std::string line;
    for (int number = 1; std::getline(lines, line); number++) {
        std::string id = trimmed(line);
        if (id.empty() || id[0] == '#') continue;
        std::string problem = idProblem(id);
        auto seen = lineOf.find(id);
        if (problem.empty() && seen != lineOf.end())
            problem = id + " is listed twice, first on line " + std::to_string(seen->second);
        if (!problem.empty()) {
            error = std::to_string(number) + ": " + problem;
            return false;
        }
        lineOf[id] = number;
        ids.push_back(id);
    }
    return true;
}

bool useAllowListFile(const std::string& path, std::string& error) {
    std::string text;
    if (!readWholeFile(path, text)) {
        error = path + ": cannot be read: " + strerror(errno);
        return false;
    }
    std::vector<std::string> ids;
    if (!parseAllowList(text, ids, error)) {
        error = path + ":" + error;
        return false;
    }
    const IdSet* fresh = new IdSet(ids.begin(), ids.end());
    keepReplaced(listInUse().exchange(fresh, std::memory_order_acq_rel));
    fileInUse() = path;
    return true;
}

void readAllowListFileAgain() {
    const std::string path = fileInUse();
    std::string error;
    if (path.empty()) {
        fprintf(stderr, "keyreg-server: SIGHUP: no --allow-list file to read again; the built-in ids stay\n");
        return;
    }
    bool used = useAllowListFile(path, error);
    countAllowListReload(used);
    if (used)
        fprintf(stderr, "keyreg-server: %s read again: %zu user ids may register\n", path.c_str(), allowListSize());
    else
        fprintf(stderr, "keyreg-server: %s; the allow list in use stays as it was\n", error.c_str());
}
