/*
 * Piece "hostread": the stop of a reader that sits in the read of a driver
 * the host registered (a fake on a spare ID, as in the tests). Around that
 * read the reader lets SIGUSR2 in (the signal window); the driver checks its
 * device and then waits in poll(), which only a signal that arrives during
 * the wait interrupts: one that arrives between the check and the wait runs
 * the handler (which only records it, deferred) and is lost for the wait.
 * The driver's close wakes the wait or not (chosen at the start). A
 * deregistration commits to the signal, clears the run flag, closes, marks
 * the shutdown pending, signals, and resends while the reader is still in
 * the host read; then it joins.
 *
 * Environment: one opening, no client callbacks, no pause (piece "pause"),
 * no data from the device. The kernel's delivery of a pending signal is a
 * process of its own, enabled whenever the signal is pending and let in.
 *
 * Variant:
 *   NO_RESEND  the deregistration signals once and joins at once
 * Witnesses: 1 a signal handled (deferred) before the wait began; 2 a resend
 * while the reader waits after such a lost signal.
 */

#ifdef WITNESS
#define W(n, cond) assert(WITNESS != n || !(cond));
#else
#define W(n, cond)
#endif

#define STARTED  2
#define INLOOP   4
#define ENDED    8
#define STOPSENT 16
#define SIGTAKEN 32
#define INHOST   64

bit  running = 1, drvOpen = 1, closeWakes;
byte life = STARTED;
bit  window, deferred, sigPend, inPoll;
bit  pending, stopHandled, readerDone;

inline handleSignal() {
    life = life | SIGTAKEN;
    stopHandled = stopHandled | pending;
    pending = 0
}

proctype Reader() {
    byte before;
    bit signalled;
    life = life | INLOOP;
pass:
    if
    :: !running -> goto ending  /* @model:pass-running */
    :: else
    fi;
    life = life | INHOST;  /* @model:host-read-enter */
    window = 1;
    /* the host driver: a closed device reads 0 at once; else it waits in poll */
    atomic { if :: !drvOpen -> goto leave :: else fi };
    atomic { W(1, deferred) inPoll = 1 };  /* a signal taken before the wait is lost for it */
    !inPoll;  /* @stuck:poll */
leave:
    atomic { window = 0; signalled = deferred; deferred = 0 };  /* @model:host-window-close */
    life = life & ~INHOST;  /* @model:host-read-leave */
    if
    :: signalled -> handleSignal()
    :: else
    fi;
    goto pass;
ending:
    atomic { before = life; life = life | ENDED };  /* @model:reader-end */
    if
    :: (before & STOPSENT) && !(before & SIGTAKEN) ->
       atomic { sigPend -> sigPend = 0; handleSignal() }  /* @stuck:end-signal */  /* @model:reader-take-signal */
    :: else ->
       atomic { if :: sigPend -> sigPend = 0; handleSignal() :: else fi }
    fi;
    readerDone = 1
}

/* The kernel: a pending SIGUSR2 that the reader lets in runs the handler,
 * which inside the window only records it; a wait in poll then ends (EINTR). */
proctype Kernel() {
end_deliver:
    do
    :: atomic { sigPend && window -> sigPend = 0; deferred = 1; inPoll = 0 }
    od
}

proctype Dereg() {
    bit committed;
    atomic { committed = !(life & ENDED); if :: committed -> life = life | STOPSENT :: else fi };  /* @model:dereg-commit */
    running = 0;  /* @model:dereg-running */
    atomic { drvOpen = 0; if :: closeWakes -> inPoll = 0 :: else fi };  /* @model:dereg-close */
    if
    :: committed ->
       pending = 1;  /* @model:dereg-pending */
       sigPend = 1;  /* @model:dereg-signal */
#ifndef NO_RESEND
       /* resendWhileInHostRead: while the reader is in the host read, the
        * signal again (the sleep between resends is left out) */
       do
       :: (life & INHOST) && !(life & ENDED) -> W(2, inPoll && deferred) sigPend = 1  /* @model:dereg-resend */
       :: else -> break
       od
#endif
    :: else
    fi;
    readerDone;  /* @stuck:join */  /* @model:dereg-join */
    assert(!committed || (stopHandled && !pending))
}

init {
    atomic {
        if :: closeWakes = 0 :: closeWakes = 1 fi;
        run Reader(); run Kernel(); run Dereg()
    }
}
