// Listening addresses: parsed with getaddrinfo, numeric only, either family.
#include "server/listen_address.h"

#include "protocol.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>

bool splitHostPort(const std::string& text, std::string& host, std::string& port) {
    size_t colon = std::string::npos;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || close == 1) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size() && text[close + 1] != ':') return false;
        colon = close + 1 < text.size() ? close + 1 : std::string::npos;
    } else {
        // More than one colon without brackets: an IPv6 address, no port.
        colon = text.find(':') == text.rfind(':') ? text.find(':') : std::string::npos;
        host = text.substr(0, colon);
    }
    port = colon == std::string::npos ? "" : text.substr(colon + 1);
    return !host.empty() && (colon == std::string::npos || !port.empty());
}

bool parseListenAddress(const std::string& text, int defaultPort, ListenAddress& out, std::string& error) {
    std::string host, port;
    if (!splitHostPort(text, host, port)) {
        error = "'" + text + "' is no ADDRESS, [IPV6-ADDRESS] or either with :PORT";
        return false;
    }
    char* end = nullptr;
    long number = port.empty() ? defaultPort : strtol(port.c_str(), &end, 10);
    if (!port.empty() && (*end != '\0' || number < 1 || number > 65535)) {
        error = "the port of '" + text + "' is not a number from 1 to 65535";
        return false;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    struct addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(number).c_str(), &hints, &found);
    if (rc != 0) {
        error = "'" + host + "' is no IPv4 or IPv6 address: " + gai_strerror(rc);
        return false;
    }
    memcpy(&out.addr, found->ai_addr, found->ai_addrlen);
    out.len = static_cast<socklen_t>(found->ai_addrlen);
    freeaddrinfo(found);
    return true;
}

ListenAddress everyIpv4Address() {
    ListenAddress every;
    memset(&every, 0, sizeof every);
    struct sockaddr_in* in = reinterpret_cast<struct sockaddr_in*>(&every.addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_ANY);
    in->sin_port = htons(kServerPort);
    every.len = sizeof *in;
    return every;
}

std::string addressText(const struct sockaddr* addr, int& port) {
    char text[INET6_ADDRSTRLEN];
    memset(text, 0, sizeof text);
    if (addr->sa_family == AF_INET6) {
        const struct sockaddr_in6* in6 = reinterpret_cast<const struct sockaddr_in6*>(addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
        return text;
    }
    const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    port = ntohs(in->sin_port);
    return text;
}

std::string peerText(const struct sockaddr* addr) {
    int port = 0;
    std::string text = addressText(addr, port);
    if (addr->sa_family == AF_INET6) text = "[" + text + "]";
    return text + ":" + std::to_string(port);
}
