// The module the program loads at its first check (pop3network_loader.cpp):
// its one entry point hands out the network part.

#include "pop3connection.h"

#include <QtGlobal>

extern "C" Q_DECL_EXPORT const Pop3::Network *korvelin_pop3_network()
{
    return &Pop3::SocketNetwork();
}
