/*
 * The serial manager's start / pause / resume / replace / stop protocol on
 * one device, the USB device (ID 5), so that the STOP/OK control pipes take
 * part. One process per thread; names are those of SerialMgrDevice and of
 * the functions each step stands for. What is abstracted, and how to run and
 * read it: model/README.md.
 *
 * Several steps of one thread are taken in one atomic step where that hides
 * no interleaving that matters: a lock is taken together with the first
 * thing done under it, and releases together with what precedes them.
 *
 * Variants that break the protocol on purpose; make model-check expects a
 * counterexample for each:
 *   NO_SIGNAL             RX_Shutdown never sends SIGUSR2
 *   PENDING_AFTER_SIGNAL  RX_Shutdown marks pending after pthread_kill
 *   RELEASE_BEFORE_CLEAR  the resume releases wait_sem before it clears stopRx
 *   NO_JOIN               RX_Shutdown does not join the reader
 *   NO_GATE               registration and deregistration leave exclusive at 0
 *   NO_ACK_WAIT           a pause returns without waiting for the reader's OK
 *   NO_INSIDE_WAIT        the deregistration frees the record without waiting
 *                         until inside is 0
 * and the four places where this model differs from the written protocol:
 *   DEVICE_INSIDE         one inside counter per device, not per record
 *   NO_FLOW_RECHECK       SetFlowControl does not look at the registry again
 *                         once it holds flowLock
 *   CLEAR_LIFE_BEFORE_JOIN  rxLife.reap exchanges the word to 0 before the join
 *   STOP_SETS_STOPRX      the reader sets stopRx when it reads a STOP
 */

#ifndef ROUNDS
#define ROUNDS 1        /* pause/resume rounds of client 1 */
#endif
#ifndef BLOCKS
#define BLOCKS 2        /* blocks the device delivers in one run */
#endif
#define UNITS 5         /* useSem ("SMgr_C") */

/* rxLife bits (serialmgr/reader_life.*) */
#define CREATED    1
#define STARTED    2
#define INLOOP     4
#define ENDED      8
#define STOPSENT   16
#define SIGTAKEN   32
#define PAUSEWAIT  64

/* gDevList[5] */
bit  rxRunning, stopRx, txReady;
bit  devOpen;           /* devBufHandle != -1 */
byte currentClient;     /* 0: NULL; 1 or 2: that client's record */
bit  waitSemFree = 1;   /* wait_sem ("SMgr_F"), binary: 1 = free */
byte semGen;            /* the opening wait_sem/useSem/regSem belong to; 0 = destroyed */
byte units;             /* free units of useSem */
byte rxLife;
byte lifeGen;           /* the reader rxLife describes */
bit  regLock, flowLock;
byte exclusive;         /* the gate */
byte inside[3];         /* per client record (index 0: the device-wide count of DEVICE_INSIDE) */
bit  pending;           /* gShutdownList[5].pending */
byte gen;               /* openings of the device; reader g serves opening g */

#ifdef DEVICE_INSIDE
#define INSIDE(c) inside[0]
#else
#define INSIDE(c) inside[c]
#endif
#ifdef NO_GATE
#define GATE_ENTER skip
#define GATE_LEAVE skip
#else
#define GATE_ENTER exclusive++
#define GATE_LEAVE exclusive--
#endif

/* Witnesses: with -DWITNESS=n, assertion n fails as soon as its scenario is
 * reached, which shows that the model reaches it (make model-check expects
 * each to fail). Without WITNESS they are empty. */
#ifdef WITNESS
#define W(n, cond) assert(WITNESS != n || !(cond));
#else
#define W(n, cond)
#endif

/* s_control_pipe (STOP) and s_ack_pipe (OK) */
chan ctl = [3] of { bit };
chan ack = [4] of { bit };

/* Ghost state for the properties */
bit  live[3];           /* record in the client registry */
bit  freed[3];          /* record given back to the heap */
bit  paused1;           /* client 1's pause has returned, its resume has not begun */
bit  sigPend[3];        /* SIGUSR2 sent to reader g, not yet taken */
bit  readerDone[3];     /* reader g has returned from SERIALMGR_RX_Entry */
bit  joined[3];
bit  stopHandled[3];    /* the handler ran on reader g with pending set */
byte blocks;
bit  readError;

/* SERIALMGR_HandleSignal on reader g */
inline handleSignal(g) {
    stopHandled[g] = stopHandled[g] | pending;
    pending = 0;
    if
    :: lifeGen == g -> rxLife = rxLife | SIGTAKEN
    :: else
    fi
}

/* USB_Control_Pipe_Send_Ack; the real pipe never fills */
inline sendAck() {
    assert(nfull(ack));
    ack!1
}

inline drain(ch) {
    do
    :: nempty(ch) -> ch?_
    :: empty(ch) -> break
    od
}

/* GetCnt(wait_sem) == 0 -> releaseMutex(wait_sem); a destroyed mutex (field 0) is skipped */
#define RELEASE_WAIT_SEM  if :: semGen != 0 && !waitSemFree -> waitSemFree = 1 :: else fi

/* regSem, then the units of useSem one at a time (units free together are
 * taken in one step). A semaphore destroyed meanwhile fails the obtain and
 * the caller goes on. h is the handle read when the lock was taken. */
inline takeAll(h, held) {
    do
    :: held == UNITS -> break
    :: atomic { h != 0 && h == semGen && units > 0 -> held = held + units; units = 0 }
    :: atomic { h == 0 || h != semGen -> held = 0; break }
    od
}
#define RELEASE_ALL(h, held)  if :: h != 0 && h == semGen -> units = units + held :: else fi; held = 0

/* Entry of SendData / SetFlowControl: inside++, the gate (inside-- while
 * waiting), the registry check. */
inline enterPublic(c, ok) {
    do
    :: atomic { exclusive == 0 -> INSIDE(c)++; ok = live[c]; if :: !ok -> INSIDE(c)-- :: else fi; break }
    :: exclusive != 0 -> exclusive == 0
    od
}

/* SetFlowControl: registry re-check once flowLock is held. The deregistration
 * takes the record out of the registry while it holds flowLock. */
#ifdef NO_FLOW_RECHECK
#define FLOW_RECHECK(c)  ok = 1
#else
#define FLOW_RECHECK(c)  ok = live[c]; if :: !ok -> flowLock = 0; INSIDE(c)-- :: else fi
#endif

/* SERIALMGR_DeRegisterClient(c) */
inline deregister(c) {
    /* registry check ("pClientInfo != NULL && ..."), gate */
    atomic { assert(live[c]); GATE_ENTER };
    /* regLock, registry re-check */
    atomic { !regLock -> regLock = 1; assert(live[c]) };
    /* flowLock, regSem + 5 units */
    atomic { !flowLock -> flowLock = 1; h = semGen };
    takeAll(h, held);
    /* currentClient = NULL */
    currentClient = 0;
    /* internal resume: SetFlowControl(client, 0) */
#ifdef RELEASE_BEFORE_CLEAR
    atomic { RELEASE_WAIT_SEM };
    stopRx = 0;
#else
    stopRx = 0;
    atomic { RELEASE_WAIT_SEM };
#endif
    /* SERIALMGR_RX_Shutdown: rxRunning = 0, txReady = 0 */
    atomic { rxRunning = 0; txReady = 0 };
    /* SERIALMGR_RX_Shutdown: Serial_CloseDevice, devBufHandle = -1 */
    atomic { W(1, (rxLife & (CREATED | STARTED)) == CREATED) devOpen = 0 };
    /* SERIALMGR_RX_Shutdown: rxLife.waitUntilStarted, rxLife.commitStop */
    atomic {
        (rxLife & (CREATED | STARTED)) != CREATED;
        rg = lifeGen;
        if
        :: (rxLife & STARTED) && !(rxLife & ENDED) -> rxLife = rxLife | STOPSENT; stop = 1
        :: else -> stop = 0
        fi
    };
    if
    :: stop ->
#ifdef PENDING_AFTER_SIGNAL
       sigPend[rg] = 1;
       pending = 1
#else
       /* SERIALMGR_RX_Shutdown: pending = 1 under gShutdownMutex */
       pending = 1;
#ifndef NO_SIGNAL
       /* SERIALMGR_RX_Shutdown: pthread_kill(rxThread, SIGUSR2) */
       sigPend[rg] = 1
#endif
#endif
    :: else
    fi;
    /* SERIALMGR_RX_Shutdown: rxLife.reap, pthread_join once */
#ifdef CLEAR_LIFE_BEFORE_JOIN
    atomic { old = rxLife; rxLife = 0 };
#else
    old = rxLife;
#endif
    atomic {
        if
        :: old & STARTED ->
#ifndef NO_JOIN
           readerDone[rg];
           W(10, rg == 2)
           assert(!joined[rg]);
           joined[rg] = 1;
#endif
           skip
        :: else
        fi;
        rxLife = 0
    };
    /* Properties: the reader has finished (joined), and a committed stop ran the
     * device's shutdown function and left no pending flag behind */
    assert(rg == 0 || !(old & CREATED) || readerDone[rg]);
    assert(!stop || (stopHandled[rg] && !pending));
    /* state = 0, eventCb(14) */
    assert(!freed[c]);
    /* sig = 0xCCCCCCCC and out of the registry; units and regSem back;
     * leftovers of a reader that never ran its clean-up destroyed; unlock; gate */
    atomic {
        live[c] = 0;
        RELEASE_ALL(h, held);
        if :: h != 0 && h == semGen -> semGen = 0 :: else fi;
        flowLock = 0;
        regLock = 0;
        GATE_LEAVE
    };
    /* wait until inside == 0; dbHEAP_Delete(client) */
#ifdef NO_INSIDE_WAIT
    atomic { assert(!freed[c]); freed[c] = 1 }
#else
    atomic { INSIDE(c) == 0 -> assert(!freed[c]); freed[c] = 1 }
#endif
}

proctype Reader(byte g) {
    byte c, old;
    /* SERIALMGR_RX_Entry: rxLife.publish (pthread_self, Started, notify_all) */
    rxLife = rxLife | STARTED;
    /* SERIALMGR_RX_Entry: AT_STUBS_IsReadyForCommsIO; rxThread = self; InLoop */
    if
    :: rxLife = rxLife | INLOOP
    :: goto ending                          /* not ready: end(), no clean-up */
    fi;
pass:
    /* SERIALMGR_RX_Entry: while rxRunning */
    if
    :: !rxRunning -> goto cleanup
    :: else
    fi;
    if
    :: stopRx ->
park:
       /* SERIALMGR_RX_Entry: park; device 5: USB_Control_Pipe_Send_Ack */
       sendAck();
       /* SERIALMGR_RX_Entry: OSSEMAPHORE_obtainMutex(wait_sem, -1) */
       atomic { waitSemFree -> waitSemFree = 0 };
       if
       :: stopRx -> goto park
       :: else
       fi;
       /* "Flow wait end. Stop devID" when currentClient is NULL */
       if
       :: atomic { currentClient == 0 -> W(11, true) skip }; goto cleanup
       :: else
       fi;
       /* "Refresh device": Serial_CloseDevice, Serial_OpenDevice(5, 0). USB_OpenDevice
        * drains the control pipe, and the ack pipe unless a pause waits on it */
       atomic { drain(ctl) };
       atomic { W(6, rxLife & PAUSEWAIT) if :: !(rxLife & PAUSEWAIT) -> drain(ack) :: else fi; devOpen = 1 };
       goto pass                            /* a new pass re-checks stopRx */
    :: else
    fi;
    if
    :: !rxRunning -> goto cleanup
    :: else
    fi;
    /* SERIALMGR_RX_Entry: Serial_Read; SIGUSR2 is unblocked only inside its wait */
    if
    :: !devOpen -> goto readfailed          /* handle -1: 0 at once */
    :: else
    fi;
end_read:
    if
    :: atomic { nempty(ctl) -> drain(ctl) } ->
       /* STOP_READING_USB_TTY (the pipe wins over the tty). Every pause sets
        * stopRx before it sends its STOP, so the next pass parks; a STOP read
        * after the resume must not pause the device again. */
#ifdef STOP_SETS_STOPRX
       stopRx = 1;
#endif
       goto pass
    :: atomic { empty(ctl) && devOpen && blocks < BLOCKS -> blocks++ } ->
       /* a block: dropped if rxRunning was cleared; else a unit of useSem (the
        * wait ends when the shutdown clears rxRunning), dataCb, release */
       if
       :: !rxRunning -> goto cleanup
       :: atomic {
              rxRunning && units > 0 ->
              c = currentClient;
              W(4, c == 1 && blocks == BLOCKS) W(5, c == 2 && gen == 2)
              assert(c == 0 || (!freed[c] && live[c]));
              assert(!(c == 1 && paused1))
          }
       fi;
       goto pass
    :: atomic { sigPend[g] -> sigPend[g] = 0; handleSignal(g) } ->
       goto readfailed                      /* EINTR: the device was closed */
    :: atomic { !readError && devOpen -> readError = 1 } ->
       goto readfailed                      /* EIO */
    fi;
readfailed:
    /* SERIALMGR_RX_Entry: "blockdatasize == 0": eventCb(11) if a client */
    c = currentClient;
    assert(c == 0 || (!freed[c] && live[c]));
cleanup:
    /* SERIALMGR_RX_Entry clean-up: wait_sem, useSem, regSem destroyed (fields
     * cleared first); Serial_CloseDevice, devBufHandle = -1 */
    semGen = 0;
    devOpen = 0;
ending:
    /* rxLife.end: fetch_or(Ended) */
    atomic { old = rxLife; if :: lifeGen == g -> rxLife = rxLife | ENDED :: else -> old = 0 fi };
    if
    :: (old & STOPSENT) && !(old & SIGTAKEN) ->
       /* rxLife.end: sigwaitinfo, then the handler */
       atomic { sigPend[g] -> W(2, true) sigPend[g] = 0; handleSignal(g) }
    :: else
    fi;
    /* rxLife.end: an OK for a pause that waits */
    if
    :: old & PAUSEWAIT -> atomic { W(7, true) sendAck(); readerDone[g] = 1 }
    :: else -> readerDone[g] = 1
    fi
}

/* Client 1 pauses and resumes ROUNDS times from its own thread */
proctype Pauser() {
    byte r;
    bit hs, ok;
    do
    :: r < ROUNDS ->
       /* SERIALMGR_SetFlowControl(client1, 1): inside, gate, registry check */
       enterPublic(1, ok);
       if
       :: !ok -> goto pauseOut
       :: else
       fi;
       /* client->devID names the device; its flowLock, registry re-check,
        * stopRx = 1, state = 2 */
       atomic {
           !flowLock -> assert(!freed[1]); flowLock = 1;
           FLOW_RECHECK(1);
           W(9, !ok)
           if
           :: ok -> assert(!freed[1]); hs = !stopRx; stopRx = 1
           :: else
           fi
       };
       if
       :: !ok -> goto pauseOut
       :: else
       fi;
       /* first pause, reader InLoop and not Ended: PauseWaiting (CAS against Ended) */
       if
       :: hs -> atomic { if :: (rxLife & INLOOP) && !(rxLife & ENDED) -> rxLife = rxLife | PAUSEWAIT :: else -> hs = 0 fi }
       :: else
       fi;
       if
       :: hs ->
          /* USB_Control_Pipe_Send_Stop */
          ctl!1;
          /* USB_Control_Pipe_Wait_Ack: one read takes every OK waiting */
#ifndef NO_ACK_WAIT
          atomic { ack?_; drain(ack) };
#endif
          rxLife = rxLife & ~PAUSEWAIT
       :: else
       fi;
       atomic { flowLock = 0; INSIDE(1)--; paused1 = 1 };
pauseOut:
       /* SERIALMGR_SetFlowControl(client1, 0) */
       paused1 = 0;
       enterPublic(1, ok);
       if
       :: !ok -> goto resumeOut
       :: else
       fi;
#ifdef RELEASE_BEFORE_CLEAR
       atomic { !flowLock -> assert(!freed[1]); flowLock = 1; FLOW_RECHECK(1); if :: ok -> assert(!freed[1]); RELEASE_WAIT_SEM :: else fi };
       if
       :: ok -> atomic { stopRx = 0; flowLock = 0; INSIDE(1)-- }
       :: else
       fi;
#else
       /* client->devID, flowLock, registry re-check, stopRx = 0 */
       atomic { !flowLock -> assert(!freed[1]); flowLock = 1; FLOW_RECHECK(1); if :: ok -> assert(!freed[1]); stopRx = 0 :: else fi };
       /* release wait_sem if held, state = 1, unlock */
       if
       :: ok -> atomic { RELEASE_WAIT_SEM; flowLock = 0; INSIDE(1)-- }
       :: else
       fi;
#endif
resumeOut:
       r++
    :: r == ROUNDS -> break
    od
}

/* Deregisters client 1, or not: in the runs where nobody deregisters, no
 * lost wake-up can hide behind the release a deregistration makes. */
proctype Dereg1() {
    byte h, held, rg, old;
    bit stop;
    if
    :: deregister(1)
    :: skip
    fi
}

/* Client 2: registers (replacing client 1 on the open device, or opening the
 * device again after client 1 left), sends once in blocking mode, then
 * deregisters or stays. */
proctype Registrar() {
    byte h, held, rg, old, sh;
    bit stop, su, ok;
    /* SERIALMGR_RegisterClient(client2): gate */
    GATE_ENTER;
    /* regLock; a closed device is opened */
    atomic {
        !regLock -> regLock = 1;
        if
        :: !devOpen && currentClient != 0 ->
           /* a reader that ended on its own left client 1 attached: this registration
            * stops the process ("gDevList[inDevID].currentClient == NULL"); not modelled */
           regLock = 0;
           GATE_LEAVE;
           goto done
        :: !devOpen && currentClient == 0 ->
           /* Serial_OpenDevice (USB_OpenDevice drains both pipes), txReady = 1,
            * wait_sem/useSem/regSem, rxRunning = 1, rxLife.start,
            * OSTASK_CreateWArg(SERIALMGR_RX_Entry) with SIGUSR2 blocked */
           drain(ctl); drain(ack);
           devOpen = 1; txReady = 1;
           gen++; semGen = gen; waitSemFree = 1; units = UNITS;
           rxRunning = 1;
           assert(rxLife == 0);
           rxLife = CREATED; lifeGen = gen;
           run Reader(gen)
        :: devOpen
        fi
    };
    /* flowLock, regSem + 5 units */
    atomic { !flowLock -> flowLock = 1; h = semGen };
    takeAll(h, held);
    /* record into the registry; currentClient = record; internal resume */
    atomic { W(3, currentClient == 1) live[2] = 1; currentClient = 2 };
    stopRx = 0;
    /* release units, regSem; unlock; gate */
    atomic { RELEASE_WAIT_SEM; RELEASE_ALL(h, held); flowLock = 0; regLock = 0; GATE_LEAVE };

    /* SERIALMGR_SendData(client2, ..., block = 1): inside, gate, registry check */
    enterPublic(2, ok);
    if
    :: !ok -> goto sendOut
    :: else
    fi;
    /* a unit of useSem (fails on a destroyed semaphore), registry re-check */
    sh = semGen;
    if
    :: sh == 0
    :: atomic { sh != 0 && sh == semGen && units > 0 -> units--; su = 1 }
    :: sh != 0 && sh != semGen
    fi;
    assert(live[2] && !freed[2]);
    /* write in passes */
    if
    :: !txReady || !devOpen
    :: txReady && devOpen                   /* the device took it all, or a write failed */
    :: txReady && devOpen ->
       /* a pass wrote 0 and the device keeps taking nothing: the send gives up at
        * the gate, or ends once txReady is 0 or the device closed */
end_stuck:
       atomic { exclusive != 0 || !txReady || !devOpen -> W(8, exclusive != 0 && txReady) skip }
    fi;
    atomic { if :: su && sh == semGen -> units++ :: else fi; su = 0; INSIDE(2)-- };
sendOut:
    if
    :: deregister(2)
    :: skip
    fi;
done:
    skip
}

init {
    byte h, held;
    /* SERIALMGR_RegisterClient(client1) on the closed device: gate, regLock,
     * open, semaphores, rxRunning, rxLife.start, reader */
    atomic {
        GATE_ENTER;
        regLock = 1;
        devOpen = 1; txReady = 1;
        gen = 1; semGen = 1; waitSemFree = 1; units = UNITS;
        rxRunning = 1;
        rxLife = CREATED; lifeGen = 1;
        run Reader(1);
        flowLock = 1; h = semGen
    };
    /* regSem + 5 units (the reader may hold one) */
    takeAll(h, held);
    /* attach, internal resume, release, unlock */
    atomic { live[1] = 1; currentClient = 1; stopRx = 0 };
    atomic { RELEASE_WAIT_SEM; RELEASE_ALL(h, held); flowLock = 0; regLock = 0; GATE_LEAVE };
    atomic {
        run Pauser();
        run Dereg1();
        run Registrar()
    }
}
