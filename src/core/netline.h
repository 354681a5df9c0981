#pragma once
// A serial line on another machine, reached through an RFC 2217 server (the
// Telnet COM Port Control option, as ser2net or a terminal server speaks
// it). Port names have the form rfc2217://HOST:PORT or rfc2217://[v6]:PORT.
//
// Used blocking, like the serial line: a write gives up after WriteTimeoutMs,
// a read after ReadTimeoutMs. Opening is checked: the name lookup, the
// connection and the server's answer to the bit rate (which every server of
// the option must give, with the rate it set) all come within the connect
// time-out, and a server that refuses the option, stays silent or sets
// another rate is no open line. Break and purges are sent as the option's
// commands; the server's replies to them are read as they come and passed
// over, never waited for, since servers differ in what they acknowledge. The socket is made by open(), in the thread that calls it;
// every later call must come from that thread.

#include "serialline.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <array>
#include <memory>
#include <optional>

class QTcpSocket;

namespace vek {

class NetLine final : public SerialLine {
public:
    static constexpr int DefaultConnectTimeoutMs = 5000;
    // A server that turns the connection away (the device busy or still
    // closing) is tried again this long, a try every RetryMs.
    static constexpr int RetryForMs = 1000;
    static constexpr int RetryMs = 100;
    static constexpr const char *Scheme = "rfc2217://";

    struct Address {
        QString host;   // a name, an IPv4 address or an IPv6 address without brackets
        quint16 port = 0;
    };
    // True for every name that starts with the scheme, well formed or not:
    // such a name is never a local port.
    static bool isNetName(const QString &name);
    // The host and port of rfc2217://HOST:PORT or rfc2217://[v6addr]:PORT;
    // nothing (and in `why` the reason) for any other text.
    static std::optional<Address> parseName(const QString &name, QString *why = nullptr);

    explicit NetLine(int connectTimeoutMs = DefaultConnectTimeoutMs);
    ~NetLine() override;
    NetLine(const NetLine &) = delete;
    NetLine &operator=(const NetLine &) = delete;

    // Connects, then asks for 8 data bits, no parity, one stop bit, no flow
    // control, DTR and RTS off and the bit rate. CannotOpen when the name is
    // malformed or no connection came about; openFailure() says why.
    OpenResult open(const QString &name, int32_t baud) override;
    // True from a successful open() until close(), also after the server has
    // dropped the connection: every call then fails at once.
    bool isOpen() const override;
    OpenFailure openFailure() const override;
    // "the server closed the connection", or the network's words.
    QString lostReason() const override;
    // Asked while open() waits for the name lookup, the connection, the
    // server's answer and between tries.
    void setWaitCheck(WaitCheck check) override { m_waitCheck = std::move(check); }
    bool close() override;
    bool writeByte(uint8_t b) override;
    ReadResult readByte(uint8_t &b) override;
    void purgeRx() override;
    void purgeTx() override;
    bool setBreak(bool on) override;

private:
    enum class Attempt { Ok, Failed, TurnedAway };
    Attempt connectOnce(const Address &address, int32_t baud, const QDeadlineTimer &deadline);
    bool connectSocket(const Address &address, const QDeadlineTimer &deadline);
    Attempt negotiateOpen(const Address &address, int32_t baud, const QDeadlineTimer &deadline);
    bool connected() const;
    bool send(const QByteArray &bytes);
    bool sendComPort(uint8_t command, const QByteArray &value);
    void takeArrived();
    void decode(uint8_t c);
    void negotiate(uint8_t verb, uint8_t option);
    void failOpen(const QString &text);
    bool goOn() const { return !m_waitCheck || m_waitCheck(); }

    const int m_connectTimeoutMs;
    std::unique_ptr<QTcpSocket> m_socket;
    OpenFailure m_openFailure;
    WaitCheck m_waitCheck;

    // Data received and not yet read, from m_rxPos on.
    QByteArray m_rx;
    qsizetype m_rxPos = 0;

    // The Telnet decoder.
    enum class In { Data, Iac, Verb, Sub, SubIac, AfterCr };
    In m_in = In::Data;
    uint8_t m_verb = 0;
    int m_subLength = 0;
    std::array<uint8_t, 6> m_subHead{};   // a subnegotiation's option, command and first value bytes
    std::optional<uint32_t> m_rateAnswer;   // the bit rate the server says it set
    bool m_comPortRefused = false;          // the server will not do the COM port option
    // Options in force each way; those we ask for count as agreed until the
    // server refuses them.
    std::array<bool, 256> m_weDo{};
    std::array<bool, 256> m_theyDo{};
};

} // namespace vek
