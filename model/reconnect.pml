/*
 * Piece "reconnect": a device without control pipes (no pause in this
 * piece), client 1 attached to opening 1. Its reader gets a read error once;
 * client 1's eventCb(11) deregisters client 1 and registers client 2 on the
 * same device (opening 2, reader 2). Meanwhile a host thread deregisters
 * client 1 too (claim first: at most one of the two gets the record; the
 * other one's claim fails, which stops the process in the code, so that run
 * is cut there), and a host thread deregisters client 2 once it exists.
 * No blocks, no sends: no unit of "SMgr_C" is held by anyone but the
 * deregistration, so the exclusive hold is left out. See model/README.md.
 *
 * Variants:
 *   READER_WRITES_DEVICE  O1: the reader's clean-up closes and clears the
 *                         device record's handle, not its opening's
 *   NO_CLAIM              O2: no claim first, and regLock taken plainly from
 *                         the reader's callback
 */

#define NH 5
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

byte currentClient;     /* 0, 1 or 2 */
byte devBufHandle;      /* the view; 0: -1 */
byte devOpening;        /* 0, 1 or 2 */
bit  regLock;
byte closers;
/* openings 1 and 2 */
bit  running[3], closed[3], semsGone[3];
byte handle[3], life[3];
bit  sigPend[3], readerDone[3], joined[3], stopHandled[3];
bit  pending;
/* driver */
bit  hOpen[NH];
byte hOwn[NH];          /* the opening each handle was opened for */
byte nextH = 1, drvRef;
/* clients */
bit  live[3], claimed[3], freed[3];

inline handleSignal(g) {
    life[g] = life[g] | SIGTAKEN;
    stopHandled[g] = stopHandled[g] | pending;
    pending = 0
}
/* Serial_CloseDevice by a party acting for opening o */
#define CLOSE(h, o) atomic { if :: h != 0 && hOpen[h] -> assert(hOwn[h] == o); hOpen[h] = 0; drvRef-- :: else fi }

/* lockRegistration: from the reader of opening self (0: not a reader), on
 * this device: give up once a deregistration committed to stop it */
inline lockRegistration(self, got) {
    if
    :: self == 0 -> atomic { !regLock -> regLock = 1; got = 1 }
    :: else ->
#ifdef NO_CLAIM
       atomic { !regLock -> regLock = 1; got = 1 }  /* @stuck:reglock */
#else
       do  /* @model:reglock-self */
       :: atomic { !regLock -> regLock = 1; got = 1; break }
       :: atomic { (life[self] & STOPSENT) -> got = 0; W(2, true) break }
       od
#endif
    fi
}

/* SERIALMGR_DeRegisterClient(c) on thread self (0: a host thread) */
inline deregister(c, self) {
#ifdef NO_CLAIM
    atomic { if :: live[c] && !claimed[c] -> ok = 1 :: else -> ok = 0 fi };
#else
    atomic { if :: live[c] && !claimed[c] -> claimed[c] = 1; ok = 1 :: else -> ok = 0 fi };  /* @model:dereg-claim */
#endif
    if
    :: !ok -> goto deregOut       /* the claim fails: the process stops; the run is cut */
    :: else
    fi;
    closers++;
    lockRegistration(self, got);
    if
    :: got ->
       /* detachAndStop */
       atomic { o = devOpening; currentClient = 0; devOpening = 0 };  /* @model:dereg-detach */
       atomic {  /* @model:dereg-commit */
           (life[o] & (CREATED | STARTED)) != CREATED;
           committed = ((life[o] & STARTED) && !(life[o] & ENDED));
           if :: committed -> life[o] = life[o] | STOPSENT :: else fi
       };
       running[o] = 0;
       atomic { h = handle[o]; handle[o] = 0; closed[o] = 1 };  /* @model:dereg-take-handle */
       atomic { CLOSE(h, o); devBufHandle = 0 };  /* @model:dereg-close */
       if
       :: committed -> pending = 1; sigPend[o] = 1
       :: else
       fi;
       /* reapReader: join, or detach on the reader itself */
       if
       :: self == o -> W(1, true) skip  /* @model:reap-detach */
       :: self != o && (life[o] & STARTED) -> readerDone[o]; assert(!joined[o]); joined[o] = 1  /* @stuck:join */  /* @model:dereg-join */
       :: self != o && !(life[o] & STARTED) -> skip
       fi;
       atomic { assert(!freed[c]); live[c] = 0 };  /* @model:dereg-tell */
       atomic { if :: !(life[o] & INLOOP) -> semsGone[o] = 1 :: else fi };
       regLock = 0
    :: else ->
       /* from the callback of a reader that another deregistration stops */
       atomic { assert(!freed[c]); live[c] = 0 };  /* @model:dereg-tell */
       skip
    fi;
    closers--;
    atomic { assert(!freed[c]); freed[c] = 1 };
deregOut:
    skip
}

proctype Reader(byte g) {
    byte c, h, before, o, got;
    bit ok, committed;
    life[g] = life[g] | STARTED;  /* @model:reader-publish */
    life[g] = life[g] | INLOOP;  /* @model:reader-enter-loop */
pass:
    if
    :: !running[g] -> goto cleanup  /* @model:pass-running */
    :: else
    fi;
    h = handle[g];  /* @model:read-handle */
    if
    :: !hOpen[h] -> goto readfailed
    :: else
    fi;
    if
    :: atomic { sigPend[g] -> sigPend[g] = 0; handleSignal(g) } -> goto pass
    :: g == 1 && hOpen[h] -> goto readfailed         /* EIO, once: opening 1 */
    fi;
readfailed:
    /* reportReadError: eventCb(11) to the current client */
    atomic { c = currentClient; assert(c == 0 || (live[c] && !freed[c])) };  /* @model:read-error-event */
    if
    :: c == 1 && g == 1 ->
       /* client 1's eventCb: deregister, then register client 2 */
       deregister(1, g);
       /* SERIALMGR_RegisterClient(client 2) from the callback */
       closers++;
       lockRegistration(g, got);
       if
       :: got ->
          atomic {  /* @model:register-open */
              assert(devBufHandle != 0 || currentClient == 0);
              if
              :: devBufHandle == 0 ->
                 h = nextH; nextH++; hOpen[h] = 1; hOwn[h] = 2; drvRef++;
                 devBufHandle = h; handle[2] = h; running[2] = 1;
                 devOpening = 2; life[2] = CREATED;
                 run Reader(2)
              :: else
              fi
          };
          atomic { live[2] = 1; currentClient = 2; regLock = 0 }  /* @model:register-attach */
       :: else -> W(4, true) skip
       fi;
       closers--
    :: else
    fi;
cleanup:
    semsGone[g] = 1;  /* @model:cleanup-sems */
#ifdef READER_WRITES_DEVICE
    atomic { h = devBufHandle; devBufHandle = 0 };
    CLOSE(h, g);
#else
    atomic { h = handle[g]; handle[g] = 0 };  /* @model:cleanup-take */
    CLOSE(h, g);  /* @model:cleanup-close */
    atomic { if :: !closed[g] -> devBufHandle = 0 :: else fi };  /* @model:cleanup-view */
#endif
    atomic { before = life[g]; life[g] = life[g] | ENDED };  /* @model:reader-end */
    if
    :: (before & STOPSENT) && !(before & SIGTAKEN) ->
       atomic { sigPend[g] -> sigPend[g] = 0; handleSignal(g) }  /* @model:reader-take-signal */
    :: else ->
       atomic { if :: sigPend[g] -> sigPend[g] = 0; handleSignal(g) :: else fi }
    fi;
    readerDone[g] = 1
}

/* A host thread deregisters client 1 */
proctype HostDereg1() {
    byte h, o, got;
    bit ok, committed;
    deregister(1, 0)
}

/* A host thread deregisters client 2 once it is registered */
proctype HostDereg2() {
    byte h, o, got;
    bit ok, committed;
end_wait:
    live[2];
    deregister(2, 0)
}

/* When no thread can move: the driver has open exactly the handle of the
 * device's opening, if it has one */
proctype Monitor() {
end_mon:
    atomic { timeout -> assert(drvRef == (devOpening != 0 -> 1 : 0)) }
}

init {
    atomic {
        nextH = 2; hOpen[1] = 1; hOwn[1] = 1; drvRef = 1;
        devBufHandle = 1; handle[1] = 1; running[1] = 1; devOpening = 1;
        life[1] = CREATED;
        live[1] = 1; currentClient = 1;
        run Reader(1);
        run HostDereg1();
        run HostDereg2();
        run Monitor()
    }
}
