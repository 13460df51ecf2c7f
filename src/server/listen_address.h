// Where the server listens, and how an address with an optional port is
// written on a command line: 192.0.2.1, 192.0.2.1:8801, [2001:db8::1],
// [2001:db8::1]:8801, or 2001:db8::1 without a port. The tool's --host
// takes the same forms. Touches nothing.
#ifndef KEYREG_LISTEN_ADDRESS_H
#define KEYREG_LISTEN_ADDRESS_H

#include <sys/socket.h>

#include <string>

struct ListenAddress {
    struct sockaddr_storage addr;
    socklen_t len;
};

// Splits text into host and port; port is "" when none is given. False for
// a text that has no host, an unclosed bracket, or junk after it.
bool splitHostPort(const std::string& text, std::string& host, std::string& port);

// The numeric address of text, with defaultPort when it names none. False
// with the reason in error.
bool parseListenAddress(const std::string& text, int defaultPort, ListenAddress& out, std::string& error);

// Every IPv4 address, port kServerPort: where the server listens unless told.
ListenAddress everyIpv4Address();

// The address as text, and its port.
std::string addressText(const struct sockaddr* addr, int& port);

// ADDRESS:PORT, an IPv6 address in brackets.
std::string peerText(const struct sockaddr* addr);

#endif
