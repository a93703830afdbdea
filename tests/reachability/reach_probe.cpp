// Pings a host once with IcmpClient and prints how it went. The tests run it
// as a user without rights, which the test process itself cannot become.
//
//   reach_probe HOST [PING-PROGRAM]
// prints "method=N bytes=N" (exit 0) or "error=TEXT" (exit 1).

#include "icmpclient.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: reach_probe HOST [PING-PROGRAM]\n");
        return 2;
    }
    IcmpClient client;
    client.setHost(args.at(1));
    if (args.size() > 2)
        client.setPingProgram(args.at(2));
    try {
        const int bytes = client.Ping();
        std::printf("method=%d bytes=%d\n", int(client.lastMethod()), bytes);
        return 0;
    } catch (const IcmpError &e) {
        std::printf("error=%s\n", e.what());
        return 1;
    }
}
