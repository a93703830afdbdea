#pragma once

#include <QByteArray>

#include <stdexcept>

// A POP3 client offering what the mailbox check needs: connect and log in,
// the message count and mailbox size, and disconnect.
class Pop3Error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class Pop3Client
{
public:
    Pop3Client();
    ~Pop3Client();
    Pop3Client(const Pop3Client &) = delete;
    Pop3Client &operator=(const Pop3Client &) = delete;

    void setHost(const QByteArray &host) { m_host = host; }
    void setPort(int port) { m_port = port; }
    void setUserName(const QByteArray &user) { m_user = user; }
    void setPassword(const QByteArray &password) { m_password = password; }
    QByteArray host() const { return m_host; }
    int port() const { return m_port; }
    QByteArray userName() const { return m_user; }
    QByteArray password() const { return m_password; }

    bool connected() const;
    void connect();
    qint64 messageCount();
    qint64 mailboxSize();
    void disconnect();

private:
    QByteArray m_host;
    int m_port = 0;
    QByteArray m_user;
    QByteArray m_password;
    bool m_connected = false;
};
