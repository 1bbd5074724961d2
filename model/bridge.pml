/*
 * Piece "bridge": two devices, 0 and 1, each with one client, one reader and
 * the exclusive lock (UNITS units of "SMgr_C"). Each reader delivers BBLOCKS
 * blocks; its dataCb forwards each to the other device's client with
 * SERIALMGR_SendData, a call nested in a callback. A host thread registers
 * again on device 1 (the record stays valid while that registration waits),
 * another one, the second sender, sends on device 1, and both clients are
 * deregistered at once, each by a host thread of its own.
 *
 * Environment: no pause and no reopen (the pause piece has them); a read
 * ends at once when its device is closed; the signal and the join are one
 * wait for the reader's end (the pause piece checks the signal). The gate's
 * give-up rule of a blocking send (no progress while a closer waits) is left
 * out: every send here takes what it writes.
 *
 * Variant:
 *   CB_WAITS_AT_GATE  O6, the old order: a record counts as valid until it
 *                     is removed (no claim first) and a call from a callback
 *                     waits at a closed gate like any other
 *   NO_SENDER         without the host sender and the registration (the
 *                     variant's deadlock then names the four threads of the
 *                     two devices only)
 */

#define UNITS 2
#ifndef BBLOCKS
#define BBLOCKS 2
#endif

#ifdef WITNESS
#define W(n, cond) assert(WITNESS != n || !(cond));
#else
#define W(n, cond)
#endif

byte units[2], held[2];
byte closers[2], inFlight[2];
bit  regLock[2], running[2], currentClient[2];
bit  live[2], claimed[2], freed[2];
bit  readerDone[2];

#ifdef CB_WAITS_AT_GATE
#define VALID(o) (live[o])
#else
#define VALID(o) (live[o] && !claimed[o])
#endif

/* SERIALMGR_SendData with client o: the gate of device o, then a unit.
 * merge: the entry and the second look at the record are one step; a claim
 * between them makes the code leave again, as the first option does. */
inline sendOn(o, nested, ok) {
    do
    :: atomic { !VALID(o) -> ok = 0; break }
    :: atomic { VALID(o) && closers[o] == 0 -> inFlight[o]++; ok = 1; break }  /* @model:call-enter */
#ifndef CB_WAITS_AT_GATE
    :: atomic { VALID(o) && closers[o] != 0 && nested -> W(1, true) ok = 0; break }  /* @model:call-nested-fails */
    :: atomic { VALID(o) && closers[o] != 0 && !nested -> W(2, true) skip } ->
#else
    :: atomic { VALID(o) && closers[o] != 0 } ->
#endif
       closers[o] == 0  /* @stuck:gate */  /* @model:call-wait-open */
    od;
    if
    :: ok ->
       atomic { units[o] > 0 -> units[o]-- };  /* @stuck:unit */  /* @model:send-unit */
       assert(!freed[o]);
       atomic { units[o]++; inFlight[o]-- }
    :: else
    fi
}

proctype Reader(byte d) {
    byte b;
    bit ok;
    do
    :: !running[d] -> break  /* @model:pass-running */
    :: running[d] && b < BBLOCKS ->
       b++;
       atomic { units[d] > 0 -> units[d]-- };  /* @stuck:unit */  /* @model:deliver-unit */
       if
       :: currentClient[d] -> sendOn(1 - d, 1, ok)  /* @model:deliver-client */
       :: else
       fi;
       units[d]++
    :: running[d] && b == BBLOCKS -> !running[d]; break  /* the read ends at the close */
    od;
    readerDone[d] = 1
}

proctype Dereg(byte d) {
    atomic { assert(live[d] && !claimed[d]); claimed[d] = 1 };  /* @model:dereg-claim */
    closers[d]++;  /* @model:dereg-gate-close */
    atomic { !regLock[d] -> regLock[d] = 1 };  /* @model:dereg-reglock */
    /* merge: the five units in one step; the other holders take one unit
     * at a time and give it back without waiting for anything of this device */
    atomic { units[d] == UNITS -> units[d] = 0; held[d] = UNITS };  /* @stuck:units */  /* @model:hold-obtain */
    currentClient[d] = 0;  /* @model:dereg-detach */
    running[d] = 0;  /* @model:dereg-running */
    atomic { held[d]--; units[d]++ };  /* @model:dereg-lend */
    readerDone[d];  /* @stuck:join */  /* @model:dereg-join */
    live[d] = 0;  /* @model:dereg-tell */
    atomic { units[d] = units[d] + held[d]; held[d] = 0 };  /* @model:dereg-release-hold */
    regLock[d] = 0;
    inFlight[d] == 0;  /* @stuck:drain */  /* @model:dereg-drain */
    atomic { closers[d]--; freed[d] = 1 }
}

/* A registration on device 1 while it is open: it only replaces the current
 * client (here by the same record), under the exclusive lock. */
proctype Registrar() {
    closers[1]++;  /* @model:register-gate-close */
    atomic { !regLock[1] -> regLock[1] = 1 };  /* @model:register-reglock */
    if
    :: running[1] ->
       atomic { units[1] == UNITS -> units[1] = 0 };  /* @stuck:units */  /* @model:hold-obtain */
       units[1] = UNITS  /* @model:register-attach */
    :: else  /* closed meanwhile: a new opening, not in this piece */
    fi;
    atomic { regLock[1] = 0; closers[1]-- }
}

proctype Sender() {
    bit ok;
    sendOn(1, 0, ok)
}

init {
    atomic {
        units[0] = UNITS; units[1] = UNITS;
        live[0] = 1; live[1] = 1;
        running[0] = 1; running[1] = 1;
        currentClient[0] = 1; currentClient[1] = 1;
        run Reader(0); run Reader(1);
        run Dereg(0); run Dereg(1);
#ifndef NO_SENDER
        run Registrar(); run Sender()
#endif
    }
}
