#include "serial/serial_device.h"

namespace morvane {

SLineSettings DefaultLineSettings() {
    SLineSettings s;
    s.BaudRate = 9600;
    s.ByteSize = 8;
    s.Parity = LineParity::None;
    s.StopBits = LineStopBits::One;
    s.fBinary = true;
    s.fParity = true;
    s.fOutxCtsFlow = false;
    s.fOutxDsrFlow = false;
    s.fDtrControl = DtrControl::Enable;
    s.fOutX = false;
    s.fInX = false;
    s.fNull = false;
    s.fRtsControl = RtsControl::Enable;
    s.XonLim = 100;
    s.XoffLim = 100;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;
    s.EvtChar = 0x0D;
    return s;
}

void SetLineHandshake(SLineSettings& settings, bool enable) {
    settings.fOutxCtsFlow = enable;
    if (enable) return;
    settings.fOutxDsrFlow = false;
    settings.fDtrControl = DtrControl::Enable;
    settings.fRtsControl = RtsControl::Enable;
}

}  // namespace morvane
