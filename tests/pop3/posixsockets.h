#pragma once

// The few BSD socket calls the scripted servers use, on Linux and, through
// Winsock, on Windows, where only some names and types differ.

#ifdef _WIN32
#include <winsock2.h>
#define poll WSAPoll
#define close closesocket
#define accept4(s, a, l, f) accept(s, a, l)
using socklen_t = int;
constexpr int MSG_NOSIGNAL = 0;
constexpr int SOCK_CLOEXEC = 0;

// Qt starts Winsock only with its first socket; a server may come first.
struct WinsockStarted
{
    WinsockStarted()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
inline const WinsockStarted winsockStarted;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
