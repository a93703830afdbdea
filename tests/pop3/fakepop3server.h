#pragma once

// A scripted POP3 server on 127.0.0.1 for the faults a real server will not
// produce. It runs on its own thread with plain sockets, because the client
// under test blocks the test's thread (and its event loop) while it waits.
//
// Dialogue: greeting (unless empty), then CAPA -> "+OK" USER ".", USER and
// PASS -> "+OK", STAT -> the scripted reply, QUIT -> "+OK" and close.

#include <QByteArray>

#include <atomic>
#include <mutex>
#include <thread>

class FakePop3Server
{
public:
    struct Script {
        QByteArray greeting = "+OK fake POP3 ready\r\n"; // empty: never greet
        bool closeAfterGreeting = false;
        QByteArray statReply = "+OK 0 0\r\n";
    };

    explicit FakePop3Server(const Script &script);
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server &) = delete;
    FakePop3Server &operator=(const FakePop3Server &) = delete;

    quint16 port() const { return m_port; }
    // Everything clients have sent so far, and how many connected.
    QByteArray received() const;
    int connections() const { return m_connections; }

private:
    void run();
    void serve(int client);

    Script m_script;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::thread m_thread;
};
