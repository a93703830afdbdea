#include "icmpclient.h"

#include "icmp_platform.h"
#include "outsidetext.h"
#include "servername.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStringList>

namespace {

// The ping program keeps its own deadline; this only bounds one that hangs,
// and is the margin by which a ping can overrun its time-out.
constexpr int ProgramGraceMs = 500;

IcmpPlatform::Outcome echoWithProgram(const QString &program, const IcmpPlatform::Target &target,
                                      const IcmpPlatform::Echo &echo)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(IcmpPlatform::PingArguments(target, echo));
    // Its output is read: keep it in the untranslated form.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(env);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    if (!process.waitForStarted()) {
        IcmpPlatform::Outcome refused;
        refused.reason = QStringLiteral("«%1» kan ikke startes (%2)").arg(program, process.errorString());
        return refused;
    }
    if (!process.waitForFinished(echo.timeoutMs + ProgramGraceMs)) {
        process.kill();
        process.waitForFinished(ProgramGraceMs);
        throw IcmpError(QStringLiteral("Ping-programmet «%1» ble ikke ferdig.").arg(program));
    }
    if (process.exitStatus() != QProcess::NormalExit)
        throw IcmpError(QStringLiteral("Ping-programmet «%1» stoppet uventet.").arg(program));

    IcmpPlatform::Outcome outcome;
    outcome.usable = true;
    outcome.bytes = IcmpPlatform::PingProgramResult(process.exitCode(), process.readAllStandardOutput(),
                                                    process.readAllStandardError(), echo);
    return outcome;
}

// Checks a host by the rule for server names (servername.h), which the POP3
// client uses too, and returns the form to resolve: the name, or an IPv6
// address without brackets. Throws IcmpError for a host that the resolver or
// the ping program could read as something other than one host.
QString checkedHostName(const QString &host)
{
    const ServerNameCheck checked = CheckServerName(host);
    if (checked.fault == ServerNameCheck::Empty)
        throw IcmpError(QStringLiteral("Ingen vert er oppgitt."));
    if (!checked.accepted())
        throw IcmpError(QStringLiteral("«%1» er ikke et gyldig vertsnavn.").arg(OutsideText::Shown(host)));
    return checked.lookupForm();
}

// What the echo of any way is given.
struct EchoCall
{
    const IcmpPlatform::Target &target;
    const IcmpPlatform::Echo &echo;
    const QString &pingProgram;
};

// The ways to send an echo, in the order they are tried: each names its
// echo, so a way cannot be tried through another's.
struct Way
{
    IcmpClient::Method method;
    const char *name; // UTF-8, as the messages show it
    IcmpPlatform::Outcome (*echo)(const EchoCall &call);
};

constexpr Way Ways[] = {
    {IcmpClient::Datagram, "datagram-ICMP-socket",
     [](const EchoCall &call) { return IcmpPlatform::EchoUnprivileged(call.target, call.echo); }},
    {IcmpClient::Raw, "rå ICMP-socket",
     [](const EchoCall &call) { return IcmpPlatform::EchoPrivileged(call.target, call.echo); }},
    {IcmpClient::Program, "ping-program",
     [](const EchoCall &call) { return echoWithProgram(call.pingProgram, call.target, call.echo); }},
};

// Every method has its row, and only one.
constexpr bool everyMethodOnce()
{
    IcmpClient::Methods::Int seen = 0;
    for (const Way &way : Ways) {
        if (seen & way.method)
            return false;
        seen |= way.method;
    }
    return seen == IcmpClient::AllMethods.toInt();
}
static_assert(everyMethodOnce(), "each IcmpClient::Method needs exactly one row in Ways");

} // namespace

IcmpClient::IcmpClient()
    : m_identifier(quint16(QRandomGenerator::global()->bounded(1, 0x10000)))
{
}

int IcmpClient::Ping()
{
    m_bytesReceived = 0;
    m_lastMethod = NoMethod;

    // One time-out for the whole ping: what the name lookup takes, the echo
    // has less to wait.
    QElapsedTimer clock;
    clock.start();
    const int timeoutMs = qMax(1, m_timeoutMs);
    const QString lookupForm = checkedHostName(m_host);
    const IcmpPlatform::Target target = IcmpPlatform::Resolve(lookupForm, timeoutMs);

    IcmpPlatform::Echo echo;
    echo.identifier = m_identifier;
    echo.sequence = m_sequence++;
    echo.dataSize = DefaultDataSize;
    echo.timeoutMs = int(qMax<qint64>(1, timeoutMs - clock.elapsed()));

    // Each way the system refuses, so the final error can say why.
    QStringList refusals;
    for (const Way &way : Ways) {
        const QString name = QString::fromUtf8(way.name);
        if (!m_methods.testFlag(way.method)) {
            refusals << QStringLiteral("%1: ikke valgt").arg(name);
            continue;
        }
        const IcmpPlatform::Outcome outcome = way.echo({target, echo, m_pingProgram});
        if (outcome.usable) {
            m_lastMethod = way.method;
            m_bytesReceived = outcome.bytes;
            return m_bytesReceived;
        }
        refusals << QStringLiteral("%1: %2").arg(name, outcome.reason);
    }
    throw IcmpError(
        QStringLiteral("Kan ikke sende ping til %1: %2").arg(target.numeric, refusals.join(QStringLiteral("; "))));
}
