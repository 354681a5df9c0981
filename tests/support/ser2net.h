#pragma once
// A ser2net of our own in the foreground, on 127.0.0.1, with a generated
// configuration that serves each given device on a free port through the
// RFC 2217 accepter. Used by the network line's tests and the benchmark.

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

namespace vek::testing {

struct Ser2netOptions {
    bool noDelay = true;      // tcp(nodelay) on the accepter
    bool charDelay = false;   // ser2net's gathering of characters before it sends
};

class Ser2net {
public:
    using Options = Ser2netOptions;

    ~Ser2net() { stop(); }

    static QString program() { return QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")}); }

    // Starts serving `devices`; tries again on other ports when one was taken
    // meanwhile. Ready once every port accepts a connection.
    bool start(const QStringList &devices, const Options &options = {}, QString *error = nullptr)
    {
        QString why = QStringLiteral("ser2net is not installed");
        for (int attempt = 0; attempt < 5 && !program().isEmpty(); ++attempt) {
            if (tryStart(devices, options, why))
                return true;
            stop();
        }
        if (error)
            *error = why;
        return false;
    }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(3000)) {
                m_process.kill();
                m_process.waitForFinished(3000);
            }
        }
        m_ports.clear();
    }

    quint16 port(qsizetype i) const { return m_ports.at(i); }
    QString portName(qsizetype i) const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_ports.at(i)); }
    QString output() { return QString::fromLocal8Bit(m_process.readAll()); }

private:
    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    bool tryStart(const QStringList &devices, const Options &o, QString &why)
    {
        QString yaml = QStringLiteral("%YAML 1.1\n---\n");
        for (qsizetype i = 0; i < devices.size(); ++i) {
            m_ports << freePort();
            yaml += QStringLiteral("connection: &board%1\n"
                                   "  accepter: telnet(rfc2217),tcp%2,127.0.0.1,%3\n"
                                   "  connector: serialdev,%4,9600n81,local\n"
                                   "  enable: on\n"
                                   "  options:\n"
                                   "    chardelay: %5\n")
                        .arg(i)
                        .arg(o.noDelay ? QStringLiteral("(nodelay)") : QString())
                        .arg(m_ports.last())
                        .arg(devices[i], o.charDelay ? QStringLiteral("true") : QStringLiteral("false"));
        }
        const QString config = m_dir.filePath(QStringLiteral("ser2net.yaml"));
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly) || f.write(yaml.toUtf8()) < 0)
            return (why = QStringLiteral("cannot write %1").arg(config)), false;
        f.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // -n: foreground; -u: no UUCP lock files; -P: no shared pid file.
        m_process.start(program(), {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config,
                                    QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid"))});
        if (!m_process.waitForStarted(3000))
            return (why = m_process.errorString()), false;
        QElapsedTimer t;
        t.start();
        for (qsizetype i = 0; i < m_ports.size(); ++i) {
            for (;;) {
                if (m_process.state() == QProcess::NotRunning)
                    return (why = QStringLiteral("ser2net ended: ") + output()), false;
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, m_ports[i]);
                if (s.waitForConnected(1000)) {
                    // ser2net opens with Telnet negotiation; anything else
                    // is another program that took the port meanwhile.
                    char first = 0;
                    if (!s.waitForReadyRead(2000) || !s.getChar(&first) || uint8_t(first) != 0xFF)
                        return (why = QStringLiteral("port %1 is taken").arg(m_ports[i])), false;
                    s.abort();
                    break;
                }
                if (t.elapsed() > 5000)
                    return (why = QStringLiteral("ser2net does not accept on port %1").arg(m_ports[i])), false;
                QThread::msleep(20);
            }
        }
        return true;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QList<quint16> m_ports;
};

} // namespace vek::testing
