#include "multi.h"

#include "script.h"

#include <QIODevice>
#include <QMutex>
#include <QTextStream>
#include <QThread>

#include <memory>
#include <vector>

namespace vek::cli {

namespace {

// Collects what one target prints and passes on each complete line, after
// the target's name and a tab, to the shared stream. Whatever has no line
// end yet goes out when the device is closed.
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

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        m_pending.append(data, size);
        passOn();
        return size;
    }

private:
    void passOn()
    {
        const qsizetype end = m_pending.lastIndexOf('\n');
        if (end < 0)
            return;
        QString text;
        for (const QByteArray &line : QByteArrayView(m_pending).first(end).toByteArray().split('\n'))
            text += m_prefix + QString::fromUtf8(line) + u'\n';
        m_pending.remove(0, end + 1);
        QMutexLocker locked(&m_lock);
        m_dest << text;
        m_dest.flush();
    }

    const QString m_prefix;
    QTextStream &m_dest;
    QMutex &m_lock;
    QByteArray m_pending;
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
    for (int first : {130, 143, 141, 4, 3, 1}) {
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
        }));
        threads.back()->start();
    }
    for (auto &t : threads)
        t->wait();
    return combinedStatus(QList<int>(statuses.begin(), statuses.end()));
}

} // namespace vek::cli
