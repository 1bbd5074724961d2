/*
 * Piece "pause" (the main model): one opening of the USB device (ID 5), its
 * reader, client 1 pausing and resuming from a host thread, flow control from
 * the reader's own dataCb, the reopen at the end of a pause, and client 1's
 * deregistration from a host thread (or none). The other pieces are
 * reconnect.pml, bridge.pml and hostread.pml; model/README.md says what each
 * piece checks, its environment and the merges.
 *
 * One process per thread. Variables carry the code's names: the device record
 * (stopRx, currentClient, devBufHandle as the view, the gate, regLock,
 * flowLock, pauseLock), the opening (running, handle, closed, semsGone,
 * pauseEpoch, ackEpoch, overriddenEpoch, the ReaderLife word "life"), the
 * driver (hOpen[h] per handle, drvRef its reference count).
 *
 * A step is one atomic statement. Where the model merges steps that the code
 * does separately, a "merge:" comment says why no other thread can act in
 * between in a way that matters; a lock is taken together with the first
 * thing done under it.
 *
 * Variants (model/check.sh names the counterexample of each):
 *   COUNT_AFTER_STOP      the pause counts itself after it stored stopRx = 1
 *   SHARED_HANDLE         O3: the deregistration closes the device's shared
 *                         handle and stores -1 into it; the reopen stores its
 *                         new handle there whatever happened meanwhile
 *   CB_NO_FLOWLOCK        O9: flow control from dataCb without flowLock
 *   NO_OVERRIDE           O9: a STOP that a resume overrode still parks the reader
 *   NO_SIGNAL             the deregistration never sends SIGUSR2
 *   PENDING_AFTER_SIGNAL  the deregistration marks pending after the signal
 *   RELEASE_BEFORE_CLEAR  a resume releases wait_sem before it clears stopRx
 *   NO_JOIN               the deregistration does not join
 *   NO_ACK_WAIT           a USB pause does not wait for the OK
 *   CODE_ACK_READ         the old order: SerialMgr_AckPauses reads the count
 *                         without flowLock (a fault this model found)
 *   NO_RESUME_ANSWER      with RESUMER: a resume that overrides a pause sends
 *                         no OK (a fault this model found with RESUMER)
 *   NO_ACK_HOLD           with RESUMER: a pause holds the ack pipe only while
 *                         it reads, not from before its count (a fault this
 *                         model found with RESUMER)
 *   STALE_STOP_PARKS      a STOP read while no pause is on parks the reader
 *                         unless a resume overrode a pause that is unanswered
 *                         (the older rule; a fault this model found)
 *
 * Environment options: RESUMER adds a second host thread that resumes
 * client 1 twice, at any moments (resumes racing a pause and a reopen).
 * NO_READ_ERROR takes the read error away, so that a reader cannot end on
 * its own: a pause left waiting is then a deadlock.
 *
 * "@stuck:NAME" marks a line where a thread can wait for ever in a deadlock
 * variant (model/check.sh compares the marks of every waiting process).
 */

#ifndef ROUNDS
#define ROUNDS 2        /* pause/resume rounds of client 1's host thread */
#endif
#ifndef BLOCKS
#define BLOCKS 2        /* blocks the device delivers */
#endif
#ifndef ACK_SLOTS
#define ACK_SLOTS 4
#endif
#define UNITS 5         /* kUseUnits */
#define NH 8            /* handle values 1..NH-1; 0 stands for -1 */

/* ReaderLife bits */
#define CREATED  1
#define STARTED  2
#define INLOOP   4
#define ENDED    8
#define STOPSENT 16
#define SIGTAKEN 32

#ifdef WITNESS
#define W(n, cond) assert(WITNESS != n || !(cond));
#else
#define W(n, cond)
#endif

/* device record gDevList[5] */
bit  stopRx;
byte currentClient;     /* 0 or 1 */
byte devBufHandle;      /* the view; 0: -1 */
bit  devOpening;        /* dev.opening is the opening (else none) */
bit  regLock, flowLock, pauseLock;
byte closers, inFlight; /* CallGate */
/* the opening */
bit  running, closed, semsGone;
byte handle;
byte life;
byte pauseEpoch, ackEpoch, overEpoch, awaited;
bit  waitSemFree = 1;
byte units;
/* driver */
bit  hOpen[NH];
byte nextH = 1;
byte drvRef;
chan ctl = [3] of { bit };
chan ack = [ACK_SLOTS] of { bit };
bit  ackReadLock;
/* client 1 */
byte cstate;            /* 1 sending, 2 paused, 0 deregistered */
bit  live, claimed, freed;
/* the shutdown signal */
bit  pending, sigPend, stopHandled;
/* ghosts */
bit  pauseLive, willDereg, readerDone, joined, paused1, parkedNow, cbDone, readError;
bit  delivering, keptBlk;  /* the opening's delivering mark; the reader's kept block */
byte blocks;

inline handleSignal() {
    life = life | SIGTAKEN;
    stopHandled = stopHandled | pending;
    pending = 0
}

/* Serial_OpenDevice(5, ...): a new handle; the USB open drains the control
 * pipe, and the ack pipe unless a pause holds its read lock */
inline openDev(h) {
    atomic {
        do :: nempty(ctl) -> ctl?_ :: empty(ctl) -> break od;
        if :: !ackReadLock -> do :: nempty(ack) -> ack?_ :: empty(ack) -> break od :: else fi;
        h = nextH; nextH++; assert(h < NH);
        hOpen[h] = 1; drvRef++
    }
}
/* Serial_CloseDevice(h): a handle not open (-1, or closed before) does nothing */
#define CLOSE(h) atomic { if :: h != 0 && hOpen[h] -> hOpen[h] = 0; drvRef-- :: else fi }

/* The state change of a flow-control call (SerialMgr_SetFlow), the caller
 * holding flowLock. A USB pause counts itself before it stores stopRx; ep is
 * its count when it must wait for the OK, else 0. */
inline setFlowPause(ep) {
    /* @model:setflow-count */
#ifndef COUNT_AFTER_STOP
    atomic { ep = 0; if :: !stopRx && devOpening -> pauseEpoch++; ep = pauseEpoch :: else fi };
    atomic { stopRx = 1; cstate = 2; pauseLive = 1; assert(stopRx == (cstate == 2)) };  /* @model:setflow-store */
#else
    atomic { ep = 0; if :: !stopRx && devOpening -> ep = 1 :: else fi; stopRx = 1; cstate = 2; pauseLive = 1 };
    atomic { if :: ep -> pauseEpoch++; ep = pauseEpoch :: else fi };
#endif
    /* @model:setflow-can-answer */
    atomic { if :: ep != 0 && !((life & INLOOP) && !(life & ENDED)) -> ep = 0 :: else fi }
}
inline setFlowResume(ov) {
#ifdef RELEASE_BEFORE_CLEAR
    atomic { if :: !semsGone && !waitSemFree -> waitSemFree = 1 :: else fi };
#endif
    atomic { stopRx = 0; paused1 = 0; pauseLive = 0 };  /* @model:setflow-store */
    /* @model:setflow-override */
    atomic { ov = 0; if :: devOpening && pauseEpoch != ackEpoch -> overEpoch = pauseEpoch; ov = (awaited > ackEpoch); awaited = 0 :: else fi };
#ifndef RELEASE_BEFORE_CLEAR
    /* @model:setflow-release */
    atomic { if :: !semsGone && !waitSemFree -> waitSemFree = 1 :: else fi };
#endif
    atomic { cstate = 1; assert(stopRx == (cstate == 2)) }
}
/* SerialMgr_AnswerOverridden, after flowLock: the OK for an overridden pause that waits */
inline answerOverridden(ov) {
#ifndef NO_RESUME_ANSWER
    atomic { if :: ov -> assert(nfull(ack)); ack!1 :: else fi }  /* @model:resume-answer */
#else
    skip
#endif
}

/* SerialMgr_AckPauses: ackEpoch = pauseEpoch (a load under flowLock, then the
 * store), then OK. CODE_ACK_READ restores the old unlocked load: see
 * model/README.md, "Faults the model found". */
inline ackPauses(t) {
#ifdef CODE_ACK_READ
    t = pauseEpoch;
#else
    atomic { !flowLock -> t = pauseEpoch };  /* @model:ack-pauses */
#endif
    ackEpoch = t;
    atomic { assert(nfull(ack)); ack!1 }
}

/* SerialMgrClientCall of client 1 from a host thread. merge: the entry and
 * the second FindClient are one step; a claim between them fails the call in
 * the code, and after this step the call re-checks under flowLock and fails
 * the same way. */
inline clientCall(ok) {
    do
    :: atomic { !live || claimed -> ok = 0; break }
    :: atomic { live && !claimed && closers == 0 -> inFlight++; ok = 1; break }  /* @model:call-enter */
    :: atomic { live && !claimed && closers != 0 } ->
       closers == 0  /* @stuck:gate */  /* @model:call-wait-open */
    od
}

proctype Reader() {
    byte c, h, fresh, t;
    byte before;
    bit ok, answer, ov;
    /* takeOpening, life.publish */
    life = life | STARTED;  /* @model:reader-publish */
    if
    :: skip
    :: goto ending          /* AT_STUBS_IsReadyForCommsIO() == 0: no clean-up */
    fi;
    life = life | INLOOP;  /* @model:reader-enter-loop */
pass:
    /* passLoop: while running; stopRx read */
    if
    :: !running -> goto cleanup  /* @model:pass-running */
    :: else
    fi;
    if
    :: stopRx -> goto park  /* @model:pass-stop */
    :: else
    fi;
    if
    :: keptBlk -> keptBlk = 0; goto deliver  /* @model:deliver-kept */
    :: else
    fi;
    /* readBlock: the handle under the opening's lock */
#ifdef SHARED_HANDLE
    h = devBufHandle;
#else
    h = handle;  /* @model:read-handle */
#endif
    /* Serial_Read: a handle not open returns 0 with errno 0 (not EAGAIN) */
    if
    :: !hOpen[h] -> goto readfailed
    :: else
    fi;
    /* the USB read waits on the tty and the control pipe, SIGUSR2 let in; a
     * reader waiting here for data is a valid end */
end_read:
    if
    :: atomic { nempty(ctl) -> do :: nempty(ctl) -> ctl?_ :: empty(ctl) -> break od } ->
       if
       :: !running -> goto readfailed
       :: else
       fi;
       /* SerialMgr_StopStillWanted, under flowLock */
       atomic {  /* @model:stop-still-wanted */
           !flowLock ->
#if defined(NO_OVERRIDE)
           ok = 1;
#elif defined(STALE_STOP_PARKS)
           ok = (stopRx || !(overEpoch > ackEpoch));
#else
           ok = stopRx;
#endif
           answer = 0;
           if
           :: ok ->
              assert(!(overEpoch > ackEpoch) || stopRx);  /* a resume overrode the pause */
              assert(stopRx || cstate != 1);              /* the last call was a resume */
              stopRx = 1
           :: else ->
              if
              :: overEpoch > ackEpoch -> W(2, true) ackEpoch = pauseEpoch; answer = 1
              :: else
              fi
           fi
       };
       if
       :: answer -> atomic { assert(nfull(ack)); ack!1 }  /* @model:stop-overridden-ack */
       :: else
       fi;
       goto pass
    :: atomic { hOpen[h] && blocks < BLOCKS -> blocks++; assert(!paused1) } ->  /* no read once a pause returned */
       if
       :: !running -> goto readfailed
       :: else
       fi;
deliver:
       /* deliver: one unit of useSem (the reader destroys it only itself) */
       atomic { units > 0 -> units-- };  /* @model:deliver-unit */
       /* merge: the delivering mark and the look at stopRx; a pause that
        * stores stopRx between them waits for the mark either way, and the
        * reader clears it after it kept the block */
       atomic {  /* @model:deliver-client */
           delivering = 1;
           if
           :: stopRx -> keptBlk = 1; c = 0
           :: else ->
              c = currentClient;
              assert(c == 0 || (live && !freed));
              assert(!(c == 1 && paused1))
           fi
       };
       /* dataCb: flow control once (SERIALMGR_SetFlowControl on the
        * reader: passes the gate, flowLock, no wait for an OK) */
       if
       :: c == 1 && !cbDone ->
          /* on the reader the gate is passed (bypass); a claimed record fails the call */
          atomic { cbDone = 1; ok = (live && !claimed); if :: ok -> inFlight++ :: else fi };  /* @model:call-enter */
          if
          :: !ok -> goto cbOut
          :: else
          fi;
#ifndef CB_NO_FLOWLOCK
          atomic { !flowLock -> flowLock = 1 };  /* @model:cb-flowlock */
#endif
          if
          :: setFlowPause(t); W(3, true) skip
          :: setFlowResume(ov); W(4, true) skip
          fi;
#ifndef CB_NO_FLOWLOCK
          flowLock = 0;
#endif
          answerOverridden(ov);
          inFlight--
       :: else
       fi;
cbOut:
       atomic { delivering = 0; if :: !semsGone -> units++ :: else fi };
       goto pass
    :: atomic { sigPend -> sigPend = 0; handleSignal() } ->
       goto pass            /* EINTR, then EAGAIN */
#ifndef NO_READ_ERROR
    :: atomic { hOpen[h] && !readError -> readError = 1 } ->
       goto readfailed      /* EIO */
#endif
    fi;
park:
    /* SerialMgr_Park */
    if
    :: !running -> goto pass
    :: else
    fi;
    atomic { do :: nempty(ctl) -> ctl?_ :: empty(ctl) -> break od };  /* @model:park-drop-stops */
    ackPauses(t);
    parkedNow = 1;
end_park:
    atomic { waitSemFree -> waitSemFree = 0; parkedNow = 0 };  /* @stuck:park */  /* @model:park-obtain */
    if
    :: stopRx -> goto park  /* @model:park-while */
    :: else
    fi;
    if
    :: !running -> goto pass
    :: else
    fi;
    if
    :: atomic { currentClient == 0 -> W(5, true) skip }; goto cleanup  /* @model:park-client-gone */
    :: else
    fi;
    /* reopen: the handle taken under the opening's lock, closed, opened
     * anew, stored only if the opening is not closed */
#ifdef SHARED_HANDLE
    h = devBufHandle;
#else
    atomic { ok = !closed; if :: ok -> h = handle; handle = 0 :: else fi };  /* @model:reopen-take */
    if
    :: !ok -> goto pass
    :: else
    fi;
#endif
    CLOSE(h);  /* @model:reopen-close */
    openDev(fresh);  /* @model:reopen-open */
#ifdef SHARED_HANDLE
    devBufHandle = fresh;
#else
    atomic {  /* @model:reopen-store */
        if
        :: !closed -> handle = fresh; devBufHandle = fresh; fresh = 0
        :: else -> W(6, true) skip
        fi
    };
    CLOSE(fresh);  /* @model:reopen-close-own */
#endif
    W(1, true)
    goto pass;
readfailed:
    /* reportReadError: eventCb(11) to the current client (nothing in this piece) */
    atomic { c = currentClient; assert(c == 0 || (live && !freed)) };
cleanup:
    /* cleanUp: semsGone; the view cleared only while the opening is not closed */
    semsGone = 1;  /* @model:cleanup-sems */
#ifdef SHARED_HANDLE
    atomic { h = devBufHandle; devBufHandle = 0 };
    CLOSE(h);
#else
    atomic { h = handle; handle = 0 };  /* @model:cleanup-take */
    CLOSE(h);  /* @model:cleanup-close */
    atomic { if :: !closed -> devBufHandle = 0 :: else fi };  /* @model:cleanup-view */
#endif
ending:
    /* endReader: life.end, the committed signal, the OK for unanswered pauses */
    atomic { before = life; life = life | ENDED };  /* @model:reader-end */
    if
    :: (before & STOPSENT) && !(before & SIGTAKEN) ->
       atomic { sigPend -> W(7, true) sigPend = 0; handleSignal() }  /* @stuck:end-signal */  /* @model:reader-take-signal */
    :: else ->
       atomic { if :: sigPend -> sigPend = 0; handleSignal() :: else fi }
    fi;
    if
    :: pauseEpoch != ackEpoch -> W(8, true) ackPauses(t)  /* @model:reader-end-ack */
    :: else
    fi;
    readerDone = 1
}

/* Client 1's host thread: ROUNDS pauses and resumes */
proctype Pauser() {
    byte r, ep;
    bit ov;
    bit ok;
    do
    :: r < ROUNDS ->
       clientCall(ok);
       if
       :: !ok -> goto resume
       :: else
       fi;
       atomic { !pauseLock -> pauseLock = 1 };  /* @model:pause-lock */
#ifndef NO_ACK_HOLD
       ackReadLock = 1;  /* @model:pause-ack-hold */
#endif
       atomic {  /* @model:flow-lock-find */
           !flowLock -> flowLock = 1;
           if :: claimed -> ok = 0; flowLock = 0; pauseLock = 0; ackReadLock = 0; inFlight-- :: else fi
       };
       if
       :: !ok -> goto resume
       :: else
       fi;
       setFlowPause(ep);
       atomic { if :: ep != 0 -> awaited = ep :: else fi };  /* @model:pause-awaited */
       flowLock = 0;
       if
       :: ep != 0 ->
          /* SerialMgr_AwaitPark: STOP, then OKs until ackEpoch >= ep */
          atomic { assert(nfull(ctl)); ctl!1 };  /* @model:await-stop */
#ifndef NO_ACK_WAIT
          do  /* @stuck:ack (a blocked first step is shown at the do) */
          ::
#ifdef NO_ACK_HOLD
             ackReadLock = 1;
             atomic { nempty(ack) -> do :: nempty(ack) -> ack?_ :: empty(ack) -> break od; ackReadLock = 0 };  /* @stuck:ack */
#else
             atomic { nempty(ack) -> do :: nempty(ack) -> ack?_ :: empty(ack) -> break od };  /* @stuck:ack */  /* @model:await-ok */
#endif
             if
             :: ackEpoch >= ep || overEpoch >= ep -> break  /* @model:await-epoch */
             :: else
             fi
          od;
#endif
          skip
       :: else
       fi;
       ackReadLock = 0;
       /* SerialMgr_AwaitDelivery: a delivery under way ends first */
       !delivering;  /* @stuck:delivery */  /* @model:await-delivery */
       atomic { pauseLock = 0; inFlight--; paused1 = pauseLive };
resume:
       paused1 = 0;
       clientCall(ok);
       if
       :: !ok -> goto next
       :: else
       fi;
       atomic {  /* @model:flow-lock-find */
           !flowLock -> flowLock = 1;
           if :: claimed -> ok = 0; flowLock = 0; inFlight-- :: else fi
       };
       if
       :: !ok -> goto next
       :: else
       fi;
       setFlowResume(ov);
       flowLock = 0;
       answerOverridden(ov);
       inFlight--;
next:
       r++
    :: r == ROUNDS -> break
    od
}

/* Client 1's deregistration from a host thread, in the runs that chose one */
proctype Dereg() {
    byte h, held;
    bit committed, ov;
    if
    :: !willDereg -> goto done
    :: else
    fi;
    /* SerialMgr_ClaimClient first */
    atomic { assert(live && !claimed); claimed = 1 };  /* @model:dereg-claim */
    closers++;  /* @model:dereg-gate-close */
    atomic { !regLock -> regLock = 1 };  /* @model:dereg-reglock */
    /* ExclusiveHold::obtain: "SMgr_W" (no other registrar here), then the
     * five units. merge: the units are taken in one step; the only other
     * holder is the reader, one unit at a time around dataCb, and it cannot
     * take one while fewer than five are free either way. A destroyed
     * semaphore's obtain fails and counts as taken. */
    atomic {  /* @model:hold-obtain */
        if
        :: semsGone -> held = UNITS
        :: !semsGone && units == UNITS -> units = 0; held = UNITS
        fi
    };
    /* detachAndStop under flowLock: currentClient = NULL, SetFlow(0), no opening */
    atomic { !flowLock -> flowLock = 1; currentClient = 0 };  /* @model:dereg-detach */
    setFlowResume(ov);
    atomic { devOpening = 0; flowLock = 0 };  /* @model:dereg-take-opening */
    answerOverridden(ov);
    /* stopReader: waitUntilStarted, commitStop before the run flag.
     * merge: the wait and the commit; the wait's condition stays true, and
     * a reader that ends in between is a reader that ended before. */
    atomic {  /* @model:dereg-commit */
        (life & (CREATED | STARTED)) != CREATED;
        committed = ((life & STARTED) && !(life & ENDED));
        if :: committed -> life = life | STOPSENT :: else fi
    };
    running = 0;  /* @model:dereg-running */
#ifdef SHARED_HANDLE
    h = devBufHandle;
    CLOSE(h);
    devBufHandle = 0;
#else
    atomic { h = handle; handle = 0; closed = 1 };  /* @model:dereg-take-handle */
    /* merge: the close and the view's -1; in this piece no other thread reads the view */
    atomic { CLOSE(h); devBufHandle = 0 };  /* @model:dereg-close */
#endif
    /* lendOne */
    atomic { if :: held == UNITS && !semsGone -> units++; held-- :: else fi };  /* @model:dereg-lend */
    if
    :: committed ->
#ifdef PENDING_AFTER_SIGNAL
       sigPend = 1;
       pending = 1
#else
       pending = 1;  /* @model:dereg-pending */
#ifndef NO_SIGNAL
       sigPend = 1  /* @model:dereg-signal */
#endif
#endif
    :: else
    fi;
    /* reapReader: join */
#ifndef NO_JOIN
    if  /* @stuck:join */
    :: atomic { (life & STARTED) && readerDone -> assert(!joined); joined = 1 }  /* @model:dereg-join */
    :: atomic { !(life & STARTED) -> joined = 1; readerDone = 1 }
    fi;
#endif
    assert(readerDone && joined);
    assert(!committed || (stopHandled && !pending));
    assert(drvRef == 0);
    /* tellDeregistered: state 0, eventCb(14), RemoveClient */
    atomic { cstate = 0; live = 0 };  /* @model:dereg-tell */
    atomic { if :: !semsGone -> units = units + held :: else fi; held = 0 };  /* @model:dereg-release-hold */
    /* destroyLeftovers of a reader that never entered its loop */
    atomic { if :: !(life & INLOOP) -> semsGone = 1 :: else fi };  /* @model:dereg-leftovers */
    regLock = 0;
    atomic { inFlight == 0 -> closers-- };  /* @stuck:drain */  /* @model:dereg-drain */
    atomic { assert(!freed); freed = 1 };
done:
    skip
}

#ifdef RESUMER
/* A second host thread: two resumes of client 1, at any moments */
proctype Resumer() {
    byte n;
    bit ok, ov;
    do
    :: n < 2 ->
       n++;
       clientCall(ok);
       if
       :: !ok -> break
       :: else
       fi;
       atomic {  /* @model:flow-lock-find */
           !flowLock -> flowLock = 1;
           if :: claimed -> ok = 0; flowLock = 0; inFlight-- :: else fi
       };
       if
       :: !ok -> break
       :: else
       fi;
       setFlowResume(ov);
       flowLock = 0;
       answerOverridden(ov);
       inFlight--
    :: n == 2 -> break
    od
}
#endif

/* At the end (no thread can move): a parked reader is one whose client is paused */
proctype Monitor() {
end_mon:
    atomic { timeout -> assert(!parkedNow || (stopRx && cstate == 2)) }
}

init {
    byte h;
    /* SERIALMGR_RegisterClient(client 1) on the closed device: open, the
     * opening with its semaphores, published, the reader started, attach */
    atomic {
        if :: willDereg = 1 :: willDereg = 0 fi;
        openDev(h);
        handle = h; devBufHandle = h;
        running = 1; units = UNITS; devOpening = 1;
        life = CREATED;
        live = 1; currentClient = 1; cstate = 1;
        run Reader();
        run Pauser();
        run Dereg();
#ifdef RESUMER
        run Resumer();
#endif
        run Monitor()
    }
}
