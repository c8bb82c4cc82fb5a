/*
 * kelwnsrp.h - the boundary of the KELWNSRP serial driver for JW programmable
 * controllers (ASCII computer link).
 *
 * A host loads the driver (KELWNSRP.dll on Windows, libkelwnsrp.so on Linux)
 * and calls its one entry point, KelMain, with a KelRequest whose command code
 * selects the operation and whose block points at that command's parameter
 * block. Every record below is owned by the host and only borrowed by the
 * driver for the duration of one call; DriverState persists between calls.
 *
 * Layout rule, so that hosts in any language can mirror the records:
 *   - 32-bit builds (the 32-bit Windows DLL): the layout is fixed byte for
 *     byte, little-endian, 4-byte pointers; the static asserts at the end of
 *     this header prove every offset and size.
 *   - 64-bit builds (the 64-bit Windows DLL, LLP64, and the Linux library,
 *     LP64, alike: no field is a long): the same fields in the same order
 *     with the same widths; pointer fields are native (8 bytes); every field
 *     is naturally aligned (as a C compiler lays out the structs below
 *     without packing pragmas); the gaps that belong to the host are
 *     unsigned 32-bit fields (the 8-byte gap of KelRequest is two of them).
 *     The asserts prove these offsets too.
 *
 * Calling convention: KelMain uses the C calling convention (cdecl) on every
 * platform and is exported undecorated. No exception or errno crosses it: the
 * result is always an integer, 0 for success.
 *
 * Calls must not overlap, not even for different DriverStates: the driver
 * keeps a few process-wide working areas and takes no locks.
 */
#ifndef KELWNSRP_H
#define KELWNSRP_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define KEL_CALL __cdecl
#if defined(KELWNSRP_BUILDING)
#define KEL_API __declspec(dllexport)
#else
#define KEL_API __declspec(dllimport)
#endif
#else
#define KEL_CALL
#define KEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Command codes of KelRequest.command. 0, 8 and 9 have no handler. */
enum KelCommand {
    KEL_CMD_OPEN = 1,           /* block: OpenRequest */
    KEL_CMD_WARM_START = 2,     /* no block */
    KEL_CMD_CHECK_GATE = 3,     /* block: GateCheckRequest */
    KEL_CMD_CHECK_BLOCK = 4,    /* block: GateCheckRequest */
    KEL_CMD_READ_GATE_ALT = 5,  /* same handler as KEL_CMD_READ_GATE */
    KEL_CMD_READ_GATE = 6,      /* block: GateRequest */
    KEL_CMD_WRITE_MARKED = 7,   /* block: GateRequest */
    KEL_CMD_WRITE_GATE = 10,    /* block: GateRequest */
    KEL_CMD_CLOSE_ALT = 11,     /* same handler as KEL_CMD_CLOSE */
    KEL_CMD_CLOSE = 12,         /* no block */
    KEL_CMD_REOPEN = 13,        /* no block */
    KEL_CMD_DRIVER_INFO = 14,   /* block: DriverInfo */
    KEL_CMD_CHANGE_PORT = 15    /* block: ChangePortRequest */
};

/* Number of entries of the command table (codes 0 to 15). */
#define KEL_COMMAND_COUNT 16

/* Results of KelMain. Hosts treat every value but 0 as a failure. */
#define KEL_OK 0
#define KEL_REFUSED 1          /* address refused, reply not matching, write refused */
#define KEL_LINE_FAILURE 2     /* port could not be opened/closed, exchange failed */
#define KEL_NO_SUCH_COMMAND (-1) /* command code without a handler: nothing was done */

/* Host logging levels passed to the host's err(level, format, ...). */
#define KEL_LOG_LEVEL_INFO 32
#define KEL_LOG_LEVEL_WRITE_REPLY 8

/* Baud, data bits, stop-bits code (0 one, 1 one and a half, 2 two), parity
 * code (0 none, 1 odd, 2 even, 3 mark, 4 space). */
typedef struct LineSettings {
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} LineSettings;

#define KEL_PORT_NAME_SIZE 12 /* NUL included: at most 11 characters */

typedef struct PortSettings {
    char portName[KEL_PORT_NAME_SIZE];
    LineSettings line;
    uint16_t handshakeFlags; /* DTR/RTS control bits; open stores 8 */
    uint16_t unused;
} PortSettings;

typedef struct DriverState {
    uint32_t LinkTimeout;     /* read timeout in units of 10 ms */
    void *portHandle;         /* null while the port is closed */
    uint32_t portOpen;        /* enable flag of the last open; reopen sets 1 */
    PortSettings portSettings;
    int32_t WriteEnablePending;
} DriverState;

typedef struct KelRequest {
    DriverState *state;
    int32_t command;
    uint32_t hostReserved0; /* never read or written by the driver */
    uint32_t hostReserved1;
    void *block;
} KelRequest;

/* Block of KEL_CMD_OPEN. enable 0 only records that the instance is unused. */
typedef struct OpenRequest {
    char portName[KEL_PORT_NAME_SIZE];
    uint32_t enable;
    uint32_t LinkTimeout;
    LineSettings line;
} OpenRequest;

/* Block of KEL_CMD_CHANGE_PORT. LinkTimeout 0 keeps the current timeout;
 * line.baudRate 0 keeps all four current line settings. */
typedef struct ChangePortRequest {
    char portName[KEL_PORT_NAME_SIZE];
    uint32_t LinkTimeout;
    LineSettings line;
} ChangePortRequest;

/* Block of KEL_CMD_DRIVER_INFO, filled with constants. The four hostValue
 * fields (70, 40, 4, 3) are fixed and interpreted by the host. The two text
 * pointers stay valid while the library is loaded; never free or change them. */
typedef struct DriverInfo {
    uint32_t hostValue1;
    const char *name;
    const char *banner;
    uint32_t hostValue2;
    uint32_t hostValue3;
    LineSettings defaultLine;
    uint32_t hostValue4;
} DriverInfo;

/* Controller memory areas a gate address can select (value 2 is never
 * produced). */
enum AreaKind {
    AreaR = 0,   /* relays, R0xxxx / R1xxxx */
    AreaRT = 1,  /* relays RTxxxx */
    AreaT = 3,   /* timer and counter current values */
    AreaMA = 4,  /* registers MA */
    AreaMB = 5,  /* registers MB */
    AreaM09 = 6, /* file registers 09xxx */
    AreaM19 = 7,
    AreaM29 = 8,
    AreaM39 = 9
};
typedef enum AreaKind AreaKind;

/* A checked gate address, kept by the host and passed back with every read
 * and write of the gate. */
typedef struct GateAddress {
    int32_t station;   /* 0 to 63 */
    int32_t areaKind;  /* an AreaKind */
    int32_t address;   /* item number within the area */
    int32_t marker;    /* 255 once the check passed its letter and length tests */
    int32_t widthBits; /* 8, 16, 32, or 0 */
} GateAddress;

/* Value types of a gate (gate type of GateCheckRequest, value type of reads
 * and writes). */
#define KEL_VALUE_ANALOG16 0
#define KEL_VALUE_ANALOG16_ALT 1
#define KEL_VALUE_NONE 2
#define KEL_VALUE_FLOAT 3
#define KEL_VALUE_ANALOG32 4
#define KEL_VALUE_ANALOG32_ALT 5
#define KEL_VALUE_DIGITAL 6

/* Block of KEL_CMD_CHECK_GATE and KEL_CMD_CHECK_BLOCK. */
typedef struct GateCheckRequest {
    const char *gas;        /* NUL-terminated gate address string */
    uint32_t hostReserved;  /* never read or written by the driver */
    uint32_t gateType;      /* value type of the gate (the block check takes only the width from it) */
    uint16_t count;         /* items of a block (read by the block check only) */
    uint16_t unused;
    GateAddress address;    /* written by the check */
} GateCheckRequest;

/* Block of the read and write commands (5, 6, 7, 10). The value cell holds
 * 4 bytes, little-endian: value types 3, 4 and 5 use all four; 0, 1 and 6
 * use bytes 2 and 3 (a read leaves bytes 0 and 1 alone). */
typedef struct GateRequest {
    const char *gas;         /* the gate's address string; names it in messages */
    uint32_t hostReserved0;  /* never read or written by the driver */
    GateAddress address;     /* as the gate check filled it */
    uint32_t valueType;      /* KEL_VALUE_* */
    int32_t count;           /* items; command 7 sets it to 1 */
    uint32_t hostReserved1;  /* never read or written by the driver */
    void *value;             /* the host's value cell */
} GateRequest;

/* The driver's one entry point. Returns the handler's result unchanged, or
 * KEL_NO_SUCH_COMMAND for codes 0, 8, 9 and those outside 1 to 15. */
KEL_API int32_t KEL_CALL KelMain(KelRequest *request);

/* ---- optional trace of the line -------------------------------------------
 * A diagnostic host may watch the frames on the line. Once a trace function
 * is installed, the driver calls it, on the thread of the KelMain call, with
 * every request frame it wrote (direction KEL_TRACE_SENT) and every reply it
 * read (KEL_TRACE_RECEIVED: a whole frame, or the bytes that came before the
 * reply failed), the bytes exactly as on the line, not NUL-terminated and
 * valid during the call only. Null removes it. Without one, nothing in the
 * driver's behaviour, results or messages differs. Like KelMain, it must not
 * be called while another call into the driver runs. */
#define KEL_TRACE_SENT 0
#define KEL_TRACE_RECEIVED 1
typedef void (KEL_CALL *KelTraceFunction)(void *context, int32_t direction, const char *bytes, int32_t count);
KEL_API void KEL_CALL KelSetTrace(KelTraceFunction function, void *context);

/* ---- layout checks -------------------------------------------------------- */
#if defined(__cplusplus)
#define KEL_LAYOUT_ASSERT(cond) static_assert(cond, #cond)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define KEL_LAYOUT_ASSERT(cond) _Static_assert(cond, #cond)
#else
#define KEL_LAYOUT_ASSERT_JOIN2(a, b) a##b
#define KEL_LAYOUT_ASSERT_JOIN(a, b) KEL_LAYOUT_ASSERT_JOIN2(a, b)
#define KEL_LAYOUT_ASSERT(cond) \
    typedef char KEL_LAYOUT_ASSERT_JOIN(kel_layout_assert_, __LINE__)[(cond) ? 1 : -1]
#endif

KEL_LAYOUT_ASSERT(sizeof(LineSettings) == 8);
KEL_LAYOUT_ASSERT(offsetof(LineSettings, baudRate) == 0);
KEL_LAYOUT_ASSERT(offsetof(LineSettings, dataBits) == 2);
KEL_LAYOUT_ASSERT(offsetof(LineSettings, stopBits) == 4);
KEL_LAYOUT_ASSERT(offsetof(LineSettings, parity) == 6);
KEL_LAYOUT_ASSERT(sizeof(PortSettings) == 24);
KEL_LAYOUT_ASSERT(offsetof(PortSettings, portName) == 0);
KEL_LAYOUT_ASSERT(offsetof(PortSettings, line) == 12);
KEL_LAYOUT_ASSERT(offsetof(PortSettings, handshakeFlags) == 20);
KEL_LAYOUT_ASSERT(offsetof(PortSettings, unused) == 22);
KEL_LAYOUT_ASSERT(sizeof(OpenRequest) == 28);
KEL_LAYOUT_ASSERT(offsetof(OpenRequest, enable) == 12);
KEL_LAYOUT_ASSERT(offsetof(OpenRequest, LinkTimeout) == 16);
KEL_LAYOUT_ASSERT(offsetof(OpenRequest, line) == 20);
KEL_LAYOUT_ASSERT(sizeof(ChangePortRequest) == 24);
KEL_LAYOUT_ASSERT(sizeof(AreaKind) == 4);
KEL_LAYOUT_ASSERT(sizeof(GateAddress) == 20);
KEL_LAYOUT_ASSERT(offsetof(GateAddress, station) == 0);
KEL_LAYOUT_ASSERT(offsetof(GateAddress, areaKind) == 4);
KEL_LAYOUT_ASSERT(offsetof(GateAddress, address) == 8);
KEL_LAYOUT_ASSERT(offsetof(GateAddress, marker) == 12);
KEL_LAYOUT_ASSERT(offsetof(GateAddress, widthBits) == 16);
KEL_LAYOUT_ASSERT(offsetof(ChangePortRequest, LinkTimeout) == 12);
KEL_LAYOUT_ASSERT(offsetof(ChangePortRequest, line) == 16);

#if UINTPTR_MAX == 0xFFFFFFFFu
/* 32-bit: the host's byte-for-byte tables. */
KEL_LAYOUT_ASSERT(sizeof(KelRequest) == 20);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, state) == 0);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, command) == 4);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, hostReserved0) == 8);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, hostReserved1) == 12);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, block) == 16);
KEL_LAYOUT_ASSERT(sizeof(DriverState) == 40);
KEL_LAYOUT_ASSERT(offsetof(DriverState, LinkTimeout) == 0);
KEL_LAYOUT_ASSERT(offsetof(DriverState, portHandle) == 4);
KEL_LAYOUT_ASSERT(offsetof(DriverState, portOpen) == 8);
KEL_LAYOUT_ASSERT(offsetof(DriverState, portSettings) == 12);
KEL_LAYOUT_ASSERT(offsetof(DriverState, WriteEnablePending) == 36);
KEL_LAYOUT_ASSERT(sizeof(DriverInfo) == 32);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, hostValue1) == 0);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, name) == 4);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, banner) == 8);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, hostValue2) == 12);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, hostValue3) == 16);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, defaultLine) == 20);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, hostValue4) == 28);
KEL_LAYOUT_ASSERT(sizeof(GateCheckRequest) == 36);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, gas) == 0);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, hostReserved) == 4);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, gateType) == 8);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, count) == 12);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, unused) == 14);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, address) == 16);
KEL_LAYOUT_ASSERT(sizeof(GateRequest) == 44);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, gas) == 0);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, hostReserved0) == 4);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, address) == 8);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, valueType) == 28);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, count) == 32);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, hostReserved1) == 36);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, value) == 40);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
/* 64-bit (Windows x64 and Linux alike): same fields, native pointers,
 * natural alignment. */
KEL_LAYOUT_ASSERT(sizeof(KelRequest) == 32);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, command) == 8);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, hostReserved0) == 12);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, hostReserved1) == 16);
KEL_LAYOUT_ASSERT(offsetof(KelRequest, block) == 24);
KEL_LAYOUT_ASSERT(sizeof(DriverState) == 48);
KEL_LAYOUT_ASSERT(offsetof(DriverState, portHandle) == 8);
KEL_LAYOUT_ASSERT(offsetof(DriverState, portOpen) == 16);
KEL_LAYOUT_ASSERT(offsetof(DriverState, portSettings) == 20);
KEL_LAYOUT_ASSERT(offsetof(DriverState, WriteEnablePending) == 44);
KEL_LAYOUT_ASSERT(sizeof(DriverInfo) == 48);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, name) == 8);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, banner) == 16);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, hostValue2) == 24);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, hostValue3) == 28);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, defaultLine) == 32);
KEL_LAYOUT_ASSERT(offsetof(DriverInfo, hostValue4) == 40);
KEL_LAYOUT_ASSERT(sizeof(GateCheckRequest) == 40);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, hostReserved) == 8);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, gateType) == 12);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, count) == 16);
KEL_LAYOUT_ASSERT(offsetof(GateCheckRequest, address) == 20);
KEL_LAYOUT_ASSERT(sizeof(GateRequest) == 56);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, hostReserved0) == 8);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, address) == 12);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, valueType) == 32);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, count) == 36);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, hostReserved1) == 40);
KEL_LAYOUT_ASSERT(offsetof(GateRequest, value) == 48);
#else
#error "KELWNSRP records are defined for 32-bit and 64-bit pointers only"
#endif

#ifdef __cplusplus
}
#endif

#endif /* KELWNSRP_H */
