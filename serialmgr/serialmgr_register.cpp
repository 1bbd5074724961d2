// Client registration and deregistration, and the stop of a device's reader.
#include <sched.h>
#include <signal.h>
#include <string.h>

#include <chrono>

#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "reader_signal.h"
#include "serialmgr_internal.h"

namespace {

// The device's exclusive lock: "SMgr_W", then all five units of "SMgr_C", of
// one opening, each without a time limit. The release gives back only what
// still exists: a reader that ended meanwhile has destroyed the semaphores.
class CAPABILITY("exclusive hold") ExclusiveHold {
   public:
    void obtain(std::shared_ptr<SerialMgrOpening> opening) ACQUIRE() {
        opening_ = std::move(opening);
        if (opening_ == nullptr) return;  // the null device, or no opening: handles of 0 name nothing
        {
            // A reader that ended on its own has destroyed them: nothing to take.
            AtLock guard(opening_->lock);
            if (opening_->semsGone) return;
        }
        OSSEMAPHORE_Obtain(opening_->regSem, OSSUSPEND_WAIT);
        // @model:hold-obtain
        for (units_ = 0; units_ < kUseUnits; ++units_) OSSEMAPHORE_Obtain(opening_->useSem, OSSUSPEND_WAIT);
    }
    // A reader that has read a block waits for a unit while the deregistration
    // holds all five until after the join: the deregistration lends it one
    // once rxRunning and txReady are 0. Whoever takes it (the reader, or a
    // send that was already waiting) finds no client or nothing to write and
    // gives it back at once.
    void lendOne() REQUIRES(this) {
        if (opening_ == nullptr || units_ != kUseUnits) return;
        AtLock guard(opening_->lock);
        if (opening_->semsGone) return;
        OSSEMAPHORE_Release(opening_->useSem);
        --units_;
    }
    void release() RELEASE() {
        if (opening_ == nullptr) return;
        AtLock guard(opening_->lock);
        if (opening_->semsGone) return;
        for (; units_ > 0; --units_) OSSEMAPHORE_Release(opening_->useSem);
        OSSEMAPHORE_Release(opening_->regSem);
    }

   private:
    std::shared_ptr<SerialMgrOpening> opening_;
    int units_ = 0;
};

OSSemaphore createNamed(OSSemaphore sem, const char* name) {
    OSSEMAPHORE_ChangeName(sem, name);
    return sem;
}

void setOpening(SerialMgrDevice& dev, std::shared_ptr<SerialMgrOpening> opening) REQUIRES(dev.flowLock) {
    dev.live.store(opening.get());
    dev.opening = std::move(opening);
}

// The device view of a new opening, before any other party knows of it.
void showOpening(SerialMgrDevice& dev, const SerialMgrOpening& opening) {
    dev.wait_sem.store(opening.waitSem);
    dev.useSem.store(opening.useSem);
    dev.regSem.store(opening.regSem);
    dev.rxRunning.store(1);
}

void destroySems(OSSemaphore waitSem, OSSemaphore useSem, OSSemaphore regSem) {
    OSSEMAPHORE_destroyMutex(waitSem);
    OSSEMAPHORE_Destroy(useSem);
    OSSEMAPHORE_Destroy(regSem);
}

// Undoes an open that cannot be completed: the registration then fails with
// the device exactly as it was before it (closed, nothing left behind).
void undoOpen(SerialMgrDevice& dev, Int32 handle) {
    dev.rxRunning.store(0);
    dev.txReady.store(0);
    dev.wait_sem.store(0);
    dev.useSem.store(0);
    dev.regSem.store(0);
    Serial_CloseDevice(handle);
    dev.devBufHandle.store(-1);
}

void logRegisterFailure(const char* what, UInt32 devID, const SerialMgrClientParams* params) {
    AT_LOGE("SERIALMGR_RegisterClient: %s devID=%d, client=%d\r\n", what, static_cast<int>(devID),
            static_cast<int>(params->clientID));
}

// Starts the opening's reader. It is born with SIGUSR2 blocked (threads take
// their creator's mask), so a deregistration's signal that comes before the
// reader's first instruction stays pending (reader_signal.h). False when the
// task cannot be created.
bool startReader(SerialMgrDevice& dev, const std::shared_ptr<SerialMgrOpening>& opening) {
    delete dev.handoff.exchange(new std::shared_ptr<SerialMgrOpening>(opening));
    opening->life.start();
    sigset_t old;
    at_block_shutdown_signal(&old);
    const OSTask task = OSTASK_CreateWArg(SERIALMGR_RX_Entry, "SerMgr", 20, 4608, opening->devID, 0);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    dev.rxTask.store(task);
    if (task != 0) return true;
    delete dev.handoff.exchange(nullptr);
    opening->life.abandon();
    return false;
}

// Opens a closed device for its first client: handle, semaphores, reader.
// Returns false, with the device left closed and nothing created, when the
// open, a semaphore or the reader cannot be had.
bool openDevice(UInt32 devID, SerialMgrDevice& dev, const SerialMgrClientParams* params) {
    const Int32 handle = Serial_OpenDevice(devID, params->openParam);
    dev.devBufHandle.store(handle);
    if (handle == SERIAL_OPEN_FAILED || handle == SERIAL_OPEN_NOT_OPENED) {
        logRegisterFailure("Open Failed", devID, params);
        dev.devBufHandle.store(-1);
        return false;
    }
    dev.txReady.store(1);
    const OSSemaphore waitSem = createNamed(OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT), "SMgr_F");
    const OSSemaphore useSem = createNamed(OSSEMAPHORE_Create(kUseUnits, OSSEMAPHORE_MODE_DEFAULT), "SMgr_C");
    const OSSemaphore regSem = createNamed(OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT), "SMgr_W");
    if (waitSem == 0 || useSem == 0 || regSem == 0) {
        // A reader without its semaphores would drop every block: fail now.
        logRegisterFailure("Semaphore create failed", devID, params);
        destroySems(waitSem, useSem, regSem);
        undoOpen(dev, handle);
        return false;
    }
    auto opening = std::make_shared<SerialMgrOpening>(devID, handle, waitSem, useSem, regSem);
    showOpening(dev, *opening);
    {
        AtLock flow(dev.flowLock);
        setOpening(dev, opening);
    }
    if (startReader(dev, opening)) return true;
    logRegisterFailure("Reader start failed", devID, params);
    {
        AtLock flow(dev.flowLock);
        setOpening(dev, nullptr);
    }
    destroySems(waitSem, useSem, regSem);
    undoOpen(dev, handle);
    return false;
}

// Attaches the new record as the device's current client under the device's
// exclusive lock; a previous current client is replaced and stays valid until
// it deregisters.
void attach(SerialMgrClientInfo* client, UInt32 devID, SerialMgrDevice& dev, const SerialMgrClientParams* params)
    REQUIRES(dev.regLock) {
    ExclusiveHold hold;
    hold.obtain(SerialMgr_CurrentOpening(dev));
    client->devID = devID;
    client->params = *params;
    client->state = 1;
    client->reserved1 = 0;
    client->reserved2 = 0;
    client->skipSendLock = 0;
    SerialMgr_AddClient(client);
    SerialMgrFlowChange change;
    {
        AtLock flow(dev.flowLock);
        dev.currentClient.store(client);
        change = SerialMgr_SetFlow(dev, client, devID, 0);
    }
    SerialMgr_AnswerOverridden(change);
    hold.release();
}

// A host driver's wait cannot take SIGUSR2 atomically (reader_signal.h): one
// that arrives just before the wait begins is lost, and nothing else can wake
// that wait. So while the reader is still inside such a read, the signal is
// sent again this often. The close and the first signal end nearly every read
// within microseconds, so the deregistration first yields to the reader for
// up to a millisecond; only a read still going after that waits for resends.
constexpr UInt32 kResendTicks = 4;
constexpr auto kFirstLook = std::chrono::milliseconds(1);

void resendWhileInHostRead(const SerialMgrOpening& opening) {
    const auto firstLookEnds = std::chrono::steady_clock::now() + kFirstLook;
    while (opening.life.inHostRead() && std::chrono::steady_clock::now() < firstLookEnds) sched_yield();
    while (opening.life.inHostRead()) {
        OSTASK_Sleep(kResendTicks);
        // @model:dereg-resend
        if (opening.life.inHostRead()) pthread_kill(opening.life.thread(), SIGUSR2);
    }
}

// Takes the device's regLock. A registration or deregistration made from a
// reader's callback on its own device may find regLock held by the
// deregistration that is stopping that very reader and will join it; it must
// not wait for that one, and gets false. Anyone else waits.
bool lockRegistration(SerialMgrDevice& dev, UInt32 devID) TRY_ACQUIRE(true, dev.regLock) {
    const SerialMgrOpening* self = tSerialMgrReader;
    if (self == nullptr || self->devID != devID) {
        dev.regLock.lock();
        return true;
    }
    // @model:reglock-self
    while (!dev.regLock.try_lock()) {
        if (self->life.stopCommitted()) return false;
        sched_yield();
    }
    return true;
}

// The first half of a reader's stop, under regLock: the run flags, the close
// of the handle this deregistration takes from the opening, and the signal.
// Returns true when the reader was signalled. The reader is committed to the
// signal before anything here can end it, so a reader that ends because this
// deregistration closed its device still takes the signal at its end (and
// the device's shutdown function runs); one that had ended on its own before
// is not signalled, since no thread may be waiting for it any more.
bool stopReader(UInt32 devID, SerialMgrDevice& dev, SerialMgrOpening* opening, ExclusiveHold& hold)
    REQUIRES(hold) {
    AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d\r\n", static_cast<int>(devID));
    bool committed = false;
    if (opening != nullptr) {
        opening->life.waitUntilStarted();
        // @model:dereg-commit
        committed = opening->life.commitStop();
        // @model:dereg-running
        opening->running.store(0);
    }
    dev.rxRunning.store(0);
    dev.txReady.store(0);
    AT_LOGI("SERIALMGR_RX_Shutdown: Serial_CloseDevice\r\n");
    Int32 handle = dev.devBufHandle.load();  // -1 on the null device
    if (opening != nullptr) {
        AtLock guard(opening->lock);
        // @model:dereg-take-handle
        handle = opening->handle;  // -1 when the reader has it (reopen) or closed it
        opening->handle = -1;
        opening->closed = true;
    }
    // @model:dereg-close
    Serial_CloseDevice(handle);
    dev.devBufHandle.store(-1);
    // @model:dereg-lend
    hold.lendOne();
    if (committed) {
        const pthread_t reader = opening->life.thread();
        // gShutdownMutex is released before the signal: the handler takes it
        // on the reader.
        // @model:dereg-pending
        SerialMgr_SetPending(devID, 1);
        AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d, send SIGUSR2 to %d\r\n", static_cast<int>(devID),
                static_cast<int>(reader));
        // @model:dereg-signal
        pthread_kill(reader, SIGUSR2);
    }
    return committed;
}

// The second half: the join (after resends while the reader may sit in a
// host driver's read). A reader deregistered from its own callback cannot
// join itself; it is detached and ends when the callback returns.
void reapReader(SerialMgrOpening& opening, bool signalled) {
    if (signalled && !pthread_equal(opening.life.thread(), pthread_self())) resendWhileInHostRead(opening);
    // @model:dereg-join
    opening.life.reap();
}

// The semaphores of a reader that never ran its clean-up (it never passed
// its ready check): without this they would stay for ever, as the next
// registration creates new ones.
void destroyLeftovers(SerialMgrOpening& opening) {
    if (opening.life.enteredLoop()) return;  // the reader owns them and has destroyed them
    {
        AtLock guard(opening.lock);
        if (opening.semsGone) return;
        opening.semsGone = true;
    }
    destroySems(opening.waitSem, opening.useSem, opening.regSem);
}

// The part of a deregistration that holds regLock: detach, resume, stop.
// Returns the opening it took from the device (none on the null device).
std::shared_ptr<SerialMgrOpening> detachAndStop(SerialMgrClientInfo* client, UInt32 devID, SerialMgrDevice& dev,
                                                ExclusiveHold& hold, bool* signalled) REQUIRES(dev.regLock) ACQUIRE(hold) {
    std::shared_ptr<SerialMgrOpening> opening = SerialMgr_CurrentOpening(dev);
    hold.obtain(opening);
    SerialMgrFlowChange change;
    {
        AtLock flow(dev.flowLock);
        // @model:dereg-detach
        dev.currentClient.store(nullptr);
        change = SerialMgr_SetFlow(dev, client, devID, 0);  // releases a parked reader, which finds no client
        // @model:dereg-take-opening
        setOpening(dev, nullptr);
    }
    SerialMgr_AnswerOverridden(change);
    // The view shows no opening from here; the reader of the one taken writes
    // it no more (closed, below).
    dev.wait_sem.store(0);
    dev.useSem.store(0);
    dev.regSem.store(0);
    *signalled = stopReader(devID, dev, opening.get(), hold);
    return opening;
}

// The client's last event; the record is marked freed after it.
void tellDeregistered(SerialMgrClientInfo* client) {
    // @model:dereg-tell
    SerialMgr_StoreState(client, 0);
    {
        const SerialMgrNested inCallback;
        client->params.eventCb(client, client->params.userData, SERIALMGR_EVENT_DEREGISTERED, 0);
    }
    SerialMgr_RemoveClient(client);
}

// A deregistration under regLock: detach, stop and join the reader, tell the
// client, give the device back.
void stopAndTell(SerialMgrClientInfo* client, UInt32 devID, SerialMgrDevice& dev) REQUIRES(dev.regLock) {
    ExclusiveHold hold;
    bool signalled = false;
    const std::shared_ptr<SerialMgrOpening> opening = detachAndStop(client, devID, dev, hold, &signalled);
    if (opening != nullptr) reapReader(*opening, signalled);
    AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d, exiting\r\n", static_cast<int>(devID));
    tellDeregistered(client);
    // @model:dereg-release-hold
    hold.release();
    // @model:dereg-leftovers
    if (opening != nullptr) destroyLeftovers(*opening);
}

}  // namespace

extern "C" {

SerialMgrClientInfo* SERIALMGR_RegisterClient(const SerialMgrClientParams* params) {
    AT_LOGI("SERIALMGR_RegisterClient: inDevID=%d\r\n", static_cast<int>(params->devID));
    UInt32 devID = params->devID;
    bool nullDevice = false;
    if (params->useDefaultDevice != 0) {
        devID = SERIAL_DEVICE_UART_A;
    } else if (devID >= SERIAL_DEVICE_MAX_DEVICE_NUM) {
        AT_LOGE("SERIALMGR_RegisterClient: Invalid devID=%d, client=%d\r\n", static_cast<int>(devID),
                static_cast<int>(params->clientID));
        return nullptr;
    } else if (devID == SERIAL_DEVICE_NULL) {
        AT_LOGE("SERIALMGR_RegisterClient: setting up NULL device\r\n");
        nullDevice = true;
    }
    SerialMgrDevice& dev = gDevList[devID];
    // @model:register-gate-close
    const GateClosed gate(dev.gate);
    // @model:register-reglock
    if (!lockRegistration(dev, devID)) {
        logRegisterFailure("device closing", devID, params);
        return nullptr;
    }
    const AtLock reg(dev.regLock, kAdopt);
    const bool needOpen = !nullDevice && dev.devBufHandle.load() == -1;
    AT_ASSERT(!needOpen || dev.currentClient.load() == nullptr, "gDevList[inDevID].currentClient == NULL");

    // The record is allocated before the device is opened: when the heap is
    // exhausted the registration fails like a failed open, with NULL and the
    // device exactly as it was (no open, no semaphores, no reader to undo).
    auto* client = static_cast<SerialMgrClientInfo*>(dbHEAP_Alloc(sizeof(SerialMgrClientInfo), kSourceFile, __LINE__));
    if (client == nullptr) {
        logRegisterFailure("no memory for the client record", devID, params);
        return nullptr;
    }
    memset(client, 0, sizeof *client);
    // @model:register-open
    if (needOpen && !openDevice(devID, dev, params)) {
        dbHEAP_Delete(client, kSourceFile, __LINE__);
        return nullptr;
    }
    // @model:register-attach
    attach(client, devID, dev, params);
    return client;
}

Boolean SERIALMGR_DeRegisterClient(SerialMgrClientInfo* client) {
    // The record is claimed before any lock is taken: a second deregistration
    // of it, concurrent or later (also one from the reader's own callback while
    // another thread joins that reader), stops here instead of waiting.
    UInt32 devID = 0;
    // @model:dereg-claim
    AT_ASSERT(SerialMgr_ClaimClient(client, &devID), kClientValidText);
    AT_LOGI("SERIALMGR_DeRegisterClient: %p\n", static_cast<void*>(client));
    SerialMgrDevice& dev = gDevList[devID];
    {
        // @model:dereg-gate-close
        const GateClosed gate(dev.gate);
        // @model:dereg-reglock
        if (lockRegistration(dev, devID)) {
            const AtLock reg(dev.regLock, kAdopt);
            stopAndTell(client, devID, dev);
        } else {
            // From the callback of a reader that another deregistration is
            // stopping: that one has detached every client of the device and
            // closes it; this one only tells its client and frees the record.
            tellDeregistered(client);
        }
        // Calls that were already under way with this record (a send waiting
        // for its unit) finish before it goes; new ones wait at the gate and
        // then find it deregistered. regLock is no longer held, so a call in
        // flight that registers from a callback cannot hold this up.
        // @model:dereg-drain
        dev.gate.drain();
    }
    AT_LOGI("SERIALMGR_DeRegisterClient: %p, exiting\n", static_cast<void*>(client));
    dbHEAP_Delete(client, kSourceFile, __LINE__);
    return TRUE;
}

}  // extern "C"
