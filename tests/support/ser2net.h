#pragma once
// A ser2net of our own in the foreground, on 127.0.0.1, with a generated
// configuration that serves each given device on a free port through the
// RFC 2217 accepter. Used by the network line's tests and the benchmark.

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

namespace vek::testing {

using namespace Qt::StringLiterals;

struct Ser2netOptions {
    bool noDelay = true;      // tcp(nodelay) on the accepter
    bool charDelay = false;   // ser2net's gathering of characters before it sends
};

class Ser2net {
public:
    using Options = Ser2netOptions;

    ~Ser2net() { stop(); }

    static QString program() { return QStandardPaths::findExecutable(u"ser2net"_s, {u"/usr/sbin"_s, u"/usr/local/sbin"_s}); }

    // Starts serving `devices`; tries again on other ports when one was taken
    // meanwhile. Ready once every port accepts a connection.
    bool start(const QStringList &devices, const Options &options = {}, QString *error = nullptr)
    {
        QString why = u"ser2net is not installed"_s;
        for (int attempt = 0; attempt < 5 && !program().isEmpty(); ++attempt, stop())
            if (tryStart(devices, options, why))
                return true;
        if (error)
            *error = why;
        return false;
    }

    void stop()
    {
        m_process.kill();   // nothing of it needs saving
        m_process.waitForFinished(3000);
        m_ports.clear();
    }

    QString portName(qsizetype i) const { return u"rfc2217://127.0.0.1:%1"_s.arg(m_ports.at(i)); }

private:
    bool tryStart(const QStringList &devices, const Options &o, QString &why)
    {
        QString yaml = u"%YAML 1.1\n---\n"_s;
        for (qsizetype i = 0; i < devices.size(); ++i) {
            QTcpServer probe;   // a port free now
            m_ports << (probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0);
            yaml += u"connection: &board%1\n  accepter: telnet(rfc2217),tcp%2,127.0.0.1,%3\n"
                    "  connector: serialdev,%4,9600n81,local\n  enable: on\n  options:\n    chardelay: %5\n"_s
                        .arg(i).arg(o.noDelay ? u"(nodelay)"_s : QString()).arg(m_ports.last())
                        .arg(devices[i], o.charDelay ? u"true"_s : u"false"_s);
        }
        QFile f(m_dir.filePath(u"ser2net.yaml"_s));
        if (!f.open(QIODevice::WriteOnly) || f.write(yaml.toUtf8()) < 0)
            return (why = u"cannot write "_s + f.fileName()), false;
        f.close();
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // -n: foreground; -u: no UUCP lock files; -P: no shared pid file.
        m_process.start(program(), {u"-n"_s, u"-u"_s, u"-c"_s, f.fileName(), u"-P"_s, m_dir.filePath(u"ser2net.pid"_s)});
        if (!m_process.waitForStarted(3000))
            return (why = m_process.errorString()), false;
        QElapsedTimer t;
        t.start();
        for (quint16 port : std::as_const(m_ports)) {
            for (;; QThread::msleep(20)) {
                if (m_process.state() == QProcess::NotRunning)
                    return (why = u"ser2net ended: "_s + QString::fromLocal8Bit(m_process.readAll())), false;
                QTcpSocket s;
                s.connectToHost(QHostAddress::LocalHost, port);
                char first = 0;
                // ser2net opens with Telnet negotiation; anything else is
                // another program that took the port meanwhile.
                if (s.waitForConnected(1000) && s.waitForReadyRead(2000) && s.getChar(&first) && uint8_t(first) == 0xFF)
                    break;
                if (s.state() == QAbstractSocket::ConnectedState)
                    return (why = u"port %1 is taken"_s.arg(port)), false;
                if (t.elapsed() > 5000)
                    return (why = u"ser2net does not accept on port %1"_s.arg(port)), false;
            }
        }
        return true;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    QList<quint16> m_ports;
};

} // namespace vek::testing
