// The serial manager's records, shared by its source files and reachable from
// the tests. Nothing outside serialmgr/ writes them.
//
// Locks of one device, in the order in which they are taken:
//   regLock    whole registrations and deregistrations (open, reader start,
//              attach; detach, stop, join, event, free)
//   flowLock   whole flow-control calls, the USB STOP/OK handshake included
//   regSem     "SMgr_W", then useSem "SMgr_C" (five units; shared users take
//              one, registration and deregistration all five)
//   gShutdownMutex "SMgr_S", briefly, to mark a shutdown pending
// regLock and flowLock live as long as the process; the three semaphores live
// from the device's open to its reader's end.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "../osal/at_assert.h"
#include "../osal/osal.h"
#include "reader_life.h"
#include "serialmgr.h"

// Source file name given to __assert2 and dbHEAP by the serial manager.
inline constexpr char kSourceFile[] = "common/modem/at/stubs/serialmgr";

// Units of useSem: at most this many shared users at once.
constexpr int kUseUnits = 5;

// The regSem and useSem units held by a registration or deregistration.
// Guarded by the device's regLock, as only its holder takes them.
struct SerialMgrExclusive {
    OSSemaphore regSem;
    OSSemaphore useSem;
    int units;  // units of useSem still held
};

// One record per device ID. The fields that other threads read without a
// lock are atomic, so that each read and write is whole and a change is seen
// at the next read.
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

    ReaderLife rxLife;             // the current reader's life (reader_life.h)
    std::mutex regLock;            // see the lock order above
    std::mutex flowLock;
    SerialMgrExclusive held;       // what the regLock holder has taken
    // Registrations and deregistrations under way (waiting or running). While
    // nonzero, new sends and flow-control calls wait before they take a unit,
    // and a blocking send that wrote nothing gives up.
    std::atomic<UInt32> exclusive;
    // Public calls that use a client record of this device; the
    // deregistration frees its record only once this is 0.
    std::atomic<UInt32> inside;
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

// The device whose reader the calling thread is, or kSerialMgrNoDevice.
constexpr UInt32 kSerialMgrNoDevice = 0xFFFFFFFFu;
extern thread_local UInt32 tSerialMgrReaderDev;

// Clears one device record: everything 0, devBufHandle -1.
void SerialMgr_ResetDevice(SerialMgrDevice& dev);

// The device's exclusive lock, taken into dev.held: regSem, then all five
// units of useSem, each without a time limit. The release gives back only
// what still belongs to the same semaphores: a reader that ended meanwhile
// has destroyed them and cleared the fields, and then nothing is released.
void SerialMgr_ObtainExclusive(SerialMgrDevice& dev);
void SerialMgr_ReleaseExclusive(SerialMgrDevice& dev);

// Releases one unit of the semaphore in field if it still holds handle.
void SerialMgr_ReleaseIfCurrent(const std::atomic<OSSemaphore>& field, OSSemaphore handle);

// Marks the device's shutdown pending (or not) under gShutdownMutex.
void SerialMgr_SetPending(UInt32 devID, UInt8 value);

// Live client records. A record is added when registration attaches it and
// removed when deregistration marks it freed, so validity is decided without
// reading a record that may already be freed. Find gives the record's device.
void SerialMgr_AddClient(SerialMgrClientInfo* client);
void SerialMgr_RemoveClient(SerialMgrClientInfo* client);
bool SerialMgr_FindClient(const SerialMgrClientInfo* client, UInt32* devID);

// A registration or deregistration under way on the device: closes the gate
// for new sends at construction, opens it at destruction.
struct SerialMgrGate {
    explicit SerialMgrGate(SerialMgrDevice& d);
    ~SerialMgrGate();
    SerialMgrGate(const SerialMgrGate&) = delete;
    SerialMgrGate& operator=(const SerialMgrGate&) = delete;
    SerialMgrDevice& dev;
};

// A public call that uses a client record (send, flow control). It counts
// itself inside the record's device, so the record is not freed under it;
// unless it runs on the device's own reader thread it first waits while a
// registration or deregistration of the device is under way, so a waiting
// deregistration is never overtaken. valid() is false for a record that is
// not (or no longer) registered.
class SerialMgrClientCall {
   public:
    explicit SerialMgrClientCall(const SerialMgrClientInfo* client);
    ~SerialMgrClientCall();
    SerialMgrClientCall(const SerialMgrClientCall&) = delete;
    SerialMgrClientCall& operator=(const SerialMgrClientCall&) = delete;
    bool valid() const { return dev_ != nullptr; }
    bool onReader() const { return onReader_; }
    UInt32 devID() const { return devID_; }
    SerialMgrDevice& dev() const { return *dev_; }

   private:
    SerialMgrDevice* dev_ = nullptr;
    UInt32 devID_ = 0;
    bool onReader_ = false;
};

// The client record's layout is public (plain fields), yet state and sig are
// read by one thread while another changes them: every access in the library
// goes through these, whole and ordered.
inline UInt32 SerialMgr_LoadState(SerialMgrClientInfo* client) { return std::atomic_ref(client->state).load(); }
inline void SerialMgr_StoreState(SerialMgrClientInfo* client, UInt32 state) {
    std::atomic_ref(client->state).store(state);
}
inline void SerialMgr_StoreSig(SerialMgrClientInfo* client, UInt32 sig) { std::atomic_ref(client->sig).store(sig); }

// Flow control without the entry checks and locks: the caller holds the
// device's flowLock (or is its reader). handshake false skips the USB
// STOP/OK exchange.
void SerialMgr_SetFlow(SerialMgrClientInfo* client, UInt32 devID, UInt32 enable, bool handshake);
