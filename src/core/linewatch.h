#pragma once
// The line under vekctl's link, watched byte by byte, so that a failed
// command can tell a lost line (a hang-up, a pulled adapter, a target that
// went silent or gives no prompt) from a target that still answers, but
// wrongly (a wrong echo, a reply that is not a value).

#include "serialline.h"

namespace vek {

class LineWatch final : public SerialLine {
public:
    explicit LineWatch(SerialLine &line) : m_line(line) {}

    int echoes = 1;   // echo bytes that answer each byte sent: 2 in double-echo mode

    // Forgets what earlier commands saw.
    void startCommand() { m_lost = m_wrongEcho = false; }
    // Since startCommand(): a read or write failed, or a read timed out
    // where no wrong echo had explained the silence.
    bool lost() const { return m_lost; }

    OpenResult open(const QString &name, int32_t baud) override { return m_line.open(name, baud); }
    bool isOpen() const override { return m_line.isOpen(); }
    OpenFailure openFailure() const override { return m_line.openFailure(); }
    QString lostReason() const override { return m_line.lostReason(); }
    void setWaitCheck(WaitCheck check) override { m_line.setWaitCheck(std::move(check)); }
    bool close() override { return m_line.close(); }
    bool writeByte(uint8_t b) override
    {
        m_sent = b;
        m_readsSinceWrite = 0;
        if (m_line.writeByte(b))
            return true;
        m_lost = true;
        return false;
    }
    ReadResult readByte(uint8_t &b) override
    {
        const ReadResult r = m_line.readByte(b);
        const bool echo = m_readsSinceWrite++ < echoes;
        if (r == ReadResult::Error || (r == ReadResult::Timeout && !m_wrongEcho))
            m_lost = true;
        else if (r == ReadResult::Byte && echo && b != m_sent)
            m_wrongEcho = true;   // the command stops here; the silence after it is the target waiting
        return r;
    }
    void purgeRx() override { m_line.purgeRx(); }
    void purgeTx() override { m_line.purgeTx(); }
    bool setBreak(bool on) override { return m_line.setBreak(on); }
    void setReadWaitCheck(WaitCheck check) override { m_line.setReadWaitCheck(std::move(check)); }

private:
    SerialLine &m_line;
    uint8_t m_sent = 0;
    int m_readsSinceWrite = 0;
    bool m_lost = false;
    bool m_wrongEcho = false;
};

} // namespace vek
