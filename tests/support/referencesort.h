#pragma once
// The plain selection sort over byte-wise names, quadratic: the order that
// RegisterTable::sortLabels must give, equal names included. For the tests
// and the benchmark only.

#include "registertable.h"

#include <cstring>

namespace vek::test {

inline void sortLabelsReference(RegisterTable &table)
{
    auto greater = [](const QByteArray &a, const QByteArray &b) {
        const int r = std::memcmp(a.constData(), b.constData(), size_t(qMin(a.size(), b.size())));
        return r != 0 ? r > 0 : a.size() > b.size();
    };
    const qsizetype n = table.count();
    for (qsizetype i = 0; i + 1 < n; ++i) {
        qsizetype m = i;
        for (qsizetype j = i + 1; j < n; ++j) {
            if (greater(table.name(m), table.name(j)))
                m = j;
        }
        table.swapEntries(m, i);
    }
}

} // namespace vek::test
