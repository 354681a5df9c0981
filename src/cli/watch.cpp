#include "watch.h"

#include "interrupt.h"
#include "textconv.h"

#include <QElapsedTimer>

#include <vector>

namespace vek::cli {

int runWatch(Session &session, const Command &cmd)
{
    const Options &opt = session.options();
    const QList<uint16_t> addrs = expandItems(cmd.reads);
    const auto stopped = [] { return 128 + interrupt::pending(); };

    if (opt.csv) {
        QStringList header{QStringLiteral("ms")};
        for (uint16_t a : addrs)
            header << AddrDisplay(a);
        session.result(header.join(u','));
    }

    std::vector<uint8_t> last;
    std::vector<uint8_t> values(size_t(addrs.size()));
    qint64 rounds = 0;
    qint64 due = 0;   // when the round should start
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
        due = start - due >= opt.intervalMs ? start + opt.intervalMs : due + opt.intervalMs;

        bool ok = true;
        for (qsizetype i = 0; i < addrs.size() && ok; ++i) {
            if (interrupt::pending())
                return stopped();
            ok = session.readValue(addrs[i], values[size_t(i)], cmd.where);
        }
        if (interrupt::pending())
            return stopped();
        if (!ok)
            continue;   // the link has said why; the round is tried again on the next beat

        if (opt.csv) {
            QStringList line{QString::number(start)};
            for (uint8_t v : values)
                line << HexByte(v);
            session.result(line.join(u','));
        } else {
            QString line = QStringLiteral("%1").arg(start, 6);
            bool changed = false;
            for (size_t i = 0; i < values.size(); ++i) {
                if (last.empty()) {
                    line += u' ' + AddrDisplay(addrs[qsizetype(i)]) + u' ' + HexByte(values[i]);
                    changed = true;
                } else if (values[i] != last[i]) {
                    line += u' ' + AddrDisplay(addrs[qsizetype(i)]) + u' ' + HexByte(last[i]) + QStringLiteral("->")
                            + HexByte(values[i]);
                    changed = true;
                }
            }
            if (changed)
                session.result(line);
        }
        last = values;
        if (opt.count > 0 && ++rounds >= opt.count)
            return 0;
    }
}

} // namespace vek::cli
