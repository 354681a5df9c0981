#include "netline.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QThread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <vector>
#include <unistd.h>
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
    // device and turn the next connection away: tried again for a while,
    // and when it keeps doing so its own words are the reason.
    QDeadlineTimer deadline(m_connectTimeoutMs);
    const QDeadlineTimer retryEnd(qMin(RetryForMs, m_connectTimeoutMs));
    QString serverSaid;
    for (;;) {
        const auto r = connectOnce(*address, baud, deadline);
        if (r == Attempt::Ok)
            return OpenResult::Ok;
        if (r == Attempt::TurnedAway && !m_openFailure.text.startsWith(QLatin1String("the server closed")))
            serverSaid = m_openFailure.text;
        if (r != Attempt::TurnedAway || !goOn() || retryEnd.remainingTime() < RetryMs
            || deadline.remainingTime() < RetryMs)
            break;
        for (QDeadlineTimer pause(RetryMs); !pause.hasExpired() && goOn();)
            QThread::msleep(quint32(qMin<qint64>(pause.remainingTime(), WaitSliceMs)));
    }
    if (!goOn())
        failOpen(QStringLiteral("cancelled"));
    else if (!serverSaid.isEmpty())
        failOpen(serverSaid);
    return OpenResult::CannotOpen;
}

namespace {

QString hostAndPort(const NetLine::Address &a)
{
    return (a.host.contains(u':') ? u'[' + a.host + u']' : a.host) + u':' + QString::number(a.port);
}

} // namespace

#ifdef Q_OS_UNIX

namespace {

// A name lookup in a thread of its own, so that a resolver that takes long
// holds up nobody: the caller stops waiting at its deadline and the thread
// ends on its own.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int error = 0;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
};

std::shared_ptr<Lookup> startLookup(const QByteArray &host, quint16 port)
{
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG;
        addrinfo *list = nullptr;
        const int error = ::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &list);
        std::lock_guard locked(lookup->mutex);
        lookup->error = error;
        for (const addrinfo *a = list; a; a = a->ai_next) {
            if (a->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            sockaddr_storage s{};
            std::memcpy(&s, a->ai_addr, a->ai_addrlen);
            lookup->addresses.push_back(s);
            lookup->lengths.push_back(a->ai_addrlen);
        }
        if (list)
            ::freeaddrinfo(list);
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    return lookup;
}

} // namespace

// Looks the name up and connects, every wait bounded by the deadline and
// ended by a stop. The socket is handed to Qt once connected.
bool NetLine::connectSocket(const Address &address, const QDeadlineTimer &deadline)
{
    const auto lookup = startLookup(address.host.toUtf8(), address.port);
    {
        std::unique_lock locked(lookup->mutex);
        while (!lookup->finished && !deadline.hasExpired() && goOn())
            lookup->done.wait_for(locked, std::chrono::milliseconds(qBound(qint64(1), deadline.remainingTime(), qint64(WaitSliceMs))));
        if (!lookup->finished) {
            failOpen(!goOn() ? QStringLiteral("cancelled")
                                 : QStringLiteral("no answer from the name lookup of %1 within %2")
                                       .arg(address.host, seconds(m_connectTimeoutMs)));
            return false;
        }
        if (lookup->error != 0 || lookup->addresses.empty()) {
            bool unknown = lookup->error == EAI_NONAME || lookup->error == 0;
#ifdef EAI_NODATA
            unknown = unknown || lookup->error == EAI_NODATA;
#endif
            failOpen(unknown ? QStringLiteral("unknown host %1").arg(address.host)
                             : QStringLiteral("%1: %2").arg(address.host, QString::fromLocal8Bit(::gai_strerror(lookup->error))));
            return false;
        }
    }
    // Each address in turn; the first one's failure is told.
    QString firstFailure;
    for (size_t i = 0; i < lookup->addresses.size(); ++i) {
        const auto *sa = reinterpret_cast<const sockaddr *>(&lookup->addresses[i]);
        const int fd = ::socket(sa->sa_family, SOCK_STREAM, 0);
        if (fd < 0)
            continue;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        int error = 0;
        if (::connect(fd, sa, lookup->lengths[i]) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                while (!deadline.hasExpired() && goOn()) {
                    pollfd p{fd, POLLOUT, 0};
                    const int n = ::poll(&p, 1, int(qBound(qint64(1), deadline.remainingTime(), qint64(WaitSliceMs))));
                    if (n > 0) {
                        socklen_t len = sizeof error;
                        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
                        break;
                    }
                }
            }
        }
        if (error == 0) {
            m_socket = std::make_unique<QTcpSocket>();
            if (m_socket->setSocketDescriptor(fd))
                return true;
            firstFailure = m_socket->errorString();
            m_socket.reset();
            ::close(fd);
            break;
        }
        ::close(fd);
        if (firstFailure.isEmpty()) {
            firstFailure = !goOn() ? QStringLiteral("cancelled")
                : error == ECONNREFUSED ? QStringLiteral("Connection refused (is ser2net running there?)")
                : error == ETIMEDOUT ? QStringLiteral("no answer within %1").arg(seconds(m_connectTimeoutMs))
                : QString::fromLocal8Bit(std::strerror(error));
        }
        if (!goOn() || deadline.hasExpired())
            break;
    }
    failOpen(firstFailure.isEmpty() ? QStringLiteral("no connection") : firstFailure);
    return false;
}

#else

bool NetLine::connectSocket(const Address &address, const QDeadlineTimer &deadline)
{
    m_socket = std::make_unique<QTcpSocket>();
    m_socket->connectToHost(address.host, address.port);
    if (m_socket->waitForConnected(int(qMax<qint64>(1, deadline.remainingTime()))))
        return true;
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
    return false;
}

#endif

NetLine::Attempt NetLine::connectOnce(const Address &address, int32_t baud, const QDeadlineTimer &deadline)
{
    if (!connectSocket(address, deadline))
        return Attempt::Failed;
    // Each byte of the monitor's exchange is a segment of its own: no
    // gathering of small writes on our side.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return negotiateOpen(address, baud, deadline);
}

NetLine::Attempt NetLine::negotiateOpen(const Address &address, int32_t baud, const QDeadlineTimer &deadline)
{
    m_rx.clear();
    m_rxPos = 0;
    m_in = In::Data;
    m_rateAnswer.reset();
    m_comPortRefused = false;
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
    // of every server, which tells the rate it set and that it has the
    // device open.
    while (!m_rateAnswer && !m_comPortRefused && connected() && !deadline.hasExpired() && goOn()) {
        m_socket->waitForReadyRead(int(qBound(qint64(1), deadline.remainingTime(), qint64(WaitSliceMs))));
        takeArrived();
    }
    const QString server = hostAndPort(address);
    if (m_comPortRefused) {
        failOpen(QStringLiteral("%1 refuses the RFC 2217 COM port option: is it a telnet (rfc2217) port?").arg(server));
        return Attempt::Failed;
    }
    if (m_rateAnswer && connected()) {
        if (*m_rateAnswer == rate)
            return Attempt::Ok;
        failOpen(QStringLiteral("the server set %1 bit/s, not %2").arg(*m_rateAnswer).arg(rate));
        return Attempt::Failed;
    }
    if (connected()) {
        failOpen(!goOn() ? QStringLiteral("cancelled")
                             : QStringLiteral("no RFC 2217 answer from %1: is it a telnet (rfc2217) port?").arg(server));
        return Attempt::Failed;
    }
    // The server's own words, when it said any (ser2net: "Device open
    // failure: ...", "Port already in use").
    takeArrived();
    const QString said = QString::fromLatin1(m_rx.mid(m_rxPos)).simplified();
    failOpen(said.isEmpty() ? QStringLiteral("the server closed the connection") : said);
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
            m_subHead.fill(0);
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
        else if (m_subLength++ < int(m_subHead.size()))
            m_subHead[size_t(m_subLength - 1)] = c;
        return;
    case In::SubIac:
        if (c == IAC && m_subLength++ < int(m_subHead.size()))
            m_subHead[size_t(m_subLength - 1)] = c;
        m_in = c == SE ? In::Data : In::Sub;
        if (c == SE && m_subLength == 6 && m_subHead[0] == OptComPort && m_subHead[1] == SetBaudRate + 100) {
            m_rateAnswer = uint32_t(m_subHead[2]) << 24 | uint32_t(m_subHead[3]) << 16
                           | uint32_t(m_subHead[4]) << 8 | uint32_t(m_subHead[5]);
        }
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
        m_comPortRefused = m_comPortRefused || option == OptComPort;
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
        m_comPortRefused = m_comPortRefused || option == OptComPort;
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
        if (left <= 0 || !readGoesOn())
            return ReadResult::Timeout;
        if (!m_socket->waitForReadyRead(int(hasReadWaitCheck() ? qMin<qint64>(left, WaitSliceMs) : left)) && !connected())
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
