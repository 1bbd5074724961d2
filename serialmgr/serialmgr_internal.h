// The serial manager's records, shared by its source files and reachable from
// the tests. Nothing outside serialmgr/ writes them.
//
// One opening of a device (from the open in a registration to the close in a
// deregistration) is one SerialMgrOpening: the device-layer handle, the three
// semaphores "SMgr_F", "SMgr_C" and "SMgr_W", the reader's life and its
// thread. The device record points to its current opening and shows its
// fields (devBufHandle, wait_sem, useSem, regSem, rxRunning) as the public
// view; a reader holds its own opening and touches nothing else, so the
// clean-up of an old reader can never reach a newer opening of the device.
//
// The synchronisation state of one device, who writes it, and what it keeps
// true:
//
// | state                     | written by                            | keeps true                                  |
// |---------------------------|---------------------------------------|---------------------------------------------|
// | regLock                   | registration, deregistration          | one opens, attaches or closes at a time     |
// | gate (closers + in flight)| the same (close/open/drain); calls    | no new call overtakes a registration or     |
// |                           | that use a record (enter/leave)       | deregistration; none is in flight at free   |
// | live-client table + claim | registration (add), deregistration    | a record is valid until it is freed, and    |
// |                           | (claim first, remove at the end)      | deregistered once                           |
// | exclusive hold: "SMgr_W" + | registration (attach), deregistration | no delivery or locked send while the        |
// | five units of "SMgr_C"    | (whole stop); shared: sends, reader   | current client changes                      |
// | flowLock                  | every flow-control call, attach,      | opening pointer, stopRx and client state    |
// |                           | detach, the reader's STOP check       | change in one order ("the last one wins")   |
// | pauseLock + ack pipe hold | USB pauses                            | one STOP/OK exchange on the pipes at a time;|
// |                           |                                       | no open's drain takes a waiting pause's OK  |
// | opening lock              | the opening's registrar, its reader,  | one party takes the handle and closes it;   |
// |                           | its deregistration                    | the view is written only for a live opening |
// | reader life word          | the reader, its deregistration        | signalled at most once, joined exactly once |
// | pause, ack, overridden and| pauses (pause, awaited), the reader   | a pause returns on the OK of its own park,  |
// | awaited epochs            | (ack), resumes (overridden)           | or of the resume that overrode it           |
// | delivering mark           | the reader, around its look and dataCb| no block reaches dataCb after a pause       |
// | "SMgr_F" (wait_sem)       | the reader holds it, resumes release  | a parked reader waits until a resume        |
// | pending flag + "SMgr_S"   | deregistration (set), handler (clear) | the device's shutdown function runs once    |
//
// Locks, in the order in which they are taken (a later one is never held
// while an earlier one is taken):
//   regLock > exclusive hold ("SMgr_W", then the units of "SMgr_C") > flowLock
//   pauseLock > the ack pipe's read lock (UsbAckPipeHold) > flowLock
//   flowLock, the opening's lock, the live-client table's lock and "SMgr_S"
//   are leaves, held only around a few loads and stores, never across a wait.
// Waits made while a lock is held, and why none of them can deadlock:
// - under regLock: the units of the exclusive hold (their holders, sends and
//   the reader's delivery, take no lock of the device meanwhile, and a send
//   that makes no progress gives up while the gate is closed); the reader's
//   publication of its identity (its first act, lock-free); the reader's
//   join (it ends once its device is closed and signalled; a registration or
//   deregistration from its own callback that finds regLock held by the
//   deregistration stopping it does not wait, lockRegistration); the device
//   layer's "SrlDev_S" in open and close.
// - under pauseLock and the ack pipe's hold: the reader's OK. The reader
//   sends that OK without any of these locks: when it parks, when it ends, or
//   when it reads a STOP after a resume; a resume that overrides the waiting
//   pause sends one after it has left flowLock. Also a pause's wait for a
//   delivery under way (SerialMgr_AwaitDelivery): dataCb may call flow
//   control, which from the reader takes only flowLock, never pauseLock. A
//   deregistration does not take pauseLock.
// - under nothing: the drain of calls in flight at the end of a
//   deregistration runs after regLock is released.
#pragma once

#include <pthread.h>

#include <atomic>
#include <memory>

#include "../drivers/usb_control_pipe_internal.h"
#include "../osal/at_assert.h"
#include "../osal/osal.h"
#include "reader_life.h"
#include "serialmgr.h"
#include "sync.h"

// Source file name given to __assert2 and dbHEAP by the serial manager.
inline constexpr char kSourceFile[] = "common/modem/at/stubs/serialmgr";
inline constexpr char kClientValidText[] = "pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE";

// Units of useSem: at most this many shared users at once.
constexpr int kUseUnits = 5;

// One opening of a device. Made by the registration that opens the device,
// shared by the device record (until the deregistration takes it) and by the
// reader thread (until it returns); freed by whichever lets go last.
struct SerialMgrOpening {
    SerialMgrOpening(UInt32 devID, Int32 handle, OSSemaphore waitSem, OSSemaphore useSem, OSSemaphore regSem);
    ~SerialMgrOpening();
    SerialMgrOpening(const SerialMgrOpening&) = delete;
    SerialMgrOpening& operator=(const SerialMgrOpening&) = delete;

    const UInt32 devID;
    // The semaphores of this opening. The reader destroys them at its end if
    // it entered its loop, else the deregistration does after the join.
    const OSSemaphore waitSem, useSem, regSem;

    AtMutex lock;
    Int32 handle GUARDED_BY(lock);  // -1 once a party took it to close it
    bool closed GUARDED_BY(lock) = false;     // taken by its deregistration: no longer the device's
    bool semsGone GUARDED_BY(lock) = false;   // the semaphores were destroyed

    std::atomic<UInt32> running{1};  // the reader loops while nonzero
    ReaderLife life;
    // A USB pause counts itself in pauseEpoch before it sets stopRx; the
    // reader acknowledges up to the count it saw (ackEpoch) with each OK. A
    // pause waits until its own count is acknowledged or overridden, so an OK
    // left over from an earlier park never ends it.
    std::atomic<UInt32> pauseEpoch{0};
    std::atomic<UInt32> ackEpoch{0};
    // The last count that a resume overrode while its STOP was unanswered.
    std::atomic<UInt32> overriddenEpoch{0};
    // The count of the pause that waits for an OK, until a resume answers it
    // (0: none). Only a waiting pause is answered, so that resumes leave no
    // OKs in the pipe for pauses nobody waits on (a pause from dataCb).
    std::atomic<UInt32> awaitedEpoch{0};
    // The reader is handing a block over (from its look at stopRx until
    // dataCb has returned); a pause from another thread waits for it.
    std::atomic<bool> delivering{false};
};

// One record per device ID. The fields of the public view that other threads
// read without a lock are atomic, so that each read and write is whole and a
// change is seen at the next read.
struct SerialMgrDevice {
    std::atomic<Int32> devBufHandle;                   // -1 while the manager has the device closed
    std::atomic<SerialMgrClientInfo*> currentClient;   // the device's one current client, or NULL
    std::atomic<OSTask> rxTask;                        // task handle of the reader; kept, not used again
    std::atomic<OSSemaphore> wait_sem;                 // "SMgr_F": the reader parks on it while paused
    std::atomic<UInt32> rxByteCount;                   // bytes delivered since the record was cleared
    std::atomic<UInt32> rxRunning;                     // 1 from the open until the deregistration
    std::atomic<UInt8> stopRx;                         // 1 while reception is paused
    // The identity of the current opening's reader once it passed its ready
    // check: the public record. The deregistration signals and joins the
    // identity kept in the opening it took (ReaderLife, published before the
    // ready check): this field may by then name a newer opening's reader.
    std::atomic<pthread_t> rxThread;
    std::atomic<OSSemaphore> useSem;                   // "SMgr_C", 5 units: use of currentClient
    std::atomic<OSSemaphore> regSem;                   // "SMgr_W", 1 unit: registration and deregistration
    std::atomic<UInt8> txReady;                        // SERIALMGR_SendData writes nothing while 0

    AtMutex regLock;
    AtMutex flowLock ACQUIRED_AFTER(regLock);
    AtMutex pauseLock ACQUIRED_BEFORE(flowLock);
    CallGate gate;
    std::shared_ptr<SerialMgrOpening> opening GUARDED_BY(flowLock);  // the current opening, or none
    std::atomic<SerialMgrOpening*> live{nullptr};  // opening.get(), for comparisons without the lock
    // A new reader takes its opening from here as its first act.
    std::atomic<std::shared_ptr<SerialMgrOpening>*> handoff{nullptr};
};

// One entry per device ID: the shutdown function run from the SIGUSR2 handler.
struct SerialMgrShutdownEntry {
    void (*handler)(UInt32 devID);
    std::atomic<UInt8> pending;
};

extern SerialMgrDevice (&gDevList)[SERIAL_DEVICE_MAX_DEVICE_NUM];
extern SerialMgrShutdownEntry gShutdownList[SERIAL_DEVICE_MAX_DEVICE_NUM];
extern std::atomic<OSSemaphore> gShutdownMutex;  // "SMgr_S": guards the pending flags

// Reader thread of one device (task "SerMgr"); argument: the device ID.
void SERIALMGR_RX_Entry(UInt32 devID);
// The process's SIGUSR2 handler.
void SERIALMGR_HandleSignal(int sig);

// Openings alive (made and not yet freed), for leak checks.
UInt32 SerialMgr_LiveOpenings();

// The opening whose reader the calling thread is, or NULL.
extern constinit thread_local SerialMgrOpening* tSerialMgrReader;
// Depth of library calls and callbacks the calling thread is inside.
extern constinit thread_local UInt32 tSerialMgrNesting;

// While one exists, the calling thread counts as inside a call or callback
// of the library (tSerialMgrNesting).
struct SerialMgrNested {
    SerialMgrNested() { ++tSerialMgrNesting; }
    ~SerialMgrNested() { --tSerialMgrNesting; }
    SerialMgrNested(const SerialMgrNested&) = delete;
    SerialMgrNested& operator=(const SerialMgrNested&) = delete;
};

// The device's current opening, or none.
std::shared_ptr<SerialMgrOpening> SerialMgr_CurrentOpening(SerialMgrDevice& dev) EXCLUDES(dev.flowLock);
// One unit of the opening's "SMgr_C", without a time limit; false (nothing
// taken) when a reader that ended on its own has destroyed it. The release
// gives it back unless it was destroyed meanwhile.
bool SerialMgr_ObtainUnit(SerialMgrOpening& opening) EXCLUDES(opening.lock);
void SerialMgr_ReleaseUnit(SerialMgrOpening& opening) EXCLUDES(opening.lock);

// Clears one device record: everything 0, devBufHandle -1.
void SerialMgr_ResetDevice(SerialMgrDevice& dev);

// Marks the device's shutdown pending under gShutdownMutex.
void SerialMgr_SetPending(UInt32 devID, UInt8 value);

// Live client records. A record is added when registration attaches it,
// claimed by the one deregistration that frees it, and removed when that
// marks it freed; validity is decided without reading a record that may
// already be freed. Find gives the record's device (false once claimed);
// IsLive is true until the record is removed.
void SerialMgr_AddClient(SerialMgrClientInfo* client);
bool SerialMgr_FindClient(const SerialMgrClientInfo* client, UInt32* devID);
bool SerialMgr_IsLive(const SerialMgrClientInfo* client);
bool SerialMgr_ClaimClient(const SerialMgrClientInfo* client, UInt32* devID);
void SerialMgr_RemoveClient(SerialMgrClientInfo* client);

// A public call that uses a client record (send, flow control): it passes the
// gate of the record's device and counts as in flight there until it ends,
// so the record is not freed under it. It waits while a registration or
// deregistration of the device is under way, except when it runs inside a
// callback or another call of the library (then it fails at once, as for a
// deregistered record) or on the device's own reader (then it goes ahead:
// that registration or deregistration waits for the reader anyway). valid()
// is false for a record that is not (or no longer) registered.
class SerialMgrClientCall {
   public:
    explicit SerialMgrClientCall(const SerialMgrClientInfo* client);
    ~SerialMgrClientCall();
    SerialMgrClientCall(const SerialMgrClientCall&) = delete;
    SerialMgrClientCall& operator=(const SerialMgrClientCall&) = delete;
    bool valid() const { return dev_ != nullptr; }
    bool onReader() const { return onReader_; }
    // Made inside another call or callback of the library.
    bool nested() const { return nested_; }
    UInt32 devID() const { return devID_; }
    SerialMgrDevice& dev() const { return *dev_; }

   private:
    SerialMgrDevice* dev_ = nullptr;
    UInt32 devID_ = 0;
    bool onReader_ = false;
    bool nested_ = false;
};

// The client record's layout is public (plain fields), yet state and sig are
// read by one thread while another changes them: every access in the library
// goes through these, whole and ordered.
inline UInt32 SerialMgr_LoadState(SerialMgrClientInfo* client) { return std::atomic_ref(client->state).load(); }
inline void SerialMgr_StoreState(SerialMgrClientInfo* client, UInt32 state) {
    std::atomic_ref(client->state).store(state);
}
inline void SerialMgr_StoreSig(SerialMgrClientInfo* client, UInt32 sig) { std::atomic_ref(client->sig).store(sig); }

// Flow control (serialmgr_flow.cpp).
// What a flow-control call must do once it has left flowLock.
struct SerialMgrFlowChange {
    UInt32 awaitEpoch = 0;  // a USB pause's count: wait for the reader's OK (SerialMgr_AwaitPark)
    bool answerPause = false;  // a resume overrode a waiting pause: answer it (SerialMgr_AnswerOverridden)
};
// The state change of a flow-control call: stopRx, the log line, the
// client's state, and on resume the release of a parked reader.
SerialMgrFlowChange SerialMgr_SetFlow(SerialMgrDevice& dev, SerialMgrClientInfo* client, UInt32 devID, UInt32 enable)
    REQUIRES(dev.flowLock);
// Every resume calls this after it left flowLock.
void SerialMgr_AnswerOverridden(const SerialMgrFlowChange& change);
// The STOP/OK exchange of a USB pause with the given count, on the ack pipe
// that the pause has held since before it counted itself.
void SerialMgr_AwaitPark(SerialMgrDevice& dev, const std::shared_ptr<SerialMgrOpening>& opening, UInt32 epoch,
                         const UsbAckPipeHold& ackHold) REQUIRES(dev.pauseLock);
// A pause from another thread, once stopRx is set: waits until a delivery
// that began before it has returned from dataCb.
void SerialMgr_AwaitDelivery(const SerialMgrOpening& opening);
// Reader side: the OK for every pause counted so far (parked, ended, or a
// pause that a later resume overrode).
void SerialMgr_AckPauses(SerialMgrDevice& dev, SerialMgrOpening& opening) EXCLUDES(dev.flowLock);
// Reader side, on a STOP result: sets stopRx and returns true when the reader
// must park; false for a USB STOP whose pause a resume has ended since (the
// reader then answers that pause if it still waits, and reads on).
bool SerialMgr_StopStillWanted(UInt32 devID, SerialMgrDevice& dev, SerialMgrOpening& opening)
    EXCLUDES(dev.flowLock);
// Reader side: parks while stopRx is set, then reopens the device for the
// opening (or stops when the client is gone).
enum class SerialMgrParkEnd {
    Stop,     // the client is gone: leave the loop
    NewPass,  // the device was reopened (or a stop came): start a new pass
};
SerialMgrParkEnd SerialMgr_Park(UInt32 devID, SerialMgrDevice& dev, SerialMgrOpening& opening);
