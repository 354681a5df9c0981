#include "netline.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace vek {

namespace {

// Telnet.
constexpr uint8_t SE = 240;
constexpr uint8_t SB = 250;
constexpr uint8_t WILL = 251;
constexpr uint8_t WONT = 252;
constexpr uint8_t DO = 253;
constexpr uint8_t DONT = 254;
constexpr uint8_t IAC = 255;
constexpr uint8_t OptBinary = 0;
constexpr uint8_t OptSuppressGoAhead = 3;
constexpr uint8_t OptComPort = 44;

// The COM Port Control commands a client sends (the server answers each
// with the same number plus 100).
constexpr uint8_t SetBaudRate = 1;
constexpr uint8_t SetDataSize = 2;
constexpr uint8_t SetParity = 3;
constexpr uint8_t SetStopSize = 4;
constexpr uint8_t SetControl = 5;
constexpr uint8_t PurgeData = 12;

constexpr uint8_t ParityNone = 1;
constexpr uint8_t StopBitsOne = 1;
constexpr uint8_t ControlNoFlow = 1;
constexpr uint8_t ControlBreakOn = 5;
constexpr uint8_t ControlBreakOff = 6;
constexpr uint8_t ControlDtrOff = 9;
constexpr uint8_t ControlRtsOff = 12;
constexpr uint8_t PurgeReceived = 1;   // what the server holds from the line for us
constexpr uint8_t PurgeToSend = 2;     // what the server holds for the line

constexpr uint8_t CR = 0x0D;

bool weOffer(uint8_t option)
{
    return option == OptBinary || option == OptSuppressGoAhead || option == OptComPort;
}

bool weAccept(uint8_t option) { return option == OptBinary || option == OptSuppressGoAhead; }

QByteArray verb(uint8_t v, uint8_t option)
{
    QByteArray out(3, char(IAC));
    out[1] = char(v);
    out[2] = char(option);
    return out;
}

void appendEscaped(QByteArray &out, uint8_t b)
{
    out.append(char(b));
    if (b == IAC)
        out.append(char(IAC));
}

QByteArray comPort(uint8_t command, const QByteArray &value)
{
    QByteArray out;
    out.append(char(IAC)).append(char(SB)).append(char(OptComPort)).append(char(command));
    for (char c : value)
        appendEscaped(out, uint8_t(c));
    out.append(char(IAC)).append(char(SE));
    return out;
}

QByteArray oneByte(uint8_t b) { return QByteArray(1, char(b)); }

QString seconds(int ms)
{
    return QString::number(ms / 1000.0, 'g', 3) + QStringLiteral(" s");
}

} // namespace

bool NetLine::isNetName(const QString &name)
{
    return name.startsWith(QLatin1String(Scheme), Qt::CaseInsensitive);
}

std::optional<NetLine::Address> NetLine::parseName(const QString &name, QString *why)
{
    auto fail = [&](const QString &text) -> std::optional<Address> {
        if (why)
            *why = text;
        return std::nullopt;
    };
    const QString form = QStringLiteral("a network port is named rfc2217://HOST:PORT");
    if (!isNetName(name))
        return fail(form);
    const QString rest = name.mid(qsizetype(qstrlen(Scheme)));
    Address a;
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0 || rest.mid(close + 1, 1) != QLatin1String(":"))
            return fail(form + QStringLiteral(" or rfc2217://[IPv6 address]:PORT"));
        a.host = rest.mid(1, close - 1);
        if (QHostAddress(a.host).protocol() != QAbstractSocket::IPv6Protocol)
            return fail(QStringLiteral("%1 is not an IPv6 address").arg(a.host));
        portText = rest.mid(close + 2);
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return fail(form + QStringLiteral(": the port number is missing"));
        a.host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (a.host.contains(QLatin1Char(':')))
            return fail(QStringLiteral("an IPv6 address stands in brackets: rfc2217://[%1]:%2").arg(a.host, portText));
        if (a.host.isEmpty() || a.host.contains(QLatin1Char('/')) || a.host.contains(QLatin1Char(' ')))
            return fail(form);
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok, 10);
    if (!ok || port == 0 || port > 65535 || !portText.at(0).isDigit())
        return fail(QStringLiteral("%1 is not a port number (1 to 65535)").arg(portText));
    a.port = quint16(port);
    return a;
}

NetLine::NetLine(int connectTimeoutMs) : m_connectTimeoutMs(connectTimeoutMs) {}

NetLine::~NetLine() = default;

void NetLine::failOpen(const QString &text)
{
    m_openFailure = {OpenFailure::Kind::Unknown, text};
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
}

SerialLine::OpenResult NetLine::open(const QString &name, int32_t baud)
{
    close();
    m_openFailure = {};
    QString why;
    const auto address = parseName(name, &why);
    if (!address) {
        failOpen(why);
        return OpenResult::CannotOpen;
    }
    // A server that has just let go of the line may still be closing the
    // device and turn the next connection away: tried again until the
    // connection time-out.
    QDeadlineTimer deadline(m_connectTimeoutMs);
    for (;;) {
        const auto r = connectOnce(*address, baud, deadline);
        if (r != Attempt::TurnedAway || deadline.remainingTime() < RetryMs)
            return r == Attempt::Ok ? OpenResult::Ok : OpenResult::CannotOpen;
        QDeadlineTimer pause(RetryMs);
        while (!pause.hasExpired() && goOn())
            QThread::msleep(quint32(qMin<qint64>(pause.remainingTime(), WaitSliceMs)));
        if (!goOn()) {
            failOpen(QStringLiteral("cancelled"));
            return OpenResult::CannotOpen;
        }
    }
}

NetLine::Attempt NetLine::connectOnce(const Address &address, int32_t baud, const QDeadlineTimer &deadline)
{
    m_socket = std::make_unique<QTcpSocket>();
    m_socket->connectToHost(address.host, address.port);
    if (!m_socket->waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) {
        switch (m_socket->error()) {
        case QAbstractSocket::ConnectionRefusedError:
            failOpen(QStringLiteral("Connection refused (is ser2net running there?)"));
            break;
        case QAbstractSocket::HostNotFoundError:
            failOpen(QStringLiteral("unknown host %1").arg(address.host));
            break;
        case QAbstractSocket::SocketTimeoutError:
            failOpen(QStringLiteral("no answer within %1").arg(seconds(m_connectTimeoutMs)));
            break;
        default:
            failOpen(m_socket->errorString());
            break;
        }
        return Attempt::Failed;
    }
    // Each byte of the monitor's exchange is a segment of its own: no
    // gathering of small writes on our side.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

    m_rx.clear();
    m_rxPos = 0;
    m_in = In::Data;
    m_rateAnswered = false;
    m_weDo.fill(false);
    m_theyDo.fill(false);
    m_weDo[OptBinary] = m_weDo[OptSuppressGoAhead] = m_weDo[OptComPort] = true;
    m_theyDo[OptBinary] = m_theyDo[OptSuppressGoAhead] = true;

    QByteArray hello = verb(WILL, OptBinary) + verb(DO, OptBinary) + verb(WILL, OptSuppressGoAhead)
                       + verb(DO, OptSuppressGoAhead) + verb(WILL, OptComPort);
    const uint32_t rate = uint32_t(baud);
    QByteArray rateBytes(4, 0);
    rateBytes[0] = char(rate >> 24);
    rateBytes[1] = char(rate >> 16);
    rateBytes[2] = char(rate >> 8);
    rateBytes[3] = char(rate);
    hello += comPort(SetBaudRate, rateBytes) + comPort(SetDataSize, oneByte(8))
             + comPort(SetParity, oneByte(ParityNone)) + comPort(SetStopSize, oneByte(StopBitsOne))
             + comPort(SetControl, oneByte(ControlNoFlow)) + comPort(SetControl, oneByte(ControlDtrOff))
             + comPort(SetControl, oneByte(ControlRtsOff));
    send(hello);
    // The one answer waited for: the bit rate's, which the option requires
    // of every server and which tells that the server has the device open.
    // A server that opens it but does not answer is given the time-out.
    while (!m_rateAnswered && connected() && !deadline.hasExpired()) {
        if (!goOn()) {
            failOpen(QStringLiteral("cancelled"));
            return Attempt::Failed;
        }
        m_socket->waitForReadyRead(int(std::clamp<qint64>(deadline.remainingTime(), 1, WaitSliceMs)));
        takeArrived();
    }
    if (connected())
        return Attempt::Ok;
    // The server's own words, when it said any (ser2net: "Device open
    // failure: ...", "Port already in use").
    takeArrived();
    const QString said = QString::fromLatin1(m_rx.mid(m_rxPos)).trimmed();
    failOpen(said.isEmpty() ? QStringLiteral("the server closed the connection")
                            : QStringLiteral("the server closed the connection: ") + said);
    return Attempt::TurnedAway;
}

bool NetLine::isOpen() const { return m_socket != nullptr; }

SerialLine::OpenFailure NetLine::openFailure() const { return m_openFailure; }

QString NetLine::lostReason() const
{
    if (!m_socket || connected())
        return {};
    if (m_socket->error() == QAbstractSocket::RemoteHostClosedError)
        return QStringLiteral("the server closed the connection");
    return QStringLiteral("the connection to the server was lost: ") + m_socket->errorString();
}

bool NetLine::close()
{
    if (m_socket) {
        m_socket->abort();
        m_socket.reset();
    }
    return true;
}

bool NetLine::connected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

// Hands the bytes to the network within the write time-out.
bool NetLine::send(const QByteArray &bytes)
{
    if (!connected())
        return false;
    if (m_socket->write(bytes) != bytes.size())
        return false;
    m_socket->flush();
    QDeadlineTimer deadline(WriteTimeoutMs);
    while (m_socket->bytesToWrite() > 0 && connected() && !deadline.hasExpired()) {
        if (!m_socket->waitForBytesWritten(int(deadline.remainingTime())))
            break;
    }
    return connected() && m_socket->bytesToWrite() == 0;
}

bool NetLine::sendComPort(uint8_t command, const QByteArray &value)
{
    return send(comPort(command, value));
}

// Decodes whatever the socket holds. Linux falls back to delayed
// acknowledgements after a while; asking again after every read keeps each
// echo's acknowledgement from waiting for our next byte.
void NetLine::takeArrived()
{
    if (!m_socket || m_socket->bytesAvailable() <= 0)
        return;
    const QByteArray bytes = m_socket->readAll();
#ifdef Q_OS_LINUX
    const qintptr fd = m_socket->socketDescriptor();
    if (fd >= 0) {
        const int one = 1;
        ::setsockopt(int(fd), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
#endif
    if (m_rxPos == m_rx.size()) {
        m_rx.clear();
        m_rxPos = 0;
    }
    for (char c : bytes)
        decode(uint8_t(c));
}

void NetLine::decode(uint8_t c)
{
    switch (m_in) {
    case In::AfterCr:
        m_in = In::Data;
        if (c == 0)
            return;   // CR NUL stands for a lone CR when the server sends text
        [[fallthrough]];
    case In::Data:
        if (c == IAC) {
            m_in = In::Iac;
        } else {
            m_rx.append(char(c));
            if (c == CR && !m_theyDo[OptBinary])
                m_in = In::AfterCr;
        }
        return;
    case In::Iac:
        if (c == IAC) {
            m_rx.append(char(IAC));
            m_in = In::Data;
        } else if (c == SB) {
            m_in = In::Sub;
            m_subLength = 0;
            m_subHead = {0, 0};
        } else if (c >= WILL) {
            m_verb = c;
            m_in = In::Verb;
        } else {
            m_in = In::Data;   // NOP, GA and the like
        }
        return;
    case In::Verb:
        m_in = In::Data;
        negotiate(m_verb, c);
        return;
    case In::Sub:
        // The server's answers to our settings and its notifications of line
        // and modem state: only the bit rate's answer is noted.
        if (c == IAC)
            m_in = In::SubIac;
        else if (m_subLength++ < 2)
            m_subHead[m_subLength - 1] = c;
        return;
    case In::SubIac:
        if (c == IAC && m_subLength++ < 2)
            m_subHead[m_subLength - 1] = c;
        m_in = c == SE ? In::Data : In::Sub;
        if (c == SE && m_subHead[0] == OptComPort && m_subHead[1] == SetBaudRate + 100)
            m_rateAnswered = true;
        return;
    }
}

// Agrees to what we offer and refuses the rest, answering only a change so
// that two sides never echo each other's answers for ever.
void NetLine::negotiate(uint8_t v, uint8_t option)
{
    QByteArray answer;
    switch (v) {
    case DO:
        if (!weOffer(option))
            answer = verb(WONT, option);
        else if (!m_weDo[option])
            answer = verb(WILL, option);
        m_weDo[option] = weOffer(option);
        break;
    case DONT:
        if (m_weDo[option])
            answer = verb(WONT, option);
        m_weDo[option] = false;
        break;
    case WILL:
        if (!weAccept(option))
            answer = verb(DONT, option);
        else if (!m_theyDo[option])
            answer = verb(DO, option);
        m_theyDo[option] = weAccept(option);
        break;
    case WONT:
        if (m_theyDo[option])
            answer = verb(DONT, option);
        m_theyDo[option] = false;
        break;
    default:
        break;
    }
    if (!answer.isEmpty() && connected())
        m_socket->write(answer);   // goes out with our next write
}

bool NetLine::writeByte(uint8_t b)
{
    QByteArray out;
    appendEscaped(out, b);
    if (b == CR && !m_weDo[OptBinary])
        out.append('\0');
    return send(out);
}

SerialLine::ReadResult NetLine::readByte(uint8_t &b)
{
    if (!m_socket)
        return ReadResult::Error;
    QDeadlineTimer deadline(ReadTimeoutMs);
    for (;;) {
        takeArrived();
        if (m_rxPos < m_rx.size()) {
            b = uint8_t(m_rx.at(m_rxPos++));
            return ReadResult::Byte;
        }
        // A dropped connection fails every read at once, never spins.
        if (!connected())
            return ReadResult::Error;
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return ReadResult::Timeout;
        if (!m_socket->waitForReadyRead(int(left)) && !connected())
            return ReadResult::Error;
    }
}

void NetLine::purgeRx()
{
    if (!connected())
        return;
    // What already reached this machine, the socket's buffer and the
    // system's, then what the server still holds.
    while (m_socket->waitForReadyRead(0))
        ;
    takeArrived();
    m_rx.clear();
    m_rxPos = 0;
    sendComPort(PurgeData, oneByte(PurgeReceived));
}

void NetLine::purgeTx()
{
    if (connected())
        sendComPort(PurgeData, oneByte(PurgeToSend));
}

bool NetLine::setBreak(bool on)
{
    return sendComPort(SetControl, oneByte(on ? ControlBreakOn : ControlBreakOff));
}

} // namespace vek
