#include "fakepop3server.h"

#include <QList>

#include <algorithm>
#include <stdexcept>

#include "posixsockets.h"

namespace {

constexpr int PollMs = 20;

void sendAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return; // the client went away; the test sees what it sees
        done += n;
    }
}

} // namespace

FakePop3Server::FakePop3Server(const Script &script)
    : m_script(script)
{
    m_listener = int(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // any free port
    socklen_t length = sizeof address;
    if (m_listener < 0 || ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0
        || ::listen(m_listener, 8) < 0
        || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) < 0) {
        if (m_listener >= 0)
            ::close(m_listener);
        throw std::runtime_error("fake POP3 server: cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

FakePop3Server::~FakePop3Server()
{
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

FakePop3Server::Script FakePop3Server::Dialogue(std::initializer_list<const char *> steps)
{
    Script script;
    for (const char *step : steps)
        script.dialogue.append(QByteArray(step));
    return script;
}

QByteArray FakePop3Server::received() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

QByteArray FakePop3Server::mismatch() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_mismatch;
}

// Waits for what the client sends next and appends it to into and to
// received(): the number of bytes, 0 while nothing came yet (the server may
// be stopping), -1 once the client has closed.
qsizetype FakePop3Server::readSome(int client, QByteArray *into)
{
    pollfd p{};
    p.fd = client;
    p.events = POLLIN;
    if (::poll(&p, 1, PollMs) <= 0)
        return 0;
    char buffer[4096];
    const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0)
        return -1;
    into->append(buffer, n);
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_received.append(buffer, n);
    return n;
}

void FakePop3Server::run()
{
    while (!m_stop) {
        pollfd p{};
        p.fd = m_listener;
        p.events = POLLIN;
        if (::poll(&p, 1, PollMs) <= 0)
            continue;
        const int client = int(::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (client < 0)
            continue;
        ++m_connections;
        serve(client);
        ::close(client);
    }
}

// Sleeps in short steps so that stopping the server never waits long.
bool FakePop3Server::pause(std::chrono::milliseconds duration) const
{
    const auto until = std::chrono::steady_clock::now() + duration;
    while (!m_stop) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds::zero())
            return true;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(PollMs)));
    }
    return false;
}

// Sends one reply ("" for the greeting), slowed down as the script says.
void FakePop3Server::reply(int client, const QByteArray &verb, const QByteArray &data)
{
    const bool slow = m_script.slowOnly.isEmpty() || m_script.slowOnly == verb;
    if (!slow) {
        sendAll(client, data);
        return;
    }
    if (!pause(m_script.delay))
        return;
    if (m_script.drip.count() == 0) {
        sendAll(client, data);
        return;
    }
    for (qsizetype i = 0; i < data.size(); ++i) {
        if (i > 0 && !pause(m_script.drip))
            return;
        sendAll(client, data.mid(i, 1));
    }
}

void FakePop3Server::serve(int client)
{
    if (!m_script.dialogue.isEmpty()) {
        serveDialogue(client);
        return;
    }
    QByteArray pending;
    while (m_script.greetAfterClientSpeaks && !m_stop) {
        const qsizetype n = readSome(client, &pending);
        if (n < 0)
            return;
        if (n > 0)
            break;
    }
    pending.clear(); // a TLS client's hello is no command
    if (!m_script.greeting.isEmpty())
        reply(client, QByteArray(), m_script.greeting);
    if (m_script.closeAfterGreeting)
        return;
    while (!m_stop) {
        const qsizetype n = readSome(client, &pending);
        if (n < 0)
            return;
        if (n == 0 || m_script.greeting.isEmpty())
            continue; // a server that never greets never answers either
        qsizetype end;
        while ((end = pending.indexOf("\r\n")) >= 0) {
            const QByteArray line = pending.left(end);
            pending.remove(0, end + 2);
            const QByteArray verb = line.split(' ').value(0).toUpper();
            if (m_script.onCommand)
                m_script.onCommand(verb);
            if (!m_script.closeOn.isEmpty() && verb == m_script.closeOn)
                return;
            if (verb == "USER")
                reply(client, verb, m_script.userReply);
            else if (verb == "PASS")
                reply(client, verb, m_script.passReply);
            else if (verb == "STAT")
                reply(client, verb, m_script.statReply);
            else if (verb == "QUIT") {
                if (m_script.quitReply.isEmpty())
                    continue; // silent: wait until the client gives up
                reply(client, verb, m_script.quitReply);
                return;
            } else
                reply(client, verb, "-ERR unknown command\r\n");
        }
    }
}

void FakePop3Server::serveDialogue(int client)
{
    QByteArray pending;
    for (const QByteArray &step : std::as_const(m_script.dialogue)) {
        if (step == "X")
            return;
        if (step.startsWith("S: ")) {
            reply(client, QByteArray(), step.mid(3) + "\r\n");
            continue;
        }
        if (!step.startsWith("C: "))
            throw std::logic_error("fake POP3 dialogue: a step is \"S: …\", \"C: …\" or \"X\"");
        qsizetype end;
        while ((end = pending.indexOf("\r\n")) < 0) {
            if (m_stop || readSome(client, &pending) < 0) {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_mismatch = "expected «" + step + "», got the connection closed";
                return;
            }
        }
        const QByteArray line = pending.left(end);
        pending.remove(0, end + 2);
        if (line != step.mid(3)) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_mismatch = "expected «" + step + "», got «C: " + line + "»";
            return;
        }
    }
    while (!m_stop && readSome(client, &pending) >= 0) {
    }
}
