// The network part linked into the program that uses it (tests, fuzzers,
// benchmarks): the same code the program loads as a module.

#include "pop3connection.h"

const Pop3::Network &Pop3::NetworkPart()
{
    return SocketNetwork();
}
