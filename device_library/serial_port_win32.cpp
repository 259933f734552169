// Win32 backend of the OS seam: the COM port through the kernel's serial communications calls.
#if defined(_WIN32)

#include "serial_port.h"

#include "device_table.h"
#include "k7340.h"

#include <cstdio>
#include <cstring>
#include <windows.h>

static HANDLE g_ports[K7340_MAX_DEVICES];     // port table; a failed open's value stays in place
static DCB g_portSettings[K7340_MAX_DEVICES]; // port settings table

// XON/XOFF flow control stays off (fOutX and fInX are zero): its thresholds and characters only
// fill their fields with the usual values, for a driver that reads them all the same.
enum { XON_LIMIT = 2048, XOFF_LIMIT = 512, XON_CHAR = 0x11, XOFF_CHAR = 0x13 };

static void FillPortSettings(DCB *dcb) {
    // Every field not set here stays zero, the length field included.
    memset(dcb, 0, sizeof *dcb);
    dcb->BaudRate = PORT_BAUD_RATE;
    dcb->fBinary = 1;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    dcb->XonLim = XON_LIMIT;
    dcb->XoffLim = XOFF_LIMIT;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->XonChar = XON_CHAR;
    dcb->XoffChar = XOFF_CHAR;
}

static int FailAndClose(HANDLE handle) {
    const int error = SystemErrorCode(GetLastError());
    CloseHandle(handle);
    return error;
}

int OpenPort(int index, int comPort) {
    DCB *dcb = &g_portSettings[index];
    FillPortSettings(dcb);
    // The device namespace reaches COM10 and above too; the plain name stops at COM9.
    char name[32];
    snprintf(name, sizeof name, "\\\\.\\COM%lld", static_cast<long long>(comPort) + 1);
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    g_ports[index] = handle;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? K7340_ERR_NO_PORT : SystemErrorCode(error);
    }
    if (!SetCommState(handle, dcb))
        return FailAndClose(handle);
    if (!SetCommMask(handle, EV_RXCHAR))
        return FailAndClose(handle);
    // A read returns what arrived within its time-out; a write's bound grows with its bytes.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = PORT_READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = PORT_WRITE_BYTE_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutConstant = PORT_WRITE_TIMEOUT_MS;
    SetCommTimeouts(handle, &timeouts); // its result is not examined: the open has succeeded
    return 0;
}

int PortRead(int index, unsigned char *buf, int *count) {
    DWORD received = 0;
    const BOOL ok =
        *count > 0 && ReadFile(g_ports[index], buf, static_cast<DWORD>(*count), &received, nullptr);
    *count = ok ? static_cast<int>(received) : 0;
    return ok && received > 0 ? K7340_OK : K7340_ERR_READ;
}

int PortWrite(int index, const unsigned char *buf, int count) {
    DWORD written = 0;
    const BOOL ok = WriteFile(g_ports[index], buf, static_cast<DWORD>(count), &written, nullptr);
    return ok && written == static_cast<DWORD>(count) ? K7340_OK : K7340_ERR_WRITE;
}

void PortPurgeInput(int index) {
    PurgeComm(g_ports[index], PURGE_RXCLEAR);
}

int PortClose(int index) {
    CloseHandle(g_ports[index]);
    return 0;
}

void Pause(unsigned milliseconds) {
    Sleep(milliseconds);
}

long long MonotonicMs() {
    return static_cast<long long>(GetTickCount64());
}

// The load entry only declines thread notifications; nothing happens on unload.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(instance);
    return TRUE;
}

#endif
