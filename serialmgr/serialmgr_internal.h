// The serial manager's records, shared by its source files and reachable from
// the tests. Nothing outside serialmgr/ writes them.
#pragma once

#include <pthread.h>

#include <atomic>

#include "../osal/at_assert.h"
#include "../osal/osal.h"
#include "serialmgr.h"

// Source file name given to __assert2 and dbHEAP by the serial manager.
inline constexpr char kSourceFile[] = "common/modem/at/stubs/serialmgr";

// Bookkeeping of a device's reader thread, kept beside the record's rxThread.
// rxThread is written only by a reader that passed its ready check and keeps
// the identity of a reader that has ended (even after it was joined), so it
// cannot tell whether a thread is still there to be joined. rxLife can:
enum SerialMgrRxLife : UInt32 {
    kRxLifeNone = 0,     // no reader thread is waiting to be joined
    kRxLifeCreated = 1,  // OSTASK_CreateWArg was called; the reader has not published its identity yet
    kRxLifeJoinable = 2  // rxJoinThread names a thread that nobody has joined yet
};

// One record per device ID. The fields that other threads read without a
// lock (handles, flags, the current client, the thread identity) are atomic,
// so that each read and write is whole and a change is seen at the next read.
struct SerialMgrDevice {
    std::atomic<Int32> devBufHandle;                   // -1 while the manager has the device closed
    std::atomic<SerialMgrClientInfo*> currentClient;   // the device's one current client, or NULL
    std::atomic<OSTask> rxTask;                        // task handle of the reader; kept, not used again
    std::atomic<OSSemaphore> wait_sem;                 // "SMgr_F": the reader parks on it while paused
    std::atomic<UInt32> rxByteCount;                   // bytes delivered since the record was cleared
    std::atomic<UInt32> rxRunning;                     // the reader loops while nonzero
    std::atomic<UInt8> stopRx;                         // 1 while reception is paused
    std::atomic<pthread_t> rxThread;                   // reader identity; 0 until a reader passed its ready check
    std::atomic<OSSemaphore> useSem;                   // "SMgr_C", 5 units: use of currentClient
    std::atomic<OSSemaphore> regSem;                   // "SMgr_W", 1 unit: registration and deregistration
    std::atomic<UInt8> txReady;                        // SERIALMGR_SendData writes nothing while 0

    // Added to the record for the reader's lifetime; see SerialMgrRxLife.
    std::atomic<UInt32> rxLife;
    std::atomic<pthread_t> rxJoinThread;  // the current reader's identity, published before its ready check
    std::atomic<UInt8> rxInLoop;          // 1 once the current reader passed its ready check
    std::atomic<UInt8> rxEnded;           // 1 once the current reader finished its clean-up
    std::atomic<UInt32> deregWaiting;     // deregistrations waiting for the device's lock
};

// One entry per device ID: the shutdown function run from the SIGUSR2 handler.
struct SerialMgrShutdownEntry {
    void (*handler)(UInt32 devID);
    std::atomic<UInt8> pending;
};

extern SerialMgrDevice gDevList[SERIAL_DEVICE_MAX_DEVICE_NUM];
extern SerialMgrShutdownEntry gShutdownList[SERIAL_DEVICE_MAX_DEVICE_NUM];
extern std::atomic<OSSemaphore> gShutdownMutex;  // "SMgr_S": guards the pending flags

// Reader thread of one device (task "SerMgr"); argument: the device ID.
void SERIALMGR_RX_Entry(UInt32 devID);
// The process's SIGUSR2 handler.
void SERIALMGR_HandleSignal(int sig);
// Stops the device's reader and closes the device (part of deregistration).
void SERIALMGR_RX_Shutdown(UInt32 devID);

// The device whose block the calling thread is delivering to dataCb, or
// kSerialMgrNoDelivery. Set by the reader around dataCb, while it holds one
// unit of that device's useSem.
constexpr UInt32 kSerialMgrNoDelivery = 0xFFFFFFFFu;
extern thread_local UInt32 tSerialMgrDeliveringDev;

// Clears one device record: everything 0, devBufHandle -1.
void SerialMgr_ResetDevice(SerialMgrDevice& dev);

// Joins the device's reader if one is still waiting to be joined; a reader
// that was just created is waited for until it has published its identity.
// Exactly one caller joins a given thread. If the reader is the calling
// thread (a client deregistering from its own eventCb), it is detached
// instead. Returns true when a thread was joined or detached.
// Blocks while the device's reader has been created but has not published
// its identity; the reader wakes it right after it does.
void SerialMgr_WaitReaderStart(SerialMgrDevice& dev);
void SerialMgr_WakeReaderStartWaiters(SerialMgrDevice& dev);
bool SerialMgr_ReapReader(SerialMgrDevice& dev);

// The device's exclusive lock: regSem, then all five units of useSem, each
// without a time limit. The handles obtained are remembered, so that the
// release gives back only what belongs to the same semaphores: a reader that
// ended meanwhile has destroyed them and cleared the fields (then nothing is
// released), and a later registration may have created new ones.
struct SerialMgrExclusive {
    OSSemaphore regSem;
    OSSemaphore useSem;
};
SerialMgrExclusive SerialMgr_ObtainExclusive(SerialMgrDevice& dev);
void SerialMgr_ReleaseExclusive(SerialMgrDevice& dev, const SerialMgrExclusive& held);

// Releases one unit of the semaphore in field if it still holds handle.
void SerialMgr_ReleaseIfCurrent(const std::atomic<OSSemaphore>& field, OSSemaphore handle);

// The client record's layout is public (plain fields), yet state and sig are
// read by one thread while another changes them: every access in the library
// goes through these, whole and ordered.
inline UInt32 SerialMgr_LoadState(const SerialMgrClientInfo* client) {
    return __atomic_load_n(&client->state, __ATOMIC_SEQ_CST);
}
inline void SerialMgr_StoreState(SerialMgrClientInfo* client, UInt32 state) {
    __atomic_store_n(&client->state, state, __ATOMIC_SEQ_CST);
}
inline UInt32 SerialMgr_LoadSig(const SerialMgrClientInfo* client) {
    return __atomic_load_n(&client->sig, __ATOMIC_SEQ_CST);
}
inline void SerialMgr_StoreSig(SerialMgrClientInfo* client, UInt32 sig) {
    __atomic_store_n(&client->sig, sig, __ATOMIC_SEQ_CST);
}
