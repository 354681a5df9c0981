#include "watch.h"

#include "comport.h"
#include "interrupt.h"
#include "textconv.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <csignal>
#include <vector>

namespace vek::cli {

namespace {

// The first column: milliseconds since the start, or the wall-clock time.
QString stamp(Options::Stamps kind, qint64 sinceStart, qint64 epochMs, bool csv)
{
    switch (kind) {
    case Options::Stamps::Iso: {
        // The offset written out also for UTC itself (+00:00, not Z), so
        // that every line has one of the same form.
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(epochMs);
        const int offset = local.offsetFromUtc();
        return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
               + QStringLiteral("%1%2:%3")
                     .arg(QLatin1Char(offset < 0 ? '-' : '+'))
                     .arg(qAbs(offset) / 3600, 2, 10, QLatin1Char('0'))
                     .arg(qAbs(offset) / 60 % 60, 2, 10, QLatin1Char('0'));
    }
    case Options::Stamps::Epoch:
        return QStringLiteral("%1.%2").arg(epochMs / 1000).arg(epochMs % 1000, 3, 10, QLatin1Char('0'));
    case Options::Stamps::Ms:
        break;
    }
    return csv ? QString::number(sinceStart) : QStringLiteral("%1").arg(sinceStart, 6);
}

} // namespace

int runWatch(Session &session, const Command &cmd)
{
    const Options &opt = session.options();
    const QList<uint16_t> addrs = expandItems(cmd.reads);
    CliHost &host = session.host();
    // Every way out: the held-back messages said, then the status.
    const auto end = [&host](int status) {
        host.collapse(false);
        return status;
    };
    const auto stopped = [&] { return end(128 + interrupt::pending()); };

    if (opt.csv) {
        QStringList header{opt.stamps == Options::Stamps::Iso     ? QStringLiteral("time")
                           : opt.stamps == Options::Stamps::Epoch ? QStringLiteral("epoch")
                                                                  : QStringLiteral("ms")};
        for (uint16_t a : addrs)
            header << AddrDisplay(a);
        session.result(header.join(u','));
    }

    host.collapse(true);
    std::vector<uint8_t> last;
    std::vector<uint8_t> values(size_t(addrs.size()));
    qint64 rounds = 0;
    qint64 failedInRow = 0;
    int failure = 0;   // the status of the latest failed round
    qint64 due = 0;    // when the round should start
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 wait = due - clock.elapsed();
        if (wait > 0 && !interrupt::sleepMs(int(wait)))
            return stopped();
        // Rounds keep the beat of the interval, so that a late wake-up does
        // not push the rounds after it. One that starts a whole interval
        // late (the round before ran longer) starts a new beat, and one
        // that runs longer is followed at once.
        const qint64 start = clock.elapsed();
        const qint64 wallMs = QDateTime::currentMSecsSinceEpoch();
        due = start - due >= opt.intervalMs ? start + opt.intervalMs : due + opt.intervalMs;

        session.startCommand();
        bool ok = true;
        for (qsizetype i = 0; i < addrs.size() && ok; ++i) {
            if (interrupt::pending())
                return stopped();
            ok = session.readValue(addrs[i], values[size_t(i)], cmd.where);
        }
        if (interrupt::pending())
            return stopped();
        host.endRound();

        const QString first = stamp(opt.stamps, start, wallMs, opt.csv);
        if (!ok) {
            failure = session.failStatus();
            // Nothing more may be sent after a command cut short.
            if (session.link && session.link->HoldsPartial())
                return end(failure);
            if (opt.csv)
                session.result(first + QString(u',').repeated(addrs.size()));
            if (++failedInRow >= opt.maxFailures) {
                host.collapse(false);
                session.warn(cmd.where + QStringLiteral("watch: %1 failed round%2 in a row")
                                             .arg(failedInRow)
                                             .arg(failedInRow > 1 ? "s" : ""));
                return failure;
            }
        } else {
            failedInRow = 0;
            if (opt.csv) {
                QStringList line{first};
                for (uint8_t v : values)
                    line << HexByte(v);
                session.result(line.join(u','));
            } else {
                QString line = first;
                bool changed = false;
                for (size_t i = 0; i < values.size(); ++i) {
                    if (last.empty()) {
                        line += u' ' + AddrDisplay(addrs[qsizetype(i)]) + u' ' + HexByte(values[i]);
                        changed = true;
                    } else if (values[i] != last[i]) {
                        line += u' ' + AddrDisplay(addrs[qsizetype(i)]) + u' ' + HexByte(last[i])
                                + QStringLiteral("->") + HexByte(values[i]);
                        changed = true;
                    }
                }
                if (changed)
                    session.result(line);
            }
            last = values;
        }
        // Output checked every round: a full disk is said at once, and a
        // reader that went away ends a watch that prints nothing new.
        if (interrupt::pending() == SIGPIPE || interrupt::outputGone())
            return end(128 + SIGPIPE);
        if (session.outputFailed())
            return end(1);
        if (opt.count > 0 && ++rounds >= opt.count)
            return end(failure);
    }
}

} // namespace vek::cli
