#include "multi.h"

#include "script.h"

#include <QFileDevice>
#include <QIODevice>
#include <QMutex>
#include <QTextStream>
#include <QThread>

#include <csignal>
#include <memory>
#include <vector>

namespace vek::cli {

namespace {

// Collects what one target prints and passes on each complete line, after
// the target's name and a tab, to the shared stream. Whatever has no line
// end yet goes out when the device is closed. Once the shared stream fails
// (a full disk, a closed output), every write fails with its reason, so that
// each target ends as one alone would. The last message passed on is kept.
class PrefixedLines final : public QIODevice {
public:
    PrefixedLines(QString prefix, QTextStream &dest, QMutex &lock)
        : m_prefix(std::move(prefix)), m_dest(dest), m_lock(lock)
    {
        open(QIODevice::WriteOnly);
    }
    ~PrefixedLines() override { close(); }

    void close() override
    {
        if (!m_pending.isEmpty()) {
            m_pending += '\n';
            passOn();
        }
        QIODevice::close();
    }

    QString lastMessage() const { return m_last; }

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        m_pending.append(data, size);
        return passOn() ? size : -1;
    }

private:
    bool passOn()
    {
        const qsizetype end = m_pending.lastIndexOf('\n');
        if (end < 0)
            return true;
        QString text;
        for (const QByteArray &line : QByteArrayView(m_pending).first(end).toByteArray().split('\n')) {
            const QString l = QString::fromUtf8(line);
            // A message's first line; the lines it runs on to are not one.
            if (l.startsWith(Program + QStringLiteral(": ")))
                m_last = l;
            text += m_prefix + l + u'\n';
        }
        m_pending.remove(0, end + 1);
        QMutexLocker locked(&m_lock);
        if (m_dest.status() == QTextStream::Ok) {
            m_dest << text;
            m_dest.flush();
        }
        if (m_dest.status() == QTextStream::Ok)
            return true;
        const auto *file = qobject_cast<const QFileDevice *>(m_dest.device());
        setErrorString(file && file->error() != QFileDevice::NoError ? file->errorString()
                                                                     : QStringLiteral("could not be written"));
        return false;
    }

    const QString m_prefix;
    QTextStream &m_dest;
    QMutex &m_lock;
    QByteArray m_pending;
    QString m_last;
};

bool anySave(const QList<Command> &cmds)
{
    for (const Command &c : cmds) {
        if (c.info->kind == Kind::Save || (c.script && anySave(c.script->commands)))
            return true;
    }
    return false;
}

bool anyWatch(const QList<Command> &cmds)
{
    for (const Command &c : cmds) {
        if (c.info->kind == Kind::Watch || (c.script && anyWatch(c.script->commands)))
            return true;
    }
    return false;
}

} // namespace

void checkSeveralTargets(const QList<Command> &cmds, const Options &opt)
{
    if (anySave(cmds))
        throw UsageError(QStringLiteral("save writes one file: give one port (-p) for it"));
    if (opt.csv && anyWatch(cmds))
        throw UsageError(QStringLiteral("watch --csv prints one table: give one port (-p) for it"));
}

int combinedStatus(const QList<int> &statuses)
{
    for (int first : {130, 143, 129, 141, 4, 3, 1}) {
        if (statuses.contains(first))
            return first;
    }
    for (int s : statuses) {
        if (s != 0)
            return s;
    }
    return 0;
}

int runOnEach(const QStringList &ports, const Options &opt, const TargetRun &run, QTextStream &out,
              QTextStream &err)
{
    QMutex outLock, errLock;
    std::vector<int> statuses(size_t(ports.size()), 0);   // one element for each thread
    std::vector<QString> reasons(size_t(ports.size()));
    std::vector<std::unique_ptr<QThread>> threads;
    for (qsizetype i = 0; i < ports.size(); ++i) {
        // The thread makes the target's line, so that a network line's
        // socket lives, and is closed, where it is used.
        threads.emplace_back(QThread::create([&, i] {
            Options mine = opt;
            mine.port = ports[i];
            const QString prefix = ports[i] + u'\t';
            PrefixedLines outLines(prefix, out, outLock), errLines(prefix, err, errLock);
            QTextStream targetOut(&outLines), targetErr(&errLines);
            statuses[size_t(i)] = run(mine, targetOut, targetErr);
            targetOut.flush();
            targetErr.flush();
            reasons[size_t(i)] = errLines.lastMessage();
        }));
        threads.back()->start();
    }
    for (auto &t : threads)
        t->wait();
    // How each port ended: its status and its last message.
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const int status = statuses[size_t(i)];
        QString why = status == 0 ? QStringLiteral("ok") : reasons[size_t(i)];
        if (status > 128)
            why = status == 128 + SIGPIPE ? QStringLiteral("the reader of the output went away")
                                          : QStringLiteral("stopped by signal %1").arg(status - 128);
        if (why.startsWith(Program + QStringLiteral(": ")))
            why.remove(0, Program.size() + 2);
        if (why.isEmpty())
            why = QStringLiteral("failed");
        err << ports[i] << '\t' << QStringLiteral("exit %1: %2").arg(status).arg(why) << '\n';
    }
    err.flush();
    return combinedStatus(QList<int>(statuses.begin(), statuses.end()));
}

} // namespace vek::cli
