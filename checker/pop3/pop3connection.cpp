#include "pop3connection.h"

#include "pop3text.h"

#include <QNetworkProxy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Pop3 {

using Pop3Text::Quote;
using Pop3Text::Seconds;

namespace {

// Milliseconds left until the deadline, for a waitFor... call; 0 when none.
int msLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<std::chrono::milliseconds::rep>(left, 0, 60'000));
}

// Why a socket failed, as the end of a sentence, from Qt's error code.
QString socketReason(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("maskinen avviste tilkoblingen (ingen tjeneste lytter på porten)");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("serveren lukket forbindelsen");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("nettverket eller maskinen kan ikke nås");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("systemet tillot ikke tilkoblingen");
    case QAbstractSocket::SocketResourceError:
        return QStringLiteral("systemet har ikke ressurser til en ny tilkobling");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("maskinen svarte ikke");
    case QAbstractSocket::UnsupportedSocketOperationError:
        return QStringLiteral("denne maskinen kan ikke bruke den adressetypen");
    case QAbstractSocket::SslHandshakeFailedError:
        return QStringLiteral("TLS-håndtrykket mislyktes");
    case QAbstractSocket::SslInternalError:
        return QStringLiteral("TLS-forbindelsen feilet");
    default:
        return QStringLiteral("ukjent nettverksfeil (feilkode %1)").arg(int(error));
    }
}

// The system's resolver, asked on a thread of its own so that the wait can
// be given up: a silent name server would hold the check for ten seconds
// and more. A lookup that is given up on finishes on its own and touches
// nothing but its shared state.
struct Lookup
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;
    std::vector<std::string> addresses; // sockaddr bytes, in the resolver's order
};

void runLookup(const std::shared_ptr<Lookup> &lookup, const std::string &name)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const int status = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    std::vector<std::string> found;
    for (const addrinfo *a = list; status == 0 && a; a = a->ai_next) {
        if (a->ai_family == AF_INET || a->ai_family == AF_INET6)
            found.emplace_back(reinterpret_cast<const char *>(a->ai_addr), std::size_t(a->ai_addrlen));
    }
    if (list)
        freeaddrinfo(list);
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->status = status;
    lookup->addresses = std::move(found);
    lookup->finished = true;
    lookup->done.notify_all();
}

bool isNotFound(int status)
{
    switch (status) {
    case EAI_NONAME:
    case EAI_AGAIN:
    case EAI_FAIL:
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
    case EAI_NODATA:
#endif
        return true;
    default:
        return false;
    }
}

QString date(const QDateTime &when)
{
    return when.toUTC().date().toString(Qt::ISODate);
}

} // namespace

SocketChannel::SocketChannel() = default;

SocketChannel::~SocketChannel()
{
    if (m_socket)
        m_socket->abort();
}

void SocketChannel::open(const Endpoint &endpoint, Clock::time_point started, Clock::time_point deadline)
{
    m_endpoint = endpoint;
    m_started = started;
    if (endpoint.tls && !QSslSocket::supportsSsl())
        throw Pop3Error(QStringLiteral("TLS kan ikke brukes mot POP3-serveren %1: denne maskinen mangler TLS-støtte "
                                       "for Qt.")
                            .arg(endpoint.where));
    const QList<QHostAddress> addresses = lookUp(deadline);
    connectTo(addresses, deadline);
    if (endpoint.tls)
        startTls(deadline);
    m_connectedAt = Clock::now();
}

QList<QHostAddress> SocketChannel::lookUp(Clock::time_point deadline) const
{
    if (m_endpoint.numeric)
        return {QHostAddress(m_endpoint.host)};
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    Q_UNUSED(started);
#endif
    auto lookup = std::make_shared<Lookup>();
    std::thread(runLookup, lookup, m_endpoint.host.toStdString()).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; }))
        throw Pop3Error(QStringLiteral("Navneoppslaget for POP3-serveren %1 ble ikke ferdig innen %2.")
                            .arg(m_endpoint.where, Seconds(Clock::now() - m_started)));
    if (isNotFound(lookup->status))
        throw Pop3Error(
            QStringLiteral("Fant ikke POP3-serveren %1: navnet kunne ikke slås opp.").arg(m_endpoint.where));
    if (lookup->status != 0)
        throw Pop3Error(QStringLiteral("Navneoppslaget for POP3-serveren %1 mislyktes (feilkode %2).")
                            .arg(m_endpoint.where)
                            .arg(lookup->status));
    QList<QHostAddress> addresses;
    for (const std::string &bytes : lookup->addresses)
        addresses.append(QHostAddress(reinterpret_cast<const sockaddr *>(bytes.data())));
    if (addresses.isEmpty())
        throw Pop3Error(QStringLiteral("Fant ingen IP-adresse for POP3-serveren %1.").arg(m_endpoint.where));
    return addresses;
}

// Each address in the resolver's order, until one takes the connection.
void SocketChannel::connectTo(const QList<QHostAddress> &addresses, Clock::time_point deadline)
{
    QAbstractSocket::SocketError error = QAbstractSocket::UnknownSocketError;
    for (const QHostAddress &address : addresses) {
        if (m_endpoint.tls) {
            auto tls = std::make_unique<QSslSocket>();
            m_tls = tls.get();
            m_socket = std::move(tls);
        } else {
            m_tls = nullptr;
            m_socket = std::make_unique<QTcpSocket>();
        }
        // The mail server is reached directly, whatever proxy is set up.
        m_socket->setProxy(QNetworkProxy::NoProxy);
        m_socket->connectToHost(address, m_endpoint.port);
        if (m_socket->waitForConnected(msLeft(deadline)))
            return;
        error = m_socket->error();
        m_socket->abort();
        if (Clock::now() >= deadline)
            throw Pop3Error(QStringLiteral("Fikk ikke kontakt med POP3-serveren %1 innen %2.")
                                .arg(m_endpoint.where, Seconds(Clock::now() - m_started)));
    }
    m_socket.reset();
    m_tls = nullptr;
    throw Pop3Error(
        QStringLiteral("Kunne ikke koble til POP3-serveren %1: %2.").arg(m_endpoint.where, socketReason(error)));
}

void SocketChannel::startTls(Clock::time_point deadline)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!m_endpoint.caFile.isEmpty()) {
        const QList<QSslCertificate> trusted = QSslCertificate::fromPath(QString::fromLocal8Bit(m_endpoint.caFile));
        if (trusted.isEmpty())
            throw Pop3Error(
                QStringLiteral("Sertifikatene som POP3-serveren %1 skal kontrolleres mot, kunne ikke leses.")
                    .arg(m_endpoint.where));
        config.setCaCertificates(trusted);
    }
    m_tls->setSslConfiguration(config);
    // The name the user gave is the one the certificate must carry.
    m_tls->setPeerVerifyName(m_endpoint.host);
    QObject::connect(m_tls, &QSslSocket::alertReceived,
                     [this](QSsl::AlertLevel, QSsl::AlertType type, const QString &) { m_alert = int(type); });
    m_tls->startClientEncryption();
    if (!m_tls->waitForEncrypted(msLeft(deadline)))
        failTls(deadline);
}

void SocketChannel::failTls(Clock::time_point deadline)
{
    const QList<QSslError> errors = m_tls->sslHandshakeErrors();
    const QAbstractSocket::SocketError error = m_tls->error();
    m_tls->abort();
    if (!errors.isEmpty())
        throw Pop3Error(certificateText(errors));
    if (m_alert == int(QSsl::AlertType::CertificateRequired))
        throw Pop3Error(demandedText());
    if (error == QAbstractSocket::SocketTimeoutError || Clock::now() >= deadline)
        throw Pop3Error(QStringLiteral("POP3-serveren %1 fullførte ikke TLS-oppkoblingen innen %2.")
                            .arg(m_endpoint.where, Seconds(Clock::now() - m_started)));
    if (error == QAbstractSocket::RemoteHostClosedError)
        throw Pop3Error(
            QStringLiteral("POP3-serveren %1 lukket forbindelsen under TLS-oppkoblingen.").arg(m_endpoint.where));
    const QString alert = m_alert >= 0 ? QStringLiteral(" (serveren avbrøt med TLS-varsel %1)").arg(m_alert)
                                       : QString();
    throw Pop3Error(QStringLiteral("Kunne ikke opprette en TLS-forbindelse til POP3-serveren %1: TLS-håndtrykket "
                                   "mislyktes%2.")
                        .arg(m_endpoint.where, alert));
}

// Every kind of fault the check found, once each, in the order found, and
// whom the certificate was made out to.
QString SocketChannel::certificateText(const QList<QSslError> &errors) const
{
    QStringList kinds;
    QSslCertificate certificate;
    for (const QSslError &e : errors) {
        if (certificate.isNull() && !e.certificate().isNull())
            certificate = e.certificate();
        QString kind;
        switch (e.error()) {
        case QSslError::SelfSignedCertificate:
            kind = QStringLiteral("det er ikke klarert (det er selvsignert)");
            break;
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::CertificateUntrusted:
        case QSslError::CertificateRejected:
        case QSslError::InvalidCaCertificate:
            kind = QStringLiteral("det er ikke klarert (utstederen er ukjent for denne maskinen)");
            break;
        case QSslError::HostNameMismatch:
            kind = QStringLiteral("det gjelder ikke for navnet «%1»").arg(m_endpoint.name);
            break;
        case QSslError::CertificateExpired:
            kind = QStringLiteral("det er utløpt (gyldig til %1)").arg(date(e.certificate().expiryDate()));
            break;
        case QSslError::CertificateNotYetValid:
            kind = QStringLiteral("det er ikke gyldig ennå (gyldig fra %1)").arg(date(e.certificate().effectiveDate()));
            break;
        case QSslError::CertificateRevoked:
            kind = QStringLiteral("det er trukket tilbake");
            break;
        case QSslError::CertificateSignatureFailed:
        case QSslError::UnableToDecryptCertificateSignature:
        case QSslError::UnableToDecodeIssuerPublicKey:
            kind = QStringLiteral("signaturen på det stemmer ikke");
            break;
        case QSslError::InvalidPurpose:
            kind = QStringLiteral("det er ikke utstedt for en server");
            break;
        case QSslError::NoPeerCertificate:
            kind = QStringLiteral("serveren viste ikke noe sertifikat");
            break;
        default:
            kind = QStringLiteral("det kunne ikke kontrolleres (feilkode %1)").arg(int(e.error()));
            break;
        }
        if (!kinds.contains(kind))
            kinds.append(kind);
    }
    QString owner;
    const QStringList names = certificate.subjectInfo(QSslCertificate::CommonName);
    if (!names.isEmpty())
        owner = QStringLiteral(" Det er utstedt til «%1».").arg(Quote(names.join(QStringLiteral(", "))));
    return QStringLiteral("Sertifikatet til POP3-serveren %1 ble ikke godtatt: %2.%3")
        .arg(m_endpoint.where, kinds.join(QStringLiteral("; ")), owner);
}

QString SocketChannel::demandedText() const
{
    return QStringLiteral("POP3-serveren %1 krever et klientsertifikat for TLS-forbindelsen, og sjekken har ikke "
                          "noe å vise fram.")
        .arg(m_endpoint.where);
}

LineChannel::Io SocketChannel::failed()
{
    const QAbstractSocket::SocketError error = m_socket->error();
    if (m_tls && m_alert == int(QSsl::AlertType::CertificateRequired)) {
        m_failure = demandedText();
        m_wholeFailure = true;
        return Io::Failed;
    }
    // A connection that ended with no error of its own was closed.
    if (error == QAbstractSocket::RemoteHostClosedError || error == QAbstractSocket::UnknownSocketError)
        return Io::Closed;
    m_failure = socketReason(error);
    return Io::Failed;
}

LineChannel::Io SocketChannel::send(const QByteArray &command, Clock::time_point deadline)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return failed();
    const QByteArray line = command + "\r\n";
    if (m_socket->write(line) != line.size())
        return failed();
    // Out to the system at once, whatever time is left to wait.
    m_socket->flush();
    while (m_socket->bytesToWrite() > 0) {
        const int ms = msLeft(deadline);
        if (ms == 0)
            return Io::TimedOut;
        if (!m_socket->waitForBytesWritten(ms)) {
            if (m_socket->error() == QAbstractSocket::SocketTimeoutError)
                continue;
            return failed();
        }
    }
    return Io::Ok;
}

LineChannel::Io SocketChannel::readLine(Clock::time_point deadline, QByteArray *line)
{
    for (;;) {
        const qsizetype end = m_pending.indexOf('\n');
        if (end >= 0) {
            *line = m_pending.left(end + 1);
            m_pending.remove(0, end + 1);
            return line->size() > LineLimit ? Io::Overlong : Io::Ok;
        }
        if (m_pending.size() > LineLimit)
            return Io::Overlong;
        if (m_socket->bytesAvailable() > 0) {
            m_pending += m_socket->read(LineLimit + 1);
            continue;
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return failed();
        const int ms = msLeft(deadline);
        if (ms == 0)
            return Io::TimedOut;
        if (!m_socket->waitForReadyRead(ms) && m_socket->bytesAvailable() == 0) {
            if (m_socket->error() == QAbstractSocket::SocketTimeoutError
                && m_socket->state() == QAbstractSocket::ConnectedState)
                continue;
            return failed();
        }
    }
}

namespace {

class QtNetwork final : public Network
{
public:
    AddressFacts address(const QString &text) const override
    {
        const QHostAddress address(text);
        AddressFacts facts;
        facts.address = !address.isNull();
        facts.linkLocal = facts.address && address.isLinkLocal();
        facts.scoped = facts.address && !address.scopeId().isEmpty();
        return facts;
    }

    std::unique_ptr<Connection> open(const Endpoint &endpoint, Clock::time_point started,
                                     Clock::time_point deadline) const override
    {
        auto channel = std::make_unique<SocketChannel>();
        channel->open(endpoint, started, deadline);
        return channel;
    }
};

} // namespace

const Network &SocketNetwork()
{
    static const QtNetwork network;
    return network;
}

} // namespace Pop3
