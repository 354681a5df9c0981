#include "entries.h"

#include "comport.h"
#include "registertable.h"
#include "setupfile.h"

#include <QBuffer>
#include <QByteArray>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace vek::fuzz {

namespace {

[[noreturn]] void fail(const char *what, int line)
{
    std::fprintf(stderr, "fuzz invariant broken (entries.cpp:%d): %s\n", line, what);
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond)                  \
    do {                                  \
        if (!(cond))                      \
            fail(#cond, __LINE__);        \
    } while (0)

// ------------------------------------------------------------ include file

int compareBytes(const QByteArray &a, const QByteArray &b)
{
    const qsizetype common = qMin(a.size(), b.size());
    if (common > 0) {
        const int r = std::memcmp(a.constData(), b.constData(), size_t(common));
        if (r != 0)
            return r;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// ------------------------------------------------------------ setup file

bool allBlank(const std::optional<std::array<QString, RowCount>> &labels)
{
    if (!labels)
        return true;
    // White space as the reader sees it: bytes of the file, not Unicode.
    for (const QString &l : *labels) {
        for (char c : l.toUtf8()) {
            if (!std::strchr(" \t\n\r\v\f", c) || c == '\0')
                return false;
        }
    }
    return true;
}

// ------------------------------------------------------------ protocol

// A line to an arbitrary target. The target's bytes come from the fuzz
// input in pieces of its choosing: a piece is released by every byte the
// host writes and, when the input asks for it, by a read that finds
// nothing waiting (a late answer). An empty piece there is a time-out.
class ChunkLine final : public SerialLine {
public:
    struct Counters {
        QByteArray written;
        int reads = 0;
        int timeouts = 0;
        int errors = 0;
        int failedWrites = 0;
        int lastRead = -1;
        bool sawPrompt = false;
    };

    ChunkLine(const uint8_t *data, size_t size, qint64 &clock) : m_data(data), m_size(size), m_clock(clock) {}

    bool hangUpWhenEmpty = false;   // an empty queue is a failed read (line hung up)
    bool lateAnswers = false;       // an empty queue releases the next piece
    int failWriteAt = -1;
    Counters c;
    qsizetype delivered = 0;

    OpenResult open(const QString &, int32_t) override
    {
        m_open = true;
        return OpenResult::Ok;
    }
    bool isOpen() const override { return m_open; }
    bool close() override
    {
        m_open = false;
        return true;
    }
    bool writeByte(uint8_t b) override
    {
        if (m_writes++ == failWriteAt) {
            ++c.failedWrites;
            m_clock += WriteTimeoutMs;
            return false;
        }
        c.written.append(char(b));
        release();
        return true;
    }
    ReadResult readByte(uint8_t &b) override
    {
        ++c.reads;
        if (m_rx.empty() && lateAnswers)
            release();
        if (m_rx.empty()) {
            if (hangUpWhenEmpty) {
                ++c.errors;
                return ReadResult::Error;
            }
            ++c.timeouts;
            m_clock += ReadTimeoutMs;
            return ReadResult::Timeout;
        }
        b = m_rx.front();
        m_rx.pop_front();
        c.lastRead = b;
        if (b == Link::Prompt)
            c.sawPrompt = true;
        return ReadResult::Byte;
    }
    void purgeRx() override { m_rx.clear(); }
    qsizetype pending() const { return qsizetype(m_rx.size()); }
    void purgeTx() override {}
    bool setBreak(bool) override { return true; }

private:
    // A piece is a length byte and that many bytes; a length with the top
    // bit set counts in steps of 128, so one piece can be a long reply.
    void release()
    {
        if (m_pos >= m_size)
            return;
        const uint8_t l = m_data[m_pos++];
        size_t len = (l & 0x80) ? size_t(l & 0x7F) * 128 : l;
        len = std::min(len, m_size - m_pos);
        for (size_t i = 0; i < len; ++i)
            m_rx.push_back(m_data[m_pos + i]);
        m_pos += len;
        delivered += qsizetype(len);
    }

    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
    qint64 &m_clock;
    std::deque<uint8_t> m_rx;
    bool m_open = false;
    int m_writes = 0;
};

class ClockHost final : public Host {
public:
    explicit ClockHost(qint64 &clock) : m_clock(clock) {}
    void showMessage(const QString &text) override
    {
        static const char *const known[] = {"Calibration write failed", "Write failed", "Echo not received",
                                            "File write failed", "File read failed", "Read Failure"};
        bool ok = false;
        for (const char *k : known)
            ok = ok || text == QLatin1String(k);
        ok = ok || text.startsWith(QLatin1String("The target may hold part of a command, "));
        FUZZ_CHECK(ok);
    }
    void sleepMs(int ms) override { m_clock += ms; }

private:
    qint64 &m_clock;
};

} // namespace

int incFile(const uint8_t *data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer in(&bytes);
    in.open(QIODevice::ReadOnly);
    RegisterTable table;
    RegisterTable::ReadReport report;
    table.read(in, &report);

    FUZZ_CHECK(table.names().size() == table.addrs().size());
    FUZZ_CHECK(table.count() == 0 || report.foundStart);
    for (qsizetype i = 0; i < table.count(); ++i) {
        FUZZ_CHECK(table.addr(i).size() == 3);
        FUZZ_CHECK(!table.name(i).isEmpty() && table.name(i).size() <= RegisterTable::MaxName);
        if (i > 0)
            FUZZ_CHECK(compareBytes(table.name(i - 1), table.name(i)) <= 0);
        const qsizetype at = table.find(table.addr(i));
        FUZZ_CHECK(at >= 0 && at <= i);
    }
    FUZZ_CHECK(report.skipped.size() <= qMin(report.skippedCount, RegisterTable::MaxSkippedKept));
    for (const auto &s : report.skipped)
        FUZZ_CHECK(s.lineNumber > 0 && !s.reason.isEmpty());
    return 0;
}

int setupFile(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    Setup setup;
    QString error;
    if (!ParseSetup(content, setup, error)) {
        FUZZ_CHECK(!error.isEmpty());
        return 0;
    }
    FUZZ_CHECK(error.isEmpty());

    // What a save of the loaded rows writes must load as the same rows and labels.
    const std::array<QString, RowCount> labels = setup.labels ? *setup.labels : std::array<QString, RowCount>{};
    const QByteArray saved = FormatSetup(setup.rows, labels);
    Setup again;
    FUZZ_CHECK(ParseSetup(saved, again, error));
    for (int r = 0; r < RowCount; ++r) {
        FUZZ_CHECK(again.rows[size_t(r)].addr == setup.rows[size_t(r)].addr);
        FUZZ_CHECK(again.rows[size_t(r)].value == setup.rows[size_t(r)].value);
    }
    if (allBlank(setup.labels)) {
        FUZZ_CHECK(!again.labels);   // blank labels are looked up again
    } else {
        FUZZ_CHECK(again.labels.has_value());
        for (int r = 0; r < RowCount; ++r)
            FUZZ_CHECK((*again.labels)[size_t(r)] == (*setup.labels)[size_t(r)]);
    }
    // Saving what was reloaded changes nothing more.
    FUZZ_CHECK(FormatSetup(again.rows, again.labels ? *again.labels : labels) == saved);
    return 0;
}

// Layout: byte 0 flags (bit 0: reads of an empty queue fail as on a hung-up
// line; bit 1: calibration character 0x80; bit 2: a register read keeps up
// to 49 characters; bit 3: an empty queue releases the next piece), byte 1
// the index of the host's write that fails (0xFF: none), then the pieces.
int protocol(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    qint64 clock = 0;
    ChunkLine line(data + 2, size - 2, clock);
    line.hangUpWhenEmpty = flags & 1;
    line.lateAnswers = flags & 8;
    line.failWriteAt = data[1] == 0xFF ? -1 : data[1];
    ClockHost host(clock);

    Link link(line, host);
    link.CalChar = (flags & 2) ? 0x80 : 0x3F;
    const qsizetype capacity = (flags & 4) ? Link::VerTextMax : 2;

    struct Op {
        QByteArray expected;   // everything the host may send, in order
        int fixedWaitsMs;
        bool promptLast;       // success only right after a '>'
    };
    auto run = [&](const Op &op, auto &&call) {
        line.c = {};
        const qsizetype before = line.delivered - line.pending();
        const qint64 start = clock;
        const bool heldPartial = link.HoldsPartial();
        const bool ok = call();
        const auto &c = line.c;
        FUZZ_CHECK(op.expected.startsWith(c.written));
        // A command cut after some of its characters is never completed by
        // the next one: nothing more goes out.
        FUZZ_CHECK(!heldPartial || c.written.isEmpty());
        if (ok) {
            FUZZ_CHECK(c.written == op.expected);
            FUZZ_CHECK(c.failedWrites == 0);
            if (op.promptLast)
                FUZZ_CHECK(c.lastRead == Link::Prompt);
            else
                FUZZ_CHECK(c.sawPrompt);
        }
        // Every command gives up at its first failed read, apart from the
        // one read for the prompt after a broken command.
        FUZZ_CHECK(c.timeouts + c.errors <= 2);
        FUZZ_CHECK(c.failedWrites <= 1);
        FUZZ_CHECK(c.reads <= (line.delivered - before) + 2);
        // Time passes only in the fixed waits and the time-outs.
        const qint64 waited = qint64(c.timeouts) * SerialLine::ReadTimeoutMs
                              + qint64(c.failedWrites) * SerialLine::WriteTimeoutMs;
        FUZZ_CHECK(clock - start >= waited && clock - start <= waited + op.fixedWaitsMs);
        return ok;
    };

    QByteArray connect;
    connect.append(char(link.CalChar)).append(char(link.CalChar)).append(char(Link::CR));
    connect.append(reinterpret_cast<const char *>(Link::KeySequence), 5);
    run({connect, 1500, false}, [&] { return link.OpenPort(QStringLiteral("fuzz")); });

    run({"V\r", 0, true}, [&] { return link.GetVersion(); });
    FUZZ_CHECK(link.VerText.size() <= Link::VerTextMax);

    QByteArray reply;
    bool overflow = false;
    run({"A02A\r", 0, true}, [&] { return link.ReadReg("02A", reply, capacity, &overflow); });
    FUZZ_CHECK(reply.size() <= capacity);
    FUZZ_CHECK(!reply.contains('\r') && !reply.contains(char(Link::Prompt)));

    run({"A02A=5C\r", 0, true}, [&] { return link.WriteReg("02A", "5C"); });
    run({"T2C\r", 0, true}, [&] { return link.SendCommand("T2C\r"); });

    link.ClosePort();
    return 0;
}

} // namespace vek::fuzz
