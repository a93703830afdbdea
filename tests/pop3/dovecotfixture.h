#pragma once

// The real POP3 server for tests: a Dovecot on 127.0.0.1 that the CTest
// fixture "dovecot" starts before and stops after the tests that need it
// (tests/pop3/dovecot-fixture.sh does the work).
//
// Using it from another test, in that test's CMakeLists.txt:
//
//     korvelin_add_test(my_test SOURCES my_test.cpp LIBS korvelin_checker korvelin_test_dovecot)
//     set_tests_properties(my_test PROPERTIES FIXTURES_REQUIRED dovecot)
//
// and in the test:
//
//     #include "dovecotfixture.h"
//     QString why;
//     const auto server = TestDovecot::Server::find(&why);
//     if (!server)
//         QSKIP(qPrintable(why));
//     const QByteArray user = TestDovecot::uniqueUser("kari");   // own mailbox
//     server->setUser(user, "hemmelig");                          // any bytes but ':' CR LF NUL
//     server->addMessage(user, "Subject: hei\n\nTekst\n");
//     // ... point the program at 127.0.0.1, server->port(), user, "hemmelig";
//     // a check must then show TestDovecot::statSize(message) bytes i 1 meldinger.
//
// The server is found through the environment variable KORVELIN_DOVECOT_DIR
// when it is set, else through the folder the fixture uses in this build tree
// (so a test binary also runs by hand after
//  `tests/pop3/dovecot-fixture.sh start BUILD/tests/pop3/dovecot tls`).
// Tests may run in parallel against the one server: give every test its own
// user names (uniqueUser) and never depend on another test's mailbox.
//
// A file that cannot be written throws std::runtime_error: Qt Test reports
// it and ends the test program, which then fails.

#include <QByteArray>
#include <QString>

#include <optional>

namespace TestDovecot {

class Server
{
public:
    // The running server, or nothing with the reason in *why.
    static std::optional<Server> find(QString *why);

    quint16 port() const { return m_port; }
    // The plain port listens on 127.0.0.1 and on 127.0.0.2. A connection to
    // 127.0.0.2 comes from 127.0.0.1, which the server does not count as a
    // secure one: it refuses plain-text logins there, as it does from
    // another machine. It offers CRAM-MD5 beside PLAIN and LOGIN.
    static QByteArray insecureAddress() { return "127.0.0.2"; }
    // The POP3-over-TLS port, 0 when the server has none. Its certificate is
    // self-signed for 127.0.0.1 and "localhost": not trusted by the system.
    quint16 tlsPort() const { return m_tlsPort; }
    // That certificate as a PEM file, for a test that wants to trust it.
    QByteArray certificateFile() const { return m_root + "/cert.pem"; }
    // The server's log (logins, failures; never passwords).
    QByteArray logFile() const { return m_root + "/dovecot.log"; }

    // How the server keeps a password: as typed, or hashed (SHA512-CRYPT,
    // as a system server does; then only a login that sends the password
    // itself, USER/PASS or PLAIN, can be checked, and CRAM-MD5 cannot).
    enum class Storage { Plain, Hashed };

    // Adds the user or replaces its password; the next login sees it.
    // Replacing a password takes a second (the server looks for changes at
    // most once a second), adding a user does not. Names and passwords are
    // bytes; use UTF-8 for letters like "æøå". A name must not contain '/'
    // or ':' or be "." or "..".
    void setUser(const QByteArray &name, const QByteArray &password, Storage storage = Storage::Plain) const;
    // Delivers one message (bytes as they are, LF or CRLF line ends) to the
    // user's mailbox; it counts from the next login on.
    void addMessage(const QByteArray &user, const QByteArray &message) const;

private:
    QByteArray m_dir;  // the fixture's folder (root, port, tls_port)
    QByteArray m_root; // the server's own folder (users/, mail/, cert.pem)
    quint16 m_port = 0;
    quint16 m_tlsPort = 0;
};

// The size the server reports in STAT for a message: its bytes with every
// line end counted as CRLF (a bare LF counts two octets, as on the wire).
qint64 statSize(const QByteArray &message);

// prefix + a part unique to this process and call, e.g. "kari-12345-3".
QByteArray uniqueUser(const QByteArray &prefix);

} // namespace TestDovecot
