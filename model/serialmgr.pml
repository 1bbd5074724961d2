/*
 * The serial manager's start / pause / resume / replace / stop protocol on
 * the USB device (ID 5), so that the STOP/OK control pipes take part, as the
 * code in serialmgr/ does it. One process per thread; variables carry the
 * names of SerialMgrDevice's fields and of ReaderLife's bits, and each step's
 * comment names the function it stands for. What is abstracted, and how to
 * run and read it: model/README.md.
 *
 * Steps of one thread are merged into one atomic step only where no other
 * thread's step can matter in between: a lock is taken together with the
 * first thing done under it, and released together with what precedes it.
 *
 * Variants that break the protocol on purpose; make model-check expects a
 * counterexample for each of the first seven:
 *   NO_SIGNAL             SERIALMGR_RX_Shutdown never sends SIGUSR2
 *   PENDING_AFTER_SIGNAL  SERIALMGR_RX_Shutdown marks pending after pthread_kill
 *   RELEASE_BEFORE_CLEAR  a resume releases wait_sem before it clears stopRx
 *   NO_JOIN               ReaderLife::reap does not join
 *   NO_GATE               registration and deregistration leave exclusive at 0:
 *                         new sends overtake them, and a send that wrote
 *                         nothing does not give up
 *   NO_ACK_WAIT           pauseHandshake does not wait for an OK
 *   PARKED_LATE           the pause clears kParked after it stored stopRx = 1
 *                         (the code's order before this model found the fault)
 * and two more, for which spin finds no counterexample
 * within the bounds (model/README.md):
 *   NO_INPARK_CHECK       beginPauseWait does not refuse kInPark (a pause
 *                         always sends STOP)
 *   ANY_OK                pauseHandshake takes any OK (no kParked loop)
 *
 * A comment "@stuck:NAME" marks a line where a thread can wait for ever in a
 * variant's deadlock: model/check.sh names, for each deadlock variant, the
 * mark every waiting process must be at, so that a deadlock elsewhere fails
 * the check. Keep a mark on the line of the statement that waits (spin
 * reports that line; for an atomic sequence, the line of "atomic {").
 */

#ifndef ROUNDS
#define ROUNDS 2        /* pause/resume rounds of client 1 */
#endif
#ifndef BLOCKS
#define BLOCKS 2        /* blocks the device delivers in one run */
#endif
#define UNITS 5         /* kUseUnits, useSem "SMgr_C" */

/* ReaderLife bits (serialmgr/reader_life.h); kInHostRead does not concern USB */
#define CREATED    1
#define STARTED    2
#define INLOOP     4
#define ENDED      8
#define STOPSENT   16
#define SIGTAKEN   32
#define PAUSEWAIT  64
#define PARKED     256
#define INPARK     512

/* gDevList[5] */
bit   rxRunning, stopRx, txReady;
bit   devBufHandle;     /* 1: open; 0: -1 */
byte  currentClient;    /* 0: NULL; 1 or 2: that client's record */
bit   waitSemFree = 1;  /* wait_sem ("SMgr_F"), binary: 1 = free */
byte  semGen;           /* opening that wait_sem/useSem/regSem belong to; 0: fields cleared, destroyed */
byte  units;            /* free units of useSem */
short rxLife;
byte  lifeGen;          /* the reader rxLife describes */
bit   regLock, flowLock;
byte  exclusive;        /* the gate */
byte  inside;
bit   pending;          /* gShutdownList[5].pending */
byte  gen;              /* openings of the device; reader g serves opening g */
bit   ackReadLock;      /* s_ackReadLock, held by USB_Control_Pipe_Wait_Ack's read */

#ifdef NO_GATE
#define GATE_ENTER skip
#define GATE_LEAVE skip
#else
#define GATE_ENTER exclusive++
#define GATE_LEAVE exclusive--
#endif

/* Witnesses: with -DWITNESS=n, assertion n fails as soon as its scenario is
 * reached, which shows that the model reaches it. */
#ifdef WITNESS
#define W(n, cond) assert(WITNESS != n || !(cond));
#else
#define W(n, cond)
#endif

/* s_control_pipe (STOP) and s_ack_pipe (OK); a read takes all that waits.
 * A reader that stays parked across pause/resume rounds adds an OK each
 * round that no pause reads (a pause that finds kInPark set sends no STOP),
 * so the ack pipe's room must grow with ROUNDS; sendAck asserts that it
 * never fills, as the real pipe does not within such bounds. */
#ifndef ACK_SLOTS
#define ACK_SLOTS 4
#endif
chan ctl = [3] of { bit };
chan ack = [ACK_SLOTS] of { bit };

/* Ghost state for the properties */
bit  live[3];           /* record in the client registry (SerialMgr_AddClient .. RemoveClient) */
bit  freed[3];          /* dbHEAP_Delete(client) done */
bit  paused1;           /* client 1's pause has returned, its resume has not begun */
bit  sigPend[3];        /* SIGUSR2 pending on reader g */
bit  readerDone[3];     /* reader g has returned from SERIALMGR_RX_Entry */
bit  joined[3];
bit  stopHandled[3];    /* SERIALMGR_HandleSignal ran on reader g with pending set */
bit  willDereg1;        /* client 1 deregisters in this run */
bit  cbSent;            /* the one send from dataCb was made */
byte blocks;
bit  readError;

/* SERIALMGR_HandleSignal on reader g */
inline handleSignal(g) {
    rxLife = rxLife | SIGTAKEN;
    stopHandled[g] = stopHandled[g] | pending;
    pending = 0
}

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

/* OSSEMAPHORE_GetCnt(wait_sem) == 0 -> OSSEMAPHORE_releaseMutex(wait_sem); a cleared field does nothing */
#define RELEASE_WAIT_SEM  if :: semGen != 0 && !waitSemFree -> waitSemFree = 1 :: else fi

/* SerialMgr_ObtainExclusive: regSem, then the five units one at a time
 * (units free together are taken in one step). An obtain on a destroyed
 * semaphore fails and counts as taken. h: the handle read first. */
inline obtainExclusive(h, held) {
    do  /* @stuck:units */
    :: held == UNITS -> break
    :: atomic { h != 0 && h == semGen && units > 0 -> held = held + units; if :: held > UNITS -> units = held - UNITS; held = UNITS :: else -> units = 0 fi }
    :: atomic { h == 0 || h != semGen -> held = UNITS; break }
    od
}
/* SerialMgr_ReleaseExclusive: only to the same semaphore */
#define RELEASE_EXCLUSIVE(h, held)  if :: h != 0 && h == semGen -> units = units + held :: else fi; held = 0

/* SerialMgrClientCall (not on the reader): counted first, then the gate and
 * the registry; behind a closed gate it waits for the gate to change. */
inline clientCall(c, ok) {
    do
    :: atomic { !live[c] -> ok = 0; break }
    :: atomic { live[c] -> inside++ };
       atomic {
           gate = exclusive;
           ok = (gate == 0 && live[c]);
           if :: !ok -> inside-- :: else fi
       };
       if
       :: ok -> break
       :: !ok && gate == 0 -> break
       :: else -> exclusive != gate  /* @stuck:gate */
       fi
    od
}

/* writeInPasses on a device that keeps taking nothing: a pass that wrote 0
 * while exclusive != 0 ends the send, so does txReady 0 or a closed device. */
#define WRITE_GIVES_UP  (exclusive != 0 || !txReady || !devBufHandle)

/* SERIALMGR_DeRegisterClient(c) */
inline deregister(c) {
    /* SERIALMGR_DeRegisterClient: SerialMgr_FindClient asserted; SerialMgrGate */
    atomic { assert(live[c]); GATE_ENTER };
    /* SERIALMGR_DeRegisterClient: regLock; SerialMgr_FindClient asserted again */
    atomic { !regLock -> regLock = 1; assert(live[c]) };
    /* detachAndStop: flowLock; waitSem = wait_sem; SerialMgr_ObtainExclusive */
    atomic { !flowLock -> flowLock = 1; h = semGen };  /* @stuck:dereg-flowlock */
    obtainExclusive(h, held);
    /* detachAndStop: currentClient = NULL */
    currentClient = 0;
    /* detachAndStop: SerialMgr_SetFlow(client, 0, false) */
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
    devBufHandle = 0;
    /* lendUnitToReader */
    atomic { if :: held == UNITS && h != 0 && h == semGen -> units++; held-- :: else fi };
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
       /* SERIALMGR_RX_Shutdown: SerialMgr_SetPending(devID, 1) */
       pending = 1;
#ifndef NO_SIGNAL
       /* SERIALMGR_RX_Shutdown: pthread_kill(reader, SIGUSR2), pending on it at once */
       sigPend[rg] = 1
#endif
#endif
    :: else
    fi;
    /* ReaderLife::reap: join if kStarted, then the word cleared */
    atomic {
        if
        :: rxLife & STARTED ->
#ifndef NO_JOIN
           readerDone[lifeGen];  /* @stuck:join */
           W(10, lifeGen == 2)
           assert(!joined[lifeGen]);
           joined[lifeGen] = 1;
#endif
           skip
        :: else
        fi
    };
    rxLife = 0;
    /* Properties: every reader this device had has finished and was joined
     * once, and a committed stop ran the shutdown function and left pending clear */
    assert((gen < 1 || (readerDone[1] && joined[1])) && (gen < 2 || (readerDone[2] && joined[2])));
    assert(!stop || (stopHandled[rg] && !pending));
    /* detachAndStop: state = 0, eventCb(14); SerialMgr_RemoveClient;
     * SerialMgr_ReleaseExclusive; destroyLeftovers; flowLock released */
    atomic {
        assert(!freed[c]);
        live[c] = 0;
        RELEASE_EXCLUSIVE(h, held);
        if :: h != 0 && h == semGen -> semGen = 0 :: else fi;
        flowLock = 0
    };
    /* SERIALMGR_DeRegisterClient: wait until inside == 0, regLock still held;
     * then regLock, the gate; dbHEAP_Delete(client) */
    atomic { inside == 0 -> regLock = 0; GATE_LEAVE };
    atomic { assert(!freed[c]); freed[c] = 1 }
}

proctype Reader(byte g) {
    byte c;
    short before;
    /* SERIALMGR_RX_Entry: rxLife.publish */
    rxLife = rxLife | STARTED;
    /* SERIALMGR_RX_Entry: AT_STUBS_IsReadyForCommsIO; rxThread; kInLoop */
    if
    :: rxLife = rxLife | INLOOP
    :: goto ending                          /* not ready: no clean-up */
    fi;
pass:
    /* passLoop: while rxRunning */
    if
    :: !rxRunning -> goto cleanup
    :: else
    fi;
    /* passLoop: rxLife.clear(kInPark), then stopRx read */
    rxLife = rxLife & ~INPARK;
    if
    :: stopRx -> skip
    :: else -> goto read
    fi;
    /* passLoop: rxLife.set(kInPark) */
    rxLife = rxLife | INPARK;
park:
    /* waitWhilePaused: rxRunning 0 -> NewPass */
    if
    :: !rxRunning -> goto pass
    :: else
    fi;
    /* waitWhilePaused: rxLife.set(kParked), USB_Control_Pipe_Send_Ack */
    rxLife = rxLife | PARKED;
    sendAck();
    /* waitWhilePaused: OSSEMAPHORE_obtainMutex(wait_sem, -1); a destroyed
     * mutex (only after this reader's own clean-up) is not modelled */
    atomic { waitSemFree -> waitSemFree = 0 };  /* @stuck:park */
    /* waitWhilePaused: while stopRx */
    if
    :: stopRx -> goto park
    :: else
    fi;
    /* waitWhilePaused: "Flow wait end. Stop devID" */
    if
    :: atomic { currentClient == 0 -> W(11, true) skip }; goto cleanup
    :: else
    fi;
    /* waitWhilePaused: Serial_CloseDevice, Serial_OpenDevice(5, 0): USB_OpenDevice
     * drains the control pipe, and the ack pipe unless its read lock is held */
    devBufHandle = 0;
    atomic {
        drain(ctl);
        W(6, ackReadLock)
        if :: !ackReadLock -> drain(ack) :: else fi;
        devBufHandle = 1
    };
    goto pass;                              /* NewPass */
read:
    /* passLoop: readBlock -> Serial_Read: a closed handle returns 0 (errno 0) */
    if
    :: !devBufHandle -> goto readfailed
    :: else
    fi;
    /* isUsbDataAvailable: at_pselect_read on the tty and the control pipe, SIGUSR2 let in */
end_read:
    if
    :: atomic { nempty(ctl) -> drain(ctl) } ->
       /* STOP_READING_USB_TTY; with rxRunning 0 the read error path */
       if
       :: !rxRunning -> goto readfailed
       :: else -> stopRx = 1; goto pass    /* passLoop: stopRx = 1 */
       fi
    :: atomic { devBufHandle && blocks < BLOCKS -> blocks++ } ->
       if
       :: !rxRunning -> goto readfailed
       :: else
       fi;
       /* deliver: OSSEMAPHORE_Obtain(useSem, -1); a destroyed semaphore fails */
       if
       :: atomic { semGen == g && units > 0 -> units-- }
       :: atomic { semGen != g -> W(12, true) skip }; goto pass
       fi;
       /* deliver: currentClient, dataCb */
       atomic {
           c = currentClient;
           W(4, c == 1 && blocks == BLOCKS) W(5, c == 2 && g == 2)
           assert(c == 0 || (!freed[c] && live[c]));
           assert(!(c == 1 && paused1))
       };
       /* dataCb may send, blocking, from the reader thread (SerialMgrClientCall
        * on the reader passes the gate, takes no unit) */
       if
       :: c != 0 && !cbSent ->
          atomic { cbSent = 1; inside++; assert(live[c] && !freed[c]) };
          if
          :: skip                           /* written, or given up at once */
          :: willDereg1 ->
end_cbstuck:  atomic { WRITE_GIVES_UP -> W(8, exclusive != 0 && txReady) skip }
          fi;
          inside--
       :: else
       fi;
       /* deliver: OSSEMAPHORE_Release */
       atomic { if :: semGen == g -> units++ :: else fi };
       goto pass
    :: atomic { sigPend[g] -> sigPend[g] = 0; handleSignal(g) } ->
       goto pass                            /* EINTR: EAGAIN */
    :: atomic { !readError && devBufHandle -> readError = 1 } ->
       goto readfailed                      /* EIO */
    fi;
readfailed:
    /* reportReadError: eventCb(11) to currentClient */
    c = currentClient;
    assert(c == 0 || (!freed[c] && live[c]));
cleanup:
    /* SERIALMGR_RX_Entry clean-up: semaphores' fields cleared and destroyed,
     * Serial_CloseDevice, devBufHandle = -1 */
    atomic { semGen = 0; devBufHandle = 0 };
ending:
    /* rxLife.end */
    atomic { before = rxLife; rxLife = rxLife | ENDED };
    /* endReader: at_take_shutdown_signal(committed) */
    if
    :: (before & STOPSENT) && !(before & SIGTAKEN) ->
       atomic { sigPend[g] -> W(2, true) sigPend[g] = 0; handleSignal(g) }
    :: else ->
       atomic { if :: sigPend[g] -> sigPend[g] = 0; handleSignal(g) :: else fi }
    fi;
    /* endReader: an OK for a pause that waits */
    if
    :: before & PAUSEWAIT -> atomic { W(7, true) sendAck(); readerDone[g] = 1 }
    :: else -> readerDone[g] = 1
    fi
}

/* Client 1 pauses and resumes ROUNDS times from its own thread */
proctype Pauser() {
    byte r, gate;
    bit wasPaused, hs, ok;
    do
    :: r < ROUNDS ->
       /* SERIALMGR_SetFlowControl(client1, 1): SerialMgrClientCall */
       clientCall(1, ok);
       if
       :: !ok -> goto pauseOut
       :: else
       fi;
       /* SERIALMGR_SetFlowControl: flowLock; SerialMgr_FindClient again */
       atomic {
           !flowLock -> flowLock = 1;
           ok = live[1];
           W(9, !ok)
           if :: !ok -> flowLock = 0; inside-- :: else fi
       };
       if
       :: !ok -> goto pauseOut
       :: else
       fi;
#ifndef PARKED_LATE
       rxLife = rxLife & ~PARKED;
#endif
       /* SerialMgr_SetFlow: wasPaused = stopRx.exchange(1); state = 2 */
       atomic { assert(!freed[1]); wasPaused = stopRx; stopRx = 1 };
       /* SerialMgr_SetFlow: wasPaused == 0 && rxLife.beginPauseWait() */
       hs = 0;
       if
       :: !wasPaused ->
          atomic {
#ifdef NO_INPARK_CHECK
              if :: (rxLife & INLOOP) && !(rxLife & ENDED) -> rxLife = rxLife | PAUSEWAIT; hs = 1 :: else fi
#else
              if :: (rxLife & INLOOP) && !(rxLife & (ENDED | INPARK)) -> rxLife = rxLife | PAUSEWAIT; hs = 1 :: else fi
#endif
          }
       :: else
       fi;
       if
       :: hs ->
#ifdef PARKED_LATE
          /* pauseHandshake: rxLife.clear(kParked) */
          rxLife = rxLife & ~PARKED;
#endif
          /* pauseHandshake: USB_Control_Pipe_Send_Stop (the real pipe never fills) */
          atomic { W(14, len(ctl) > 0) assert(nfull(ctl)); ctl!1 };
#ifndef NO_ACK_WAIT
          do
          :: /* USB_Control_Pipe_Wait_Ack: s_ackReadLock, one read (takes all OKs) */
             ackReadLock = 1;
             atomic { nempty(ack) -> drain(ack); ackReadLock = 0 };  /* @stuck:ack */
#ifdef ANY_OK
             break
#else
             /* pauseHandshake: until kParked or kEnded */
             if
             :: rxLife & (PARKED | ENDED) -> break
             :: else -> W(3, true) skip
             fi
#endif
          od;
#endif
          /* pauseHandshake: rxLife.clear(kPauseWaiting) */
          rxLife = rxLife & ~PAUSEWAIT
       :: else
       fi;
       /* flowLock released; ~SerialMgrClientCall */
       atomic { flowLock = 0; inside--; paused1 = 1 };
pauseOut:
       /* SERIALMGR_SetFlowControl(client1, 0) */
       paused1 = 0;
       clientCall(1, ok);
       if
       :: !ok -> goto resumeOut
       :: else
       fi;
       atomic {  /* @stuck:resume-flowlock */
           !flowLock -> flowLock = 1;
           ok = live[1];
           if :: !ok -> flowLock = 0; inside-- :: else fi
       };
       if
       :: !ok -> goto resumeOut
       :: else
       fi;
#ifdef RELEASE_BEFORE_CLEAR
       atomic { assert(!freed[1]); RELEASE_WAIT_SEM };
       atomic { stopRx = 0; flowLock = 0; inside-- };
#else
       /* SerialMgr_SetFlow: stopRx.exchange(0) */
       atomic { assert(!freed[1]); stopRx = 0 };
       /* SerialMgr_SetFlow: release wait_sem if held, state = 1; flowLock; ~SerialMgrClientCall */
       atomic { RELEASE_WAIT_SEM; flowLock = 0; inside-- };
#endif
resumeOut:
       r++
    :: r == ROUNDS -> break
    od
}

/* Client 1 deregisters from its own thread, in the runs that chose so */
proctype Dereg1() {
    byte h, held, rg;
    bit stop;
    if
    :: willDereg1 -> deregister(1)
    :: else
    fi
}

/* Client 2: registers (replacing client 1 on the open device, or opening it
 * again after it was closed), sends once in blocking mode, then deregisters
 * or stays. */
proctype Registrar() {
    byte h, held, rg, sh, gate;
    bit stop, su, ok;
    /* SERIALMGR_RegisterClient(client2): SerialMgrGate */
    GATE_ENTER;
    /* SERIALMGR_RegisterClient: regLock; needOpen */
    atomic {
        !regLock -> regLock = 1;
        if
        :: !devBufHandle && currentClient != 0 ->
           /* a reader that ended on its own left client 1 attached: the
            * registration stops the process ("gDevList[inDevID].currentClient
            * == NULL"); that run ends here */
           regLock = 0;
           GATE_LEAVE;
           goto done
        :: !devBufHandle && currentClient == 0 ->
           /* openDevice: Serial_OpenDevice (USB_OpenDevice drains both pipes,
            * the ack pipe unless its read lock is held), txReady = 1,
            * wait_sem/useSem/regSem, rxRunning = 1 */
           drain(ctl);
           if :: !ackReadLock -> drain(ack) :: else fi;
           devBufHandle = 1; txReady = 1;
           gen++; semGen = gen; waitSemFree = 1; units = UNITS;
           rxRunning = 1;
           /* startReader: waitUntilStarted, reap (nothing to join: every
            * deregistration joined its reader), start, OSTASK_CreateWArg */
           assert(rxLife == 0);
           rxLife = CREATED; lifeGen = gen;
           run Reader(gen)
        :: devBufHandle
        fi
    };
    /* attach: flowLock; SerialMgr_ObtainExclusive */
    atomic { !flowLock -> flowLock = 1; h = semGen };
    obtainExclusive(h, held);
    /* attach: SerialMgr_AddClient; currentClient = client */
    atomic { W(1, currentClient == 1) live[2] = 1; currentClient = 2 };
    /* attach: SerialMgr_SetFlow(client, 0, false): stopRx.exchange(0), release */
    stopRx = 0;
    /* attach: SerialMgr_ReleaseExclusive; flowLock, regLock, gate released */
    atomic { RELEASE_WAIT_SEM; RELEASE_EXCLUSIVE(h, held); flowLock = 0; regLock = 0; GATE_LEAVE };

    /* SERIALMGR_SendData(client2, ..., block = 1): SerialMgrClientCall */
    clientCall(2, ok);
    if
    :: !ok -> goto sendOut
    :: else
    fi;
    /* SERIALMGR_SendData: OSSEMAPHORE_Obtain(useSem) (fails on a destroyed one) */
    sh = semGen;
    if
    :: sh == 0
    :: atomic { sh != 0 && sh == semGen && units > 0 -> units--; su = 1 }
    :: sh != 0 && sh != semGen
    fi;
    /* SERIALMGR_SendData: SerialMgr_FindClient asserted */
    assert(live[2] && !freed[2]);
    /* writeData / writeInPasses */
    if
    :: skip                                 /* all written, nothing to write, or a failed write */
    :: txReady && devBufHandle ->
end_stuck:
       atomic { WRITE_GIVES_UP -> W(13, exclusive != 0 && txReady) skip }
    fi;
    /* SERIALMGR_SendData: SerialMgr_ReleaseIfCurrent; ~SerialMgrClientCall */
    atomic { if :: su && sh == semGen -> units++ :: else fi; su = 0; inside-- };
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
     * openDevice, startReader */
    atomic {
        if :: willDereg1 = 1 :: willDereg1 = 0 fi;
        GATE_ENTER;
        regLock = 1;
        devBufHandle = 1; txReady = 1;
        gen = 1; semGen = 1; waitSemFree = 1; units = UNITS;
        rxRunning = 1;
        rxLife = CREATED; lifeGen = 1;
        run Reader(1);
        flowLock = 1; h = semGen
    };
    /* attach: SerialMgr_ObtainExclusive (the reader may hold a unit) */
    obtainExclusive(h, held);
    /* attach: AddClient, currentClient, SetFlow(0) */
    atomic { live[1] = 1; currentClient = 1; stopRx = 0 };
    atomic { RELEASE_WAIT_SEM; RELEASE_EXCLUSIVE(h, held); flowLock = 0; regLock = 0; GATE_LEAVE };
    atomic {
        run Pauser();
        run Dereg1();
        run Registrar()
    }
}
