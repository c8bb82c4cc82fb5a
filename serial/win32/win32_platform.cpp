// Win32 backend of the serial seam: the communication calls themselves.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "serial/serial_platform.h"
#include "serial/win32/win32_device_name.h"

namespace kel {
namespace {

void ToDcb(const CommState& s, DCB* dcb) {
    dcb->BaudRate = s.baudRate;
    dcb->fBinary = s.binary;
    dcb->fParity = s.parityCheck;
    dcb->fOutxCtsFlow = s.outxCtsFlow;
    dcb->fOutxDsrFlow = s.outxDsrFlow;
    dcb->fDtrControl = s.dtrControl;
    dcb->fDsrSensitivity = s.dsrSensitivity;
    dcb->fTXContinueOnXoff = s.txContinueOnXoff;
    dcb->fOutX = s.outX;
    dcb->fInX = s.inX;
    dcb->fErrorChar = s.errorCharReplace;
    dcb->fNull = s.nullStrip;
    dcb->fRtsControl = s.rtsControl;
    dcb->fAbortOnError = s.abortOnError;
    dcb->XonLim = s.xonLim;
    dcb->XoffLim = s.xoffLim;
    dcb->ByteSize = s.byteSize;
    dcb->Parity = s.parity;
    dcb->StopBits = s.stopBits;
    dcb->XonChar = s.xonChar;
    dcb->XoffChar = s.xoffChar;
    dcb->ErrorChar = s.errorChar;
    dcb->EofChar = s.eofChar;
    dcb->EvtChar = s.evtChar;
}

void FromDcb(const DCB& dcb, CommState* s) {
    s->baudRate = dcb.BaudRate;
    s->binary = dcb.fBinary != 0;
    s->parityCheck = dcb.fParity != 0;
    s->outxCtsFlow = dcb.fOutxCtsFlow != 0;
    s->outxDsrFlow = dcb.fOutxDsrFlow != 0;
    s->dtrControl = static_cast<std::uint8_t>(dcb.fDtrControl);
    s->dsrSensitivity = dcb.fDsrSensitivity != 0;
    s->txContinueOnXoff = dcb.fTXContinueOnXoff != 0;
    s->outX = dcb.fOutX != 0;
    s->inX = dcb.fInX != 0;
    s->errorCharReplace = dcb.fErrorChar != 0;
    s->nullStrip = dcb.fNull != 0;
    s->rtsControl = static_cast<std::uint8_t>(dcb.fRtsControl);
    s->abortOnError = dcb.fAbortOnError != 0;
    s->xonLim = dcb.XonLim;
    s->xoffLim = dcb.XoffLim;
    s->byteSize = dcb.ByteSize;
    s->parity = dcb.Parity;
    s->stopBits = dcb.StopBits;
    s->xonChar = dcb.XonChar;
    s->xoffChar = dcb.XoffChar;
    s->errorChar = dcb.ErrorChar;
    s->eofChar = dcb.EofChar;
    s->evtChar = dcb.EvtChar;
}

class Win32SerialPlatform final : public SerialPlatform {
public:
    PortHandle OpenDevice(const char* name) override {
        char device[kWin32DeviceNameSize];
        if (!Win32DeviceName(name, device, sizeof device)) return InvalidPortHandle();
        return CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    bool CloseDevice(PortHandle port) override { return CloseHandle(port) != FALSE; }

    bool GetState(PortHandle port, CommState* state) override {
        DCB dcb {};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(port, &dcb)) return false;
        FromDcb(dcb, state);
        return true;
    }

    bool SetState(PortHandle port, const CommState& state) override {
        // SetCommState takes back the whole block: the fields this layer does
        // not model stay as this very port reports them now.
        DCB dcb {};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(port, &dcb)) return false;
        ToDcb(state, &dcb);
        return SetCommState(port, &dcb) != FALSE;
    }

    bool GetTimeouts(PortHandle port, CommTimeouts* timeouts) override {
        COMMTIMEOUTS t {};
        if (!GetCommTimeouts(port, &t)) return false;
        timeouts->readIntervalTimeout = t.ReadIntervalTimeout;
        timeouts->readTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
        timeouts->readTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
        timeouts->writeTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
        timeouts->writeTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
        return true;
    }

    bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) override {
        COMMTIMEOUTS t {};
        t.ReadIntervalTimeout = timeouts.readIntervalTimeout;
        t.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
        t.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
        t.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
        t.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
        return SetCommTimeouts(port, &t) != FALSE;
    }

    bool SetQueueSizes(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) override {
        return SetupComm(port, inQueue, outQueue) != FALSE;
    }

    bool ClearError(PortHandle port, std::uint32_t* bytesWaiting) override {
        DWORD errors = 0;
        COMSTAT status {};
        if (!ClearCommError(port, &errors, &status)) return false;
        *bytesWaiting = status.cbInQue;
        return true;
    }

    bool Read(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        DWORD done = 0;
        const BOOL ok = ReadFile(port, buffer, count, &done, nullptr);
        *got = done;
        return ok != FALSE;
    }

    bool Write(PortHandle port, const void* bytes, std::uint32_t count,
               std::uint32_t* written) override {
        DWORD done = 0;
        const BOOL ok = WriteFile(port, bytes, count, &done, nullptr);
        *written = done;
        return ok != FALSE;
    }

    // Windows's own RS-485 is RTS toggle: raised while sending, with no
    // delays around it; a delay asked for is refused rather than dropped.
    bool SetRs485(PortHandle port, const Rs485Settings& settings, int* errorNumber) override {
        if (settings.enabled && (settings.delayBeforeSendMs != 0 || settings.delayAfterSendMs != 0)) {
            *errorNumber = ENOTSUP;
            return false;
        }
        DCB dcb {};
        dcb.DCBlength = sizeof(DCB);
        if (!GetCommState(port, &dcb)) {
            *errorNumber = EIO;
            return false;
        }
        if (settings.enabled) {
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        } else if (dcb.fRtsControl == RTS_CONTROL_TOGGLE) {
            dcb.fRtsControl = RTS_CONTROL_ENABLE;
        }
        if (SetCommState(port, &dcb) != FALSE) return true;
        *errorNumber = EIO;
        return false;
    }

    void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

SerialPlatform& NativeSerialPlatform() {
    static Win32SerialPlatform platform;
    return platform;
}

}  // namespace kel
