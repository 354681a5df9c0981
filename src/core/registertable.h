#pragma once
// The register section of an assembler include file, read into a table of
// register names and three-character address texts sorted by name.

#include <QByteArray>
#include <QList>
#include <QString>

class QIODevice;

namespace vek {

class RegisterTable {
public:
    // A line of the register section that lacked the entry form.
    struct Skipped {
        int lineNumber = 0;      // 1-based, counting the reads of at most 254 characters
        QByteArray text;         // without its line end
        QString reason;
    };
    struct ReadReport {
        bool foundStart = false; // a line containing "Register Files" was seen
        bool foundEnd = false;   // the section ended at a line containing ";--"
        // The first MaxSkippedKept skipped lines, so that a huge file of
        // junk cannot fill the memory; skippedCount counts them all.
        QList<Skipped> skipped;
        qsizetype skippedCount = 0;
    };

    static constexpr qsizetype MaxLineRead = 254;
    static constexpr qsizetype MaxName = 19;
    static constexpr qsizetype MaxWord = 11;
    static constexpr qsizetype MaxSkippedKept = 100;

    qsizetype count() const { return m_names.size(); }
    bool isEmpty() const { return m_names.isEmpty(); }
    const QByteArray &name(qsizetype i) const { return m_names.at(i); }
    const QByteArray &addr(qsizetype i) const { return m_addrs.at(i); }
    const QList<QByteArray> &names() const { return m_names; }
    const QList<QByteArray> &addrs() const { return m_addrs; }

    // First position whose address text equals `addrText` exactly, or -1.
    qsizetype find(const QByteArray &addrText) const;

    void clear();
    // Appends one entry line; false (and nothing appended) when the line
    // lacks the entry form. `reason` then says why.
    bool addIncLine(const QByteArray &line, QString *reason = nullptr);
    // Orders the entries exactly as a selection sort over byte-wise names
    // would, equal names included.
    void sortLabels();
    void swapEntries(qsizetype a, qsizetype b);

    // Replaces the table with the register section read from `in`. Reading
    // stops at the end line or the end of the data; the entries read so far
    // are kept, sorted.
    void read(QIODevice &in, ReadReport *report = nullptr);

    // Splits a value word's H'...' digits into the address text.
    static QByteArray addressText(const QByteArray &digits);

private:
    QList<QByteArray> m_names;
    QList<QByteArray> m_addrs;
};

} // namespace vek
