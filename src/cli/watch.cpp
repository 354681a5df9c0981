#include "watch.h"

#include "comport.h"
#include "shareclient.h"
#include "targetsession.h"
#include "interrupt.h"
#include "textconv.h"
#include "vekctl.h"

#include <QJsonObject>

#include <csignal>
#include <vector>

namespace vek::cli {

namespace {

// The first column: milliseconds since the start, or the wall-clock time.
QString stamp(Options::Stamps kind, qint64 sinceStart, qint64 epochMs, bool csv)
{
    switch (kind) {
    case Options::Stamps::Iso:
        return IsoTimeText(epochMs);
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
    Clock &clock = host.clock();
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
    const qint64 origin = clock.nowMs();
    const auto now = [&] { return clock.nowMs() - origin; };
    // The wall-clock time of `t` (since the start), as the wall clock says now.
    const auto wallAt = [&](qint64 t) { return clock.wallMs() - (now() - t); };

    // Through a served connection the watch also shows the writes others
    // make to its registers as they come: a line (a row in CSV, only that
    // register's column filled) at the time it learns of them.
    auto *shared = dynamic_cast<SharedTarget *>(session.target);
    if (shared) {
        const QJsonObject ok = shared->request({{QStringLiteral("cmd"), QStringLiteral("subscribe")}});
        if (!ok.value(QStringLiteral("ok")).toBool())
            shared = nullptr;   // the rounds find out why
    }
    qint64 lostEvents = 0;
    const auto showWrites = [&] {
        if (!shared)
            return;
        for (const QJsonObject &e : shared->takeEvents()) {
            lostEvents += e.value(QStringLiteral("lost")).toInteger();
            if (e.value(QStringLiteral("event")).toString() != QLatin1String("write"))
                continue;
            uint16_t addr = 0;
            bool okValue = false;
            const uint8_t value = uint8_t(e.value(QStringLiteral("value")).toString().toUInt(&okValue, 16));
            if (!okValue || CheckAddressText(e.value(QStringLiteral("addr")).toString(), addr) != AddrCheck::Ok)
                continue;
            const qsizetype i = addrs.indexOf(addr);
            if (i < 0)
                continue;
            const qint64 client = e.value(QStringLiteral("client")).toInteger();
            const QString first = stamp(opt.stamps, now(), clock.wallMs(), opt.csv);
            if (opt.csv) {
                QStringList line{first};
                for (qsizetype k = 0; k < addrs.size(); ++k)
                    line << (k == i ? HexByte(value) : QString());
                session.result(line.join(u','));
            } else {
                session.result(QStringLiteral("%1 %2 %3 written by %4")
                                   .arg(first, AddrDisplay(addr), HexByte(value),
                                        client > 0 ? QStringLiteral("client %1").arg(client)
                                                   : QStringLiteral("the window")));
                // The next round shows a change from the value written.
                if (!last.empty())
                    last[size_t(i)] = value;
            }
        }
        if (lostEvents > 0) {
            session.warn(cmd.where + QStringLiteral("watch: the server dropped %1 event%2 of others meanwhile (this watch read them too slowly)")
                                         .arg(lostEvents)
                                         .arg(lostEvents > 1 ? "s" : ""));
            lostEvents = 0;
        }
    };
    // Sleeps until `t` (since the start); false when a signal came. Through
    // a served connection it wakes for the writes of others meanwhile.
    const auto sleepUntil = [&](qint64 t) {
        if (!shared)
            return t <= now() || clock.sleepMs(t - now());
        for (qint64 left; (left = t - now()) > 0;) {
            if (interrupt::pending())
                return false;
            // In steps short enough that a signal is seen soon.
            const qint64 before = now();
            const qint64 step = qMin<qint64>(left, 50);
            if (shared->waitForEvent(int(step)))
                showWrites();
            else if (now() == before && !clock.sleepMs(step))
                return false;   // the server gone: the time waited all the same
        }
        return interrupt::pending() == 0;
    };

    // After a lost line with --reconnect: the port is down until an attempt
    // to open it again succeeds; the attempts come after 1 s, then twice the
    // wait before, at most 30 s.
    bool down = false;
    qint64 backoff = 0, nextAttempt = 0, attempts = 0;

    // A failed round's row (in CSV), counted; 0 to go on, else the status
    // that ends the watch.
    const auto failedRound = [&](const QString &first) {
        if (opt.csv)
            session.result(first + QString(u',').repeated(addrs.size()));
        if (++failedInRow >= opt.maxFailures) {
            host.collapse(false);
            session.warn(cmd.where + QStringLiteral("watch: %1 failed round%2 in a row")
                                         .arg(failedInRow)
                                         .arg(failedInRow > 1 ? "s" : ""));
            return failure;
        }
        return 0;
    };
    // Output checked every round: a full disk is said at once, and a reader
    // that went away ends a watch that prints nothing new. Then --count.
    // 0 to go on, -1 to end with status 0, else the status that ends it.
    const auto roundEnded = [&]() -> int {
        if (interrupt::pending() == SIGPIPE || interrupt::outputGone())
            return 128 + SIGPIPE;
        if (session.outputFailed())
            return 1;
        if (opt.count > 0 && ++rounds >= opt.count)
            return failure ? failure : -1;
        return 0;
    };

    for (;;) {
        // Without an interval the rounds wait for the attempts, one missed
        // round for each that fails; with one, they keep their beat.
        if (down && (nextAttempt < due || opt.intervalMs == 0)) {
            if (!sleepUntil(nextAttempt))
                return stopped();
            ++attempts;
            const QString when = stamp(Options::Stamps::Iso, 0, clock.wallMs(), false);
            QString why;
            const Reconnected again = session.reopen(why);
            const bool back = again == Reconnected::Yes;
            if (interrupt::pending())
                return stopped();
            host.sayNow(QStringLiteral("%1 watch: opening %2 again (attempt %3): %4")
                            .arg(when, opt.port).arg(attempts).arg(back ? QStringLiteral("connected") : why));
            // A command cut meanwhile (by another program) ends it, as one
            // cut by the watch itself does.
            if (again == Reconnected::Never)
                return end(failure);
            if (back) {
                down = false;
            } else {
                backoff = qMin<qint64>(backoff * 2, 30000);
                nextAttempt = now() + backoff;
            }
            // The rounds whose time passed meanwhile were missed; after a
            // successful attempt, the one due last is read at once.
            const auto missed = [&](qint64 at) {
                const int status = failedRound(stamp(opt.stamps, at, wallAt(at), opt.csv));
                return status ? status : roundEnded();
            };
            if (opt.intervalMs == 0) {
                if (const int status = down ? missed(now()) : 0)
                    return end(qMax(status, 0));
                due = now();
            }
            for (; opt.intervalMs > 0 && due + (down ? 0 : opt.intervalMs) <= now(); due += opt.intervalMs) {
                if (const int status = missed(due))
                    return end(qMax(status, 0));
            }
            continue;
        }
        const qint64 wait = due - now();
        if (wait > 0 && !sleepUntil(due))
            return stopped();
        // Rounds keep the beat of the interval, so that a late wake-up does
        // not push the rounds after it. One that starts a whole interval
        // late (the round before ran longer) starts a new beat, and one
        // that runs longer is followed at once.
        const qint64 start = now();
        const qint64 wallMs = clock.wallMs();
        due = start - due >= opt.intervalMs ? start + opt.intervalMs : due + opt.intervalMs;
        const QString first = stamp(opt.stamps, start, wallMs, opt.csv);

        if (down) {
            // A round while the port is down: missed.
            if (const int status = failedRound(first))
                return end(status);
            if (const int status = roundEnded())
                return end(qMax(status, 0));
            continue;
        }

        bool ok = true;
        for (qsizetype i = 0; i < addrs.size() && ok; ++i) {
            if (interrupt::pending())
                return stopped();
            ok = session.readValue(addrs[i], values[size_t(i)], cmd.where);
        }
        if (interrupt::pending())
            return stopped();
        host.endRound();

        if (!ok) {
            failure = session.failStatus();
            // Nothing more may be sent after a command cut short.
            if (session.target && session.target->holdsPartial())
                return end(failure);
            if (const int status = failedRound(first))
                return end(status);
            if (failure == ExitLineLost && opt.reconnect && session.reopen) {
                down = true;
                backoff = 1000;
                nextAttempt = now() + backoff;
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
        // What others wrote while the round's commands waited their turn.
        showWrites();
        if (const int status = roundEnded())
            return end(qMax(status, 0));
    }
}

} // namespace vek::cli
