#pragma once

// The connection under a POP3 dialogue: the name lookup, the TCP
// connection and, on the TLS port, the handshake with the certificate
// check, each bounded; then lines in and out. Built on Qt Network's
// blocking calls (waitFor...), on the caller's thread.
//
// Every failure is said in Norwegian from Qt's error codes; text taken from
// a certificate goes through Pop3Text::Quote.

#include "pop3network.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslError>
#include <QString>

#include <memory>

class QSslSocket;
class QTcpSocket;

namespace Pop3 {

class SocketChannel : public Connection
{
public:
    SocketChannel();
    ~SocketChannel() override;
    SocketChannel(const SocketChannel &) = delete;
    SocketChannel &operator=(const SocketChannel &) = delete;

    // Looks the name up, connects and, for TLS, completes the handshake by
    // the deadline. Throws Pop3Error; nothing stays open then.
    void open(const Endpoint &endpoint, Clock::time_point started, Clock::time_point deadline);
    // When the connection stood (TLS included).
    Clock::time_point connectedAt() const override { return m_connectedAt; }

    Io send(const QByteArray &command, Clock::time_point deadline) override;
    Io readLine(Clock::time_point deadline, QByteArray *line) override;
    QString failure() const override { return m_failure; }
    bool wholeFailure() const override { return m_wholeFailure; }

private:
    // The steps of open(), in order.
    QList<QHostAddress> lookUp(Clock::time_point deadline) const;
    void connectTo(const QList<QHostAddress> &addresses, Clock::time_point deadline);
    void startTls(Clock::time_point deadline);
    [[noreturn]] void failTls(Clock::time_point deadline);
    QString certificateText(const QList<QSslError> &errors) const;
    QString demandedText() const;

    // The phrase for a failed read or write, from the socket's error.
    Io failed();

    Endpoint m_endpoint;
    Clock::time_point m_started;
    Clock::time_point m_connectedAt;
    std::unique_ptr<QTcpSocket> m_socket;
    QSslSocket *m_tls = nullptr; // m_socket, when it speaks TLS
    int m_alert = -1;            // the latest TLS alert the server sent (QSsl::AlertType)
    QByteArray m_pending;        // read, not yet taken as a line
    QString m_failure;
    bool m_wholeFailure = false;
};

// The network part on Qt Network (pop3network.h).
const Network &SocketNetwork();

} // namespace Pop3
