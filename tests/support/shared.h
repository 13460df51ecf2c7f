// What the tests and the fuzz targets share.
#ifndef KEYREG_TEST_SHARED_H
#define KEYREG_TEST_SHARED_H

#include "Util.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace harness {

// A record as a registration lays it out: texts copied by length, zeros after.
inline shareMemoryItem record(const std::string& userid, const std::string& key, int id = 0) {
    shareMemoryItem item(id);
    item.useridLen = static_cast<int32_t>(userid.size());
    memcpy(item.userid, userid.data(), std::min(userid.size(), sizeof item.userid));
    item.keyLen = static_cast<int32_t>(key.size());
    memcpy(item.key, key.data(), std::min(key.size(), sizeof item.key));
    return item;
}

// Network and IPC namespaces of this process's own, with loopback up: the
// server's port and table segment inside are its alone, so a test or a
// fuzzer never touches the host's server, table or ephemeral ports.
// "" once inside, else the reason. A user namespace is tried only where the
// caller allows it: the tests start servers that need real root.
inline std::string enterPrivateWorld(bool allowUserNamespace) {
    if (unshare(CLONE_NEWNET | CLONE_NEWIPC) != 0 &&
        (!allowUserNamespace || unshare(CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWIPC) != 0))
        return std::string("unshare: ") + strerror(errno);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr = {};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    std::string why = up ? "" : std::string("bringing lo up: ") + strerror(errno);
    if (s >= 0) close(s);
    return why;
}

}  // namespace harness

#endif
