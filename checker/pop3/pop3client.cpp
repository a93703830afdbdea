#include "pop3client.h"

#include "pop3network.h"
#include "pop3text.h"
#include "servername.h"

#include <QUrl>

using Pop3Text::QuoteSetting;

// One open session: its connection and the dialogue on it.
struct Pop3Client::Session
{
    std::unique_ptr<Pop3::Connection> connection;
    std::unique_ptr<Pop3::Dialogue> dialogue;
    qint64 count = 0;
    qint64 size = 0;
};

Pop3Client::Pop3Client() = default;

Pop3Client::~Pop3Client()
{
    disconnect();
}

bool Pop3Client::connected() const
{
    return m_session != nullptr;
}

void Pop3Client::setTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds response,
                             std::chrono::milliseconds check, std::chrono::milliseconds quit)
{
    m_bounds = Pop3::Bounds{connect, response, check, quit};
}

namespace {

// A whole number from 1 to 65535 in ASCII digits, blanks around it allowed
// (a hand-edited file may have them), or 0 for anything else.
int portNumber(QByteArray text)
{
    text = text.trimmed();
    if (text.isEmpty() || text.size() > 5)
        return 0;
    int port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        port = port * 10 + (c - '0');
    }
    return port <= 65535 ? port : 0;
}

// The user name and password travel inside a command line: a line break
// would end the command and start one of the text's choosing, a NUL would
// cut it short on many servers.
void checkCredential(const QByteArray &value, const QString &what)
{
    if (value.contains('\0') || value.contains('\r') || value.contains('\n'))
        throw Pop3Error(QStringLiteral("%1 inneholder et linjeskift eller et NUL-tegn og kan ikke sendes "
                                       "til POP3-serveren.")
                            .arg(what));
}

} // namespace

int Pop3Client::port() const
{
    return portNumber(m_portText);
}

// The shared rule for server names decides; the messages are the POP3
// client's.
QString Pop3Client::lookupHost(const QByteArray &host, QString *why)
{
    // The settings store holds the name in the local 8-bit encoding.
    const ServerNameCheck checked = CheckServerName(QString::fromLocal8Bit(host));
    switch (checked.fault) {
    case ServerNameCheck::Accepted:
        break;
    case ServerNameCheck::Empty:
        *why = QStringLiteral("Ingen POP3-server er satt opp: servernavnet er tomt.");
        return {};
    case ServerNameCheck::BlankOrControl:
        *why = QStringLiteral("Servernavnet «%1» inneholder mellomrom eller kontrolltegn og kan ikke brukes.")
                   .arg(QuoteSetting(host));
        return {};
    case ServerNameCheck::LeadingDash:
        *why = QStringLiteral("Servernavnet «%1» kan ikke begynne med «-».").arg(QuoteSetting(host));
        return {};
    case ServerNameCheck::NotAnAddress:
        *why = QStringLiteral("Servernavnet «%1» er verken et vertsnavn eller en IPv6-adresse "
                              "(porten settes ikke i servernavnet).")
                   .arg(QuoteSetting(host));
        return {};
    case ServerNameCheck::ForbiddenCharacter:
        *why = QStringLiteral("Servernavnet «%1» inneholder tegnet «%2», som ikke kan stå i et vertsnavn.")
                   .arg(QuoteSetting(host), checked.character);
        return {};
    }
    const QString form = checked.lookupForm();
    if (checked.ipv6) {
        const Pop3::AddressFacts address = Pop3::NetworkPart().address(form);
        if (!address.address) {
            *why = QStringLiteral("Servernavnet «%1» er ikke en gyldig IPv6-adresse.").arg(QuoteSetting(host));
            return {};
        }
        // Which interface a link-local address lies on is for the user to say.
        if (address.linkLocal && !address.scoped) {
            *why = QStringLiteral("IPv6-adressen «%1» gjelder bare på ett nettverkskort, og servernavnet sier ikke "
                                  "hvilket: skriv det bak adressen, for eksempel «%1%eth0».")
                       .arg(form);
            return {};
        }
        return form;
    }
    // Qt's own conversion, the same under any locale: the resolver and the
    // certificate check take the ASCII form.
    if (Pop3::NetworkPart().address(form).address)
        return form;
    const QString ace = QString::fromLatin1(QUrl::toAce(form));
    if (ace.isEmpty()) {
        *why = QStringLiteral("Servernavnet «%1» er ikke et gyldig vertsnavn.").arg(QuoteSetting(host));
        return {};
    }
    return ace;
}

int Pop3Client::checkedPort() const
{
    if (m_portText.trimmed().isEmpty() || m_portText.trimmed() == "0")
        return DefaultPort;
    const int port = portNumber(m_portText);
    if (port == 0)
        throw Pop3Error(QStringLiteral("Ugyldig portnummer «%1» for POP3-serveren: porten må være et helt tall fra 1 "
                                       "til 65535.")
                            .arg(QuoteSetting(m_portText)));
    return port;
}

void Pop3Client::checkAccount() const
{
    if (m_user.isEmpty())
        throw Pop3Error(QStringLiteral("Ingen POP3-konto er satt opp: brukernavnet er tomt."));
    checkCredential(m_user, QStringLiteral("Brukernavnet"));
    checkCredential(m_password, QStringLiteral("Passordet"));
}

void Pop3Client::connect()
{
    disconnect();
    // Everything the settings can get wrong is said before any traffic, in
    // the order the user reads the settings: the port, the server, the account.
    const int port = checkedPort();
    QString why;
    const QString host = lookupHost(m_host, &why);
    if (host.isEmpty())
        throw Pop3Error(why);
    checkAccount();

    Pop3::Endpoint endpoint;
    const bool ipv6 = host.contains(QLatin1Char(':'));
    // A name is shown as the user wrote it, an IPv6 address in brackets.
    endpoint.where = (ipv6 ? QLatin1Char('[') + host + QLatin1Char(']') : QString::fromLocal8Bit(m_host))
                   + QLatin1Char(':') + QString::number(port);
    endpoint.host = host;
    // Passed the rule for server names: no control or blank in it.
    endpoint.name = ipv6 ? host : QString::fromLocal8Bit(m_host);
    endpoint.numeric = Pop3::NetworkPart().address(host).address;
    endpoint.port = quint16(port);
    endpoint.tls = port == m_tlsPort;
    endpoint.caFile = m_caFile;

    const Pop3::Clock::time_point started = Pop3::Clock::now();
    auto session = std::make_unique<Session>();
    session->connection = Pop3::NetworkPart().open(endpoint, started,
                                                   std::min(started + m_bounds.connect, started + m_bounds.check));
    session->dialogue = std::make_unique<Pop3::Dialogue>(*session->connection, endpoint.where, m_bounds, started,
                                                         session->connection->connectedAt());
    session->dialogue->logIn(m_user, m_password);
    session->dialogue->stat(&session->count, &session->size);
    m_session = std::move(session);
}

qint64 Pop3Client::messageCount()
{
    if (!m_session)
        throw Pop3Error(QStringLiteral("Ikke koblet til POP3-serveren."));
    return m_session->count;
}

qint64 Pop3Client::mailboxSize()
{
    if (!m_session)
        throw Pop3Error(QStringLiteral("Ikke koblet til POP3-serveren."));
    return m_session->size;
}

void Pop3Client::disconnect()
{
    if (!m_session)
        return;
    const std::unique_ptr<Session> session = std::move(m_session);
    session->dialogue->quit();
}
