/* Serial manager: clients register on a numbered serial device, receive its
 * bytes through their dataCb on the device's reader thread, send replies,
 * pause and resume reception, and deregister.
 *
 * Call SERIALMGR_Init once, before anything else. A client record returned by
 * SERIALMGR_RegisterClient is the client's handle until
 * SERIALMGR_DeRegisterClient returns.
 *
 * Threads: the exported functions may be called from any host thread. dataCb
 * and eventCb(SERIALMGR_EVENT_READ_ERROR) run on the device's reader thread;
 * eventCb(SERIALMGR_EVENT_DEREGISTERED) runs on the deregistering thread.
 * dataCb may call SERIALMGR_SendData and SERIALMGR_SetFlowControl; it must not
 * register or deregister on its own device. eventCb(SERIALMGR_EVENT_READ_ERROR)
 * may deregister its client and register again on the same device: the old
 * reader then ends when the callback returns and touches nothing of the new
 * opening.
 *
 * Calls from callbacks. A call made from inside a callback of the library
 * (dataCb, eventCb with either event, the host's send-data callback of the
 * in-process channels) never waits for a registration or deregistration:
 * when one is under way on the call's device, SERIALMGR_SendData fails as for
 * an invalid record (0, with its line) and SERIALMGR_SetFlowControl returns
 * FALSE. A send or flow-control call on the reader's own device from its
 * dataCb or eventCb goes ahead instead (whoever registers or deregisters
 * there waits for that callback anyway). So two devices whose callbacks send
 * to each other cannot deadlock when both are deregistered at once. A
 * registration or deregistration from eventCb(SERIALMGR_EVENT_READ_ERROR)
 * while another thread's deregistration is stopping that reader cannot wait
 * for it (it waits for this callback): the registration returns NULL, and
 * the deregistration only calls eventCb and frees its record (the other one
 * closes the device).
 *
 * Concurrent callers, per device:
 * - Registrations and deregistrations take turns: each runs whole (open,
 *   reader start, attach; detach, stop, join, event) before the next begins.
 *   Two first registrations both succeed, the later one replacing the
 *   earlier as current client.
 * - While a registration or deregistration waits or runs, new sends and
 *   flow-control calls on the device wait for it; sends already under way
 *   finish first. A call whose record was deregistered meanwhile fails as for
 *   an invalid record.
 * - Flow-control calls take turns, and the last one wins, also when it comes
 *   from dataCb: when a pause returns, the reader reads no more until a
 *   resume; when a resume returns, the reader reads on. A USB pause whose
 *   STOP a later resume overtakes returns too (the resume won).
 * - A record is deregistered once. A second deregistration of the same
 *   record, concurrent or later, stops the process on the record check; so
 *   does a send whose own record was deregistered while it waited for the
 *   device. No call ever reads a freed record. */
#ifndef SERIALMGR_H
#define SERIALMGR_H

#include <stddef.h>

#include "../osal/at_export.h"
#include "../osal/kova_types.h"
#include "../serialapi/serialapi.h"

AT_EXTERN_C_BEGIN

#define SERIALMGR_CLIENT_SIG 0xBABEFACEu
#define SERIALMGR_FREED_SIG 0xCCCCCCCCu
#define SERIALMGR_EVENT_READ_ERROR 11u
#define SERIALMGR_EVENT_DEREGISTERED 14u
#define SERIALMGR_RX_BUFFER_SIZE 1536u

struct SerialMgrClientInfo;

/* Receive callback: one block of 1 to 1536 bytes, valid only during the call. */
typedef void (*SerialMgrDataCb)(struct SerialMgrClientInfo* client, UInt32 userData, UInt8* data, UInt32 length);
/* Event callback: SERIALMGR_EVENT_READ_ERROR or SERIALMGR_EVENT_DEREGISTERED; zero is always 0. */
typedef void (*SerialMgrEventCb)(struct SerialMgrClientInfo* client, UInt32 userData, UInt32 event, UInt32 zero);

/* Registration record: eight 32-bit slots on a 32-bit target. */
typedef struct SerialMgrClientParams {
    SerialMgrDataCb dataCb;   /* must not be NULL */
    SerialMgrEventCb eventCb; /* must not be NULL */
    UInt32 spare;             /* copied, never read */
    UInt32 userData;          /* handed back to both callbacks */
    Int32 clientID;           /* 1 marks the AT client */
    UInt8 useDefaultDevice;   /* nonzero: register on device 0 whatever devID says */
    UInt32 devID;             /* device to register on */
    UInt32 openParam;         /* for Serial_OpenDevice; 0 = the device's default */
} SerialMgrClientParams;

/* Client record, the client's handle. */
typedef struct SerialMgrClientInfo {
    UInt32 sig;          /* SERIALMGR_CLIENT_SIG while valid */
    UInt32 devID;        /* device registered on */
    UInt32 state;        /* 1 sending allowed, 2 flow control on, 0 deregistered */
    UInt32 reserved1;
    UInt32 reserved2;
    UInt8 skipSendLock;  /* nonzero: SERIALMGR_SendData takes no unit of the device's lock */
    SerialMgrClientParams params;
} SerialMgrClientInfo;

/* Both records are ABI: clients built elsewhere fill and read them at fixed
 * offsets, and a moved field would corrupt every registration silently. On a
 * 32-bit target the registration record is eight 32-bit slots, field n at
 * byte 4n; on a 64-bit one the two callbacks take a pointer's size each. */
#define SERIALMGR_CB_BYTES sizeof(SerialMgrDataCb)
AT_STATIC_ASSERT(offsetof(SerialMgrClientParams, dataCb) == 0 &&
                     offsetof(SerialMgrClientParams, eventCb) == SERIALMGR_CB_BYTES &&
                     offsetof(SerialMgrClientParams, spare) == 2 * SERIALMGR_CB_BYTES &&
                     offsetof(SerialMgrClientParams, userData) == 2 * SERIALMGR_CB_BYTES + 4 &&
                     offsetof(SerialMgrClientParams, clientID) == 2 * SERIALMGR_CB_BYTES + 8 &&
                     offsetof(SerialMgrClientParams, useDefaultDevice) == 2 * SERIALMGR_CB_BYTES + 12 &&
                     offsetof(SerialMgrClientParams, devID) == 2 * SERIALMGR_CB_BYTES + 16 &&
                     offsetof(SerialMgrClientParams, openParam) == 2 * SERIALMGR_CB_BYTES + 20 &&
                     sizeof(SerialMgrClientParams) == 2 * SERIALMGR_CB_BYTES + 24,
                 "SerialMgrClientParams: two callbacks, then six 32-bit slots (32 bytes on a 32-bit target)");
AT_STATIC_ASSERT(offsetof(SerialMgrClientInfo, sig) == 0 && offsetof(SerialMgrClientInfo, devID) == 4 &&
                     offsetof(SerialMgrClientInfo, state) == 8 && offsetof(SerialMgrClientInfo, reserved1) == 12 &&
                     offsetof(SerialMgrClientInfo, reserved2) == 16 &&
                     offsetof(SerialMgrClientInfo, skipSendLock) == 20 &&
                     offsetof(SerialMgrClientInfo, params) == 24 &&
                     sizeof(SerialMgrClientInfo) == 24 + sizeof(SerialMgrClientParams),
                 "SerialMgrClientInfo: six 32-bit words, then the registration record");
#undef SERIALMGR_CB_BYTES

/* Brings the library into service. Returns TRUE. */
AT_EXPORT Boolean SERIALMGR_Init(void);

/* Registers a client; opens the device and starts its reader on the first
 * registration. Returns the client record, or NULL with an error line: an
 * invalid device ID, a device that failed to open, a client record that
 * cannot be allocated, a semaphore that cannot be created, or a reader
 * thread that cannot be started. On every failure the device is left exactly
 * as it was: nothing opened, no semaphore or thread left behind. A
 * registration on an open device replaces its current client; the older
 * record stays valid until deregistered. */
AT_EXPORT SerialMgrClientInfo* SERIALMGR_RegisterClient(const SerialMgrClientParams* params);

/* Sends len (< 0xFFFF) bytes, once (block 0) or until all are written (block
 * nonzero). Returns the bytes sent: 0 while flow control is on, after the
 * device was shut down, or for an invalid client record. A blocking send
 * retries every 6 ticks; it gives up, returning what was written, when the
 * device is shut down or closed, when a write fails, or when a write takes
 * nothing while a registration or deregistration of the device waits. len
 * 0xFFFF or more stops the process. May be called from dataCb. */
AT_EXPORT Int32 SERIALMGR_SendData(SerialMgrClientInfo* client, const UInt8* buf, UInt32 len, UInt32 block);

/* enable nonzero pauses reception, 0 resumes it. On the USB device a pause
 * returns once the reader has stopped reading (it acknowledged the STOP, or
 * it ended), or once a resume from another thread has overridden it; a pause
 * of a device that is already paused, or that has no running reader, does
 * not wait, and neither does a pause from dataCb (the reader parks when
 * dataCb returns). FALSE for an invalid record. */
AT_EXPORT Boolean SERIALMGR_SetFlowControl(SerialMgrClientInfo* client, UInt32 enable);

/* Stops the device's reader and closes the device, calls eventCb with
 * SERIALMGR_EVENT_DEREGISTERED and frees the record. Returns TRUE. */
AT_EXPORT Boolean SERIALMGR_DeRegisterClient(SerialMgrClientInfo* client);

/* Accessors; no lock taken. */
AT_EXPORT UInt32 SERIALMGR_GetDeviceID(SerialMgrClientInfo* client);
AT_EXPORT SerialMgrClientInfo* SERIALMGR_GetCurrentATSerialMgrHandle(void);
AT_EXPORT Int32 SERIALMGR_GetSerialDeviceHandle(SerialMgrClientInfo* client);
AT_EXPORT UInt32 SERIALMGR_GetDefaultATDevice(void);

AT_EXTERN_C_END

#endif /* SERIALMGR_H */
