#pragma once
// A serial line that opens some port names on lines of their own (the demo
// target), network names (rfc2217://HOST:PORT) on the network line, and every
// other name on the platform's line. The other calls go to whichever line the
// last open chose.

#include "netline.h"
#include "serialline.h"

#include <QHash>
#include <memory>

namespace vek {

class LineSwitch final : public SerialLine {
public:
    // The platform's line is not owned and must outlive the switch. Network
    // names go to a NetLine of the switch's own, or to `network` (not owned)
    // when one is given.
    explicit LineSwitch(SerialLine &platform, SerialLine *network = nullptr)
        : m_platform(platform), m_current(&platform)
    {
        if (!network) {
            m_ownNetwork = std::make_unique<NetLine>();
            network = m_ownNetwork.get();
        }
        m_network = network;
    }
    void add(const QString &name, SerialLine &line)
    {
        m_named.insert(name, &line);
        line.setWaitCheck(m_waitCheck);
    }

    OpenResult open(const QString &name, int32_t baud) override
    {
        SerialLine *next = m_named.value(name, NetLine::isNetName(name) ? m_network : &m_platform);
        if (next != m_current && m_current->isOpen())
            m_current->close();
        m_current = next;
        return m_current->open(name, baud);
    }
    bool isOpen() const override { return m_current->isOpen(); }
    OpenFailure openFailure() const override { return m_current->openFailure(); }
    QString lostReason() const override { return m_current->lostReason(); }
    void setWaitCheck(WaitCheck check) override
    {
        m_waitCheck = check;
        m_platform.setWaitCheck(check);
        m_network->setWaitCheck(check);
        for (SerialLine *line : std::as_const(m_named))
            line->setWaitCheck(check);
    }
    bool close() override { return m_current->close(); }
    bool writeByte(uint8_t b) override { return m_current->writeByte(b); }
    ReadResult readByte(uint8_t &b) override { return m_current->readByte(b); }
    void purgeRx() override { m_current->purgeRx(); }
    void purgeTx() override { m_current->purgeTx(); }
    bool setBreak(bool on) override { return m_current->setBreak(on); }
    void setReadWaitCheck(WaitCheck check) override
    {
        m_platform.setReadWaitCheck(check);
        m_network->setReadWaitCheck(check);
        for (SerialLine *line : std::as_const(m_named))
            line->setReadWaitCheck(check);
    }

private:
    SerialLine &m_platform;
    SerialLine *m_current;
    SerialLine *m_network;
    std::unique_ptr<NetLine> m_ownNetwork;
    QHash<QString, SerialLine *> m_named;
    WaitCheck m_waitCheck;
};

} // namespace vek
