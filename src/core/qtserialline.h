#pragma once
// The serial line on a real port, through QSerialPort, used blocking from
// the thread that owns it.

#include "serialline.h"

#include <QSerialPort>

namespace vek {

class QtSerialLine final : public SerialLine {
public:
    QtSerialLine();
    ~QtSerialLine() override;

    OpenResult open(const QString &name, int32_t baud) override;
    bool isOpen() const override;
    bool close() override;
    bool writeByte(uint8_t b) override;
    ReadResult readByte(uint8_t &b) override;
    void purgeRx() override;
    void purgeTx() override;
    bool setBreak(bool on) override;

private:
    QSerialPort m_port;
};

} // namespace vek
