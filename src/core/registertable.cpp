#include "registertable.h"

#include <QIODevice>

#include <cstring>
#include <vector>

namespace vek {

namespace {

// Byte-wise comparison as unsigned 8-bit values; a name that is the
// beginning of the other is the smaller one.
int compareNames(const QByteArray &a, const QByteArray &b)
{
    const qsizetype common = qMin(a.size(), b.size());
    if (common > 0) {
        const int r = std::memcmp(a.constData(), b.constData(), static_cast<size_t>(common));
        if (r != 0)
            return r;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads a device the way a text-mode line read with a fixed buffer does:
// CR LF arrives as LF, each read ends after a LF or after MaxLineRead
// characters, whichever comes first. Reads the device in chunks, so memory
// stays bounded whatever the size of the file.
class LineReader {
public:
    explicit LineReader(QIODevice &in) : m_in(in) {}

    // False at the end of the data. `line` keeps its LF when it had one.
    bool next(QByteArray &line)
    {
        line.clear();
        while (line.size() < RegisterTable::MaxLineRead) {
            int c = get();
            if (c < 0)
                break;
            if (c == '\r') {
                const int n = peek();
                if (n == '\n') {
                    get();
                    c = '\n';
                }
            }
            line.append(static_cast<char>(c));
            if (c == '\n')
                break;
        }
        return !line.isEmpty();
    }

private:
    bool fill()
    {
        if (m_pos < m_buf.size())
            return true;
        if (m_eof)
            return false;
        m_buf.resize(64 * 1024);
        const qint64 got = m_in.read(m_buf.data(), m_buf.size());
        if (got <= 0) {
            m_buf.clear();
            m_eof = true;
            return false;
        }
        m_buf.resize(got);
        m_pos = 0;
        return true;
    }
    int get()
    {
        if (!fill())
            return -1;
        return static_cast<unsigned char>(m_buf.at(m_pos++));
    }
    int peek()
    {
        if (!fill())
            return -1;
        return static_cast<unsigned char>(m_buf.at(m_pos));
    }

    QIODevice &m_in;
    QByteArray m_buf;
    qsizetype m_pos = 0;
    bool m_eof = false;
};

// A heading of a memory bank inside the register section, such as
// ";-----Bank0-----" or ";----- Bank 12 -----" or ";--- Unbanked ---": a
// comment that holds, between dashes and spaces, only "Bank" and a number or
// only "Unbanked", in any case.
bool isBankHeading(const QByteArray &line)
{
    if (!line.startsWith(';'))
        return false;
    qsizetype i = 1;
    qsizetype end = line.size();
    const auto filler = [](char c) { return c == '-' || isSpace(c); };
    while (i < end && filler(line.at(i)))
        ++i;
    while (end > i && filler(line.at(end - 1)))
        --end;
    const QByteArray words = line.mid(i, end - i);
    if (words.compare("Unbanked", Qt::CaseInsensitive) == 0)
        return true;
    if (words.left(4).compare("Bank", Qt::CaseInsensitive) != 0)
        return false;
    qsizetype k = 4;
    while (k < words.size() && isSpace(words.at(k)))
        ++k;
    if (k >= words.size())
        return false;
    for (; k < words.size(); ++k) {
        if (words.at(k) < '0' || words.at(k) > '9')
            return false;
    }
    return true;
}

QByteArray withoutLineEnd(QByteArray line)
{
    if (line.endsWith('\n'))
        line.chop(1);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

qsizetype RegisterTable::find(const QByteArray &addrText) const
{
    for (qsizetype i = 0; i < m_addrs.size(); ++i) {
        if (m_addrs.at(i) == addrText)
            return i;
    }
    return -1;
}

void RegisterTable::clear()
{
    m_names.clear();
    m_addrs.clear();
}

QByteArray RegisterTable::addressText(const QByteArray &digits)
{
    // From the right: the last three digits, '0' where they run out.
    QByteArray text("000");
    qsizetype src = digits.size();
    for (int pos = 2; pos >= 0 && src > 0; --pos)
        text[pos] = digits.at(--src);
    return text;
}

bool RegisterTable::addIncLine(const QByteArray &line, QString *reason)
{
    auto fail = [reason](const QString &why) {
        if (reason)
            *reason = why;
        return false;
    };

    QByteArray words[3];
    int found = 0;
    qsizetype i = 0;
    const qsizetype n = line.size();
    while (found < 3) {
        while (i < n && isSpace(line.at(i)))
            ++i;
        if (i >= n)
            break;
        const qsizetype start = i;
        while (i < n && !isSpace(line.at(i)))
            ++i;
        words[found++] = line.mid(start, i - start);
    }
    if (found < 3)
        return fail(QStringLiteral("fewer than three words"));
    if (words[0].size() > MaxName)
        return fail(QStringLiteral("name longer than %1 characters").arg(MaxName));
    if (words[1].size() > MaxWord)
        return fail(QStringLiteral("second word longer than %1 characters").arg(MaxWord));
    if (words[2].size() > MaxWord)
        return fail(QStringLiteral("value word longer than %1 characters").arg(MaxWord));

    const QByteArray &value = words[2];
    const qsizetype marker = value.indexOf("H'");
    if (marker < 0)
        return fail(QStringLiteral("value word without H'"));
    const qsizetype begin = marker + 2;
    const qsizetype end = value.indexOf('\'', begin);
    if (end < 0)
        return fail(QStringLiteral("value word without a closing apostrophe"));

    m_names.append(words[0]);
    m_addrs.append(addressText(value.mid(begin, end - begin)));
    return true;
}

void RegisterTable::swapEntries(qsizetype a, qsizetype b)
{
    m_names.swapItemsAt(a, b);
    m_addrs.swapItemsAt(a, b);
}

void RegisterTable::sortLabels()
{
    // The selection sort takes, for each i, the first position holding the
    // smallest name in [i, n) and exchanges it with i. A tournament tree over
    // the positions gives that same position in O(log n): every node holds
    // the winner of its range, ties going to the smaller position. Positions
    // already placed drop out of the tournament. The exchanges are made on a
    // permutation of entry numbers, and the lists rebuilt from it at the end.
    const qsizetype n = m_names.size();
    if (n < 2)
        return;
    const QByteArray *names = m_names.constData();
    std::vector<qsizetype> entryAt(static_cast<size_t>(n));
    for (qsizetype p = 0; p < n; ++p)
        entryAt[static_cast<size_t>(p)] = p;

    size_t size = 1;
    while (size < static_cast<size_t>(n))
        size *= 2;
    constexpr qsizetype None = -1;
    std::vector<qsizetype> tree(2 * size, None);

    auto winner = [&](qsizetype left, qsizetype right) {
        if (left == None)
            return right;
        if (right == None)
            return left;
        // The left range holds the smaller positions: it keeps ties.
        return compareNames(names[entryAt[static_cast<size_t>(left)]],
                            names[entryAt[static_cast<size_t>(right)]]) > 0
                   ? right
                   : left;
    };
    auto update = [&](qsizetype pos, qsizetype value) {
        size_t k = size + static_cast<size_t>(pos);
        tree[k] = value;
        for (k /= 2; k >= 1; k /= 2)
            tree[k] = winner(tree[2 * k], tree[2 * k + 1]);
    };

    for (qsizetype p = 0; p < n; ++p)
        tree[size + static_cast<size_t>(p)] = p;
    for (size_t k = size - 1; k >= 1; --k)
        tree[k] = winner(tree[2 * k], tree[2 * k + 1]);

    for (qsizetype i = 0; i + 1 < n; ++i) {
        const qsizetype m = tree[1];   // first smallest name in [i, n)
        std::swap(entryAt[static_cast<size_t>(m)], entryAt[static_cast<size_t>(i)]);
        update(i, None);
        if (m != i)
            update(m, m);   // its entry changed: it now holds the former entry at i
    }

    QList<QByteArray> sortedNames;
    QList<QByteArray> sortedAddrs;
    sortedNames.reserve(n);
    sortedAddrs.reserve(n);
    for (qsizetype entry : entryAt) {
        sortedNames.append(m_names.at(entry));
        sortedAddrs.append(m_addrs.at(entry));
    }
    m_names = std::move(sortedNames);
    m_addrs = std::move(sortedAddrs);
}

void RegisterTable::read(QIODevice &in, ReadReport *report)
{
    ReadReport local;
    ReadReport &r = report ? *report : local;
    r = ReadReport{};
    clear();

    LineReader reader(in);
    QByteArray line;
    int lineNumber = 0;

    while (reader.next(line)) {
        ++lineNumber;
        if (line.contains("Register Files")) {
            r.foundStart = true;
            break;
        }
    }

    if (r.foundStart) {
        // The start line is never tested for the end mark.
        while (reader.next(line)) {
            ++lineNumber;
            const bool endMark = line.contains(";--");
            if (endMark && isBankHeading(line))
                continue;   // a bank heading is a comment, not the end
            const char first = line.at(0);
            if (first != '\n' && first != ';' && first != ' ') {
                QString why;
                if (!addIncLine(line, &why) && r.skippedCount++ < MaxSkippedKept)
                    r.skipped.append(Skipped{lineNumber, withoutLineEnd(line), why});
            }
            if (endMark) {
                r.foundEnd = true;
                break;
            }
        }
    }

    sortLabels();
}

} // namespace vek
