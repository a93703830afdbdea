#pragma once

// A scripted POP3 server on 127.0.0.1 for the faults a real server will not
// produce. It runs on its own thread with plain sockets, because the client
// under test blocks the test's thread (and its event loop) while it waits.
//
// Dialogue: greeting (unless empty), then USER -> the scripted reply,
// PASS -> the scripted reply, STAT -> the scripted reply, QUIT -> the scripted
// reply and close. Replies can be slowed down, fed byte by byte, or left out.
// Or a dialogue written out line by line, both sides (Dialogue below).

#include <QByteArray>
#include <QList>

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <thread>

class FakePop3Server
{
public:
    struct Script
    {
        QByteArray greeting = "+OK fake POP3 ready\r\n"; // empty: never greet
        bool closeAfterGreeting = false;
        QByteArray statReply = "+OK 0 0\r\n"; // empty: never answer STAT
        QByteArray passReply = "+OK\r\n";
        QByteArray quitReply = "+OK bye\r\n"; // empty: never answer QUIT, keep the connection
        QByteArray closeOn{};                 // a command: close the connection instead of answering it
        std::chrono::milliseconds delay{0};   // before each reply
        std::chrono::milliseconds drip{0};    // between the bytes of each reply
        QByteArray slowOnly{};                // a command: only its reply is slowed; empty: every reply
        // Runs on the server's thread as each command (its verb) arrives, before
        // any reply: the client under test waits meanwhile.
        std::function<void(const QByteArray &verb)> onCommand{};
        QByteArray userReply = "+OK\r\n";
        // Greets only once the client has sent something (a TLS client's
        // hello), which is then surely in received().
        bool greetAfterClientSpeaks = false;
        // When not empty, the whole dialogue (see Dialogue); the rest is unused.
        QList<QByteArray> dialogue{};
    };

    // A dialogue as the two sides speak it, in order: "S: text" the server
    // sends (CRLF added), "C: text" the line the client must send next,
    // checked as it arrives, "X" the server closes the connection. At the
    // first client line that differs the server closes the connection and
    // keeps both lines (mismatch()); after the last step it reads on until
    // the client closes. For example:
    //   FakePop3Server server(FakePop3Server::Dialogue(
    //       {"S: +OK ready", "C: USER kari", "S: +OK", "C: PASS x", "S: -ERR no", "X"}));
    static Script Dialogue(std::initializer_list<const char *> steps);

    explicit FakePop3Server(const Script &script);
    ~FakePop3Server();
    FakePop3Server(const FakePop3Server &) = delete;
    FakePop3Server &operator=(const FakePop3Server &) = delete;

    quint16 port() const { return m_port; }
    // Everything clients have sent so far, and how many connected.
    QByteArray received() const;
    int connections() const { return m_connections; }
    // The first client line that differed from the dialogue, with the line
    // it should have been; empty while every line matched.
    QByteArray mismatch() const;

private:
    void run();
    void serve(int client);
    void serveDialogue(int client);
    qsizetype readSome(int client, QByteArray *into);
    void reply(int client, const QByteArray &verb, const QByteArray &data);
    bool pause(std::chrono::milliseconds duration) const;

    Script m_script;
    int m_listener = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_mutex;
    QByteArray m_received;
    QByteArray m_mismatch;
    std::thread m_thread;
};
