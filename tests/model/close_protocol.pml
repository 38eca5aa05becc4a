/*
 * The close protocol of runtime/in_flight.cpp, checked over every
 * interleaving on x86-TSO memory. Names are the code's names.
 *
 * Threads (each a process):
 *   query  (Q) two calls on stream R, each an ioctl on R's descriptor;
 *              with -DFILL one call instead, a read that moves input into
 *              R's buffer (the buffer fill) and wakes R's sleepers; with
 *              -DFORK a fork between its calls or inside the first, after
 *              which the search follows the child;
 *   waiter (W) one call on R: a blocking zl_wait_for_single_fd (ppoll with
 *              no timeout, the descriptor never ready, so only the wake
 *              signal ends it); with -DFALLBACK_READ the fallback blocking
 *              read(2) that only the wake signal ends, instead;
 *   closer (C) close_record(R), chosen at the start from three shapes:
 *              from no call on R; as the call R.close (its own chain names
 *              R); from inside another call on R on the same thread (two
 *              of its chain slots name R). Absent with -DFILL (so that
 *              only the fill can end the wait) unless -DWITH_CLOSE.
 *
 * Memory: each thread's plain stores go into a FIFO store buffer of its own
 * (BUF entries, more than any thread here ever holds) and reach memory when
 * the memory process drains them, oldest first, at any moment; a thread's loads
 * read its own newest buffered store of the location, memory otherwise. A
 * seq_cst fence waits for the thread's buffer to be empty; a locked
 * instruction (exchange, fetch_add, the mutex) does too and then acts on
 * memory at once. membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) makes every
 * other thread pass a full barrier at some moment during the call: the
 * closer waits, thread by thread, for a moment at which that thread's buffer
 * is empty. Plain fields guarded by table_mu (released, release_pending) are
 * read and written under the mutex only, so they are modelled as shared
 * variables.
 *
 * Signals: the wake signal is blocked in every thread except (a) inside
 * ppoll, whose mask opens it atomically, (b) around the fallback read. A
 * tgkill makes it pending; a pending signal is delivered when the thread's
 * mask opens: ppoll/read(2) then return EINTR; in the fallback read's window
 * between unblocking and read(2) the handler runs and the signal is spent.
 *
 * Properties:
 *   - no system call on the descriptor after its release (assert at every
 *     modelled ioctl, ppoll, read);
 *   - no release while a caller that passed its closed check is still in its
 *     call, and at most one release (assert in release);
 *   - at the end, the descriptor released exactly once (monitor);
 *   - no thread left blocked (no lost wake-up, no deadlock, the self close
 *     included): blocking points carry no end label, so a thread stuck in
 *     ppoll, read(2), the mutex or a wait is an invalid end state.
 *
 * Configurations (-D...): FENCED: the fallback path without membarrier
 * (seq_cst fences after the slot store and the slot clear, a fence in the
 * close). FALLBACK_READ, FILL, FORK: see above; FORK is checked with pan -E
 * (the threads that do not exist in the child stop where they are) and the
 * monitor's timeout catches a stuck child instead. PLANT_*: one planted fault each,
 * which the check must catch; see tests/model/check.
 */

#define Q 0
#define W 1
#define C 2
#define NT 3

/* memory locations */
#define SLOT(t, d) ((t) * 2 + (d)) /* chain[d] of thread t: 1 = names R */
#define CLOSED 6                   /* R->closed */
#define IN_READ 7                  /* W's in_read: 1 = R */
#define PENDING 8                  /* R->pending */
#define SLEEPERS 9                 /* R->sleepers */
#define NMEM 10

#ifndef BUF
#define BUF 4                      /* store buffer entries per thread: no thread here
                                      stores more than 4 times, so none ever stalls */
#endif

byte mem[NMEM];
byte bvar[NT * BUF];               /* store buffers: location, */
byte bval[NT * BUF];               /* value, */
byte blen[NT];                     /* entries in use */

byte released;                     /* times R's descriptor was closed */
bool release_pending;
byte table_mu;                     /* 0 free, else holder + 1 */
bool sigpend[NT];                  /* wake signal pending */
bool sigopen[NT];                  /* wake signal unblocked outside a blocking call */
bool insys[NT];                    /* blocked in ppoll/read(2), mask open */
byte live[NT];                     /* calls past their closed check, not yet left */
byte finished;                     /* caller threads that have ended */
byte scratch;                      /* loop index inside d_steps; always 0 between steps */
bool forked;                       /* FORK: query has forked; what runs now is the child */
bool child_done;                   /* FORK: query has ended in the child */

/* FORK: the other threads do not exist in the child */
#ifdef FORK
#define ALIVE provided (!forked)
#else
#define ALIVE
#endif

/* ---- memory ---- */

inline store_(t, v, x) {
  bvar[t * BUF + blen[t]] = v;
  bval[t * BUF + blen[t]] = x;
  blen[t]++
}

inline STORE(t, v, x) {
  d_step { blen[t] < BUF -> store_(t, v, x) }
}

inline load_(t, v, r) {
  r = mem[v];
  scratch = 0;
  do
  :: scratch < blen[t] ->
     if
     :: bvar[t * BUF + scratch] == v -> r = bval[t * BUF + scratch]
     :: else -> skip
     fi;
     scratch++
  :: else -> break
  od;
  scratch = 0
}

inline LOAD(t, v, r) {
  d_step { load_(t, v, r) }
}

inline FENCE(t) {
  (blen[t] == 0)
}

inline drain(t) {
  d_step {
    blen[t] > 0 ->
    mem[bvar[t * BUF]] = bval[t * BUF];
    scratch = 1;
    do
    :: scratch < BUF ->
       bvar[t * BUF + scratch - 1] = bvar[t * BUF + scratch];
       bval[t * BUF + scratch - 1] = bval[t * BUF + scratch];
       scratch++
    :: else -> break
    od;
    scratch = 0;
    bvar[t * BUF + BUF - 1] = 0; bval[t * BUF + BUF - 1] = 0;
    blen[t]--
  }
}

active proctype memory() {
end:
  do
  :: drain(Q)
  :: drain(W)
  :: drain(C)
  od
}

/* Delivers a pending wake signal to a thread whose mask is open outside a
 * blocking call: the handler runs and the signal is spent. */
active proctype kernel() {
end:
  do
  :: d_step { sigpend[W] && sigopen[W] && !insys[W] -> sigpend[W] = 0 }
  od
}

/* ---- the descriptor ---- */

inline SYSCALL_ON_FD() {
  assert(released == 0)
}

inline RELEASE() {
  d_step {
    assert(live[Q] + live[W] + live[C] == 0); /* every caller past its check has left */
    released++;
    assert(released == 1)
  }
}

/* ---- table_mu (lock and unlock are locked instructions) ---- */

inline LOCK(t) {
  d_step { blen[t] == 0 && table_mu == 0 -> table_mu = t + 1 }
}

inline UNLOCK(t) {
  atomic { blen[t] == 0 -> table_mu = 0 }
}

/* Reads slot s from thread t (under table_mu): named = 1 if it names R; a
 * closer (wake = 1) sends the wake signal to the slot's thread unless it is
 * t itself. */
inline SCAN1(t, s, named, wake, r) {
  d_step {
    load_(t, s, r);
    if
    :: r -> named = 1;
       if
       :: wake && s / 2 != t -> sigpend[s / 2] = 1 /* tgkill */
       :: else -> skip
       fi
    :: else -> skip
    fi;
    r = 0
  }
}

/* Every registered thread's chain; only these four slots are ever used. */
inline SCAN(t, named, wake, r) {
  named = 0;
  SCAN1(t, SLOT(Q, 0), named, wake, r);
  SCAN1(t, SLOT(W, 0), named, wake, r);
  SCAN1(t, SLOT(C, 0), named, wake, r);
  SCAN1(t, SLOT(C, 1), named, wake, r)
}

/* ---- caller: enter, closed check, leave ---- */

inline ENTER(t, d) {
  STORE(t, SLOT(t, d), 1);          /* chain[depth] = R, relaxed */
#if defined(FENCED) && !defined(PLANT_NO_ENTER_FENCE)
  FENCE(t)                          /* fenced: seq_cst fence */
#else
  skip                              /* compiler barrier only */
#endif
}

/* The method's first step: ok = 1 if R is open (the call may use the fd). */
inline CLOSED_CHECK(t, ok, r) {
  d_step {
    load_(t, CLOSED, r);
    if
    :: r == 0 -> ok = 1; live[t]++
    :: else -> ok = 0               /* IOError, no system call */
    fi;
    r = 0
  }
}

inline CALL_BEGIN(t, d, ok, r) {
#ifdef PLANT_SLOT_AFTER_CHECK
  CLOSED_CHECK(t, ok, r);
  ENTER(t, d)
#else
  ENTER(t, d);
  CLOSED_CHECK(t, ok, r)
#endif
}

inline LEAVE_CLOSED(t, named, r) {
  LOCK(t);
#ifdef PLANT_LEAVE_IGNORES_PENDING
  if
  :: released == 0 ->
#else
  if
  :: release_pending ->
#endif
#ifdef PLANT_LEAVE_NO_RESCAN
     named = 0;
#else
     SCAN(t, named, 0, r);
#endif
     if
     :: !named -> RELEASE(); release_pending = 0
     :: else -> skip
     fi;
     named = 0
  :: else -> skip
  fi;
  UNLOCK(t)
}

inline LEAVE(t, d, ok, named, r) {
  d_step {                          /* chain[depth-1] = null, release store */
    blen[t] < BUF -> store_(t, SLOT(t, d), 0);
    if
    :: ok -> live[t]--
    :: else -> skip
    fi
  };
#if defined(FENCED) && !defined(PLANT_NO_LEAVE_FENCE)
  FENCE(t);
#endif
  LOAD(t, CLOSED, r);               /* relaxed */
  if
  :: r -> r = 0; LEAVE_CLOSED(t, named, r)
  :: else -> skip
  fi
}

/* ---- closer ---- */

inline CLOSE_RECORD(named, r) {
#ifdef PLANT_WAKE_BEFORE_CLOSED
  LOCK(C);
  SCAN(C, named, 1, r);             /* the wake-up, before the closed mark */
  UNLOCK(C);
#endif
#ifndef PLANT_MARK_OUTSIDE_LOCK
  LOCK(C);                          /* a fork finds R either open or scanned */
#endif
  d_step { blen[C] == 0 -> r = mem[CLOSED]; mem[CLOSED] = 1 }  /* closed.exchange(true) */
  if
  :: r -> r = 0;
#ifndef PLANT_MARK_OUTSIDE_LOCK
     UNLOCK(C);
#endif
     goto closed_before
  :: else -> skip
  fi;
#if defined(FENCED)
  FENCE(C);                         /* seq_cst fence */
#elif !defined(PLANT_NO_BARRIER)
  (blen[Q] == 0);                   /* membarrier: each other thread passes */
  (blen[W] == 0);                   /* a full barrier during the call */
#endif
#ifdef PLANT_MARK_OUTSIDE_LOCK
  LOCK(C);
#endif
#ifdef PLANT_WAKE_BEFORE_CLOSED
  SCAN(C, named, 0, r);
#else
  SCAN(C, named, 1, r);             /* tgkill every other thread naming R */
#endif
  if
  :: named -> release_pending = 1   /* the last caller to leave releases */
  :: else -> RELEASE()
  fi;
  named = 0;
#ifdef PLANT_CLOSE_WAITS
  /* waits for the calls to leave instead of deferring the release */
  (mem[SLOT(Q, 0)] + mem[SLOT(W, 0)] + mem[SLOT(C, 0)] + mem[SLOT(C, 1)] == 0);
#endif
#if defined(FALLBACK_READ) && !defined(PLANT_NO_RESEND)
  /* re-send while W sits in the fallback read. A re-send matters only when
   * it finds W blocked in read(2) with no signal pending (one sent while it
   * is pending changes nothing; one spent outside read(2) changes nothing),
   * so the model waits for that, or for in_read cleared: a closer re-sending
   * forever is then a blocked process, an invalid end state */
  do
  :: LOAD(C, IN_READ, r);
     if
     :: r -> sigpend[W] = 1; (insys[W] && !sigpend[W] || !mem[IN_READ])
     :: else -> break
     fi
  od;
#endif
  UNLOCK(C);
closed_before:
  skip
}

#if !defined(FILL) || defined(WITH_CLOSE)
#define CLOSER 1
active proctype closer() ALIVE {
  byte r, named, mode;
  bool ok;
  if
  :: mode = 0                       /* close_record from no call on R */
  :: mode = 1                       /* R.close: a call on R at depth 0 */
  :: mode = 2                       /* R.close inside a call on R (depths 0, 1) */
  fi;
  if
  :: mode == 2 ->
     CALL_BEGIN(C, 0, ok, r);
     if
     :: ok -> SYSCALL_ON_FD()
     :: else -> skip
     fi;
     ENTER(C, 1)
  :: mode == 1 -> ENTER(C, 0)
  :: else -> skip
  fi;
  CLOSE_RECORD(named, r);
  if
  :: mode == 2 ->
     LEAVE(C, 1, 0, named, r);
     LEAVE(C, 0, ok, named, r)
  :: mode == 1 -> LEAVE(C, 0, 0, named, r)
  :: else -> skip
  fi;
  finished++
}
#define NCALLERS 3
#else
#define NCALLERS 2
#endif

/* ---- fork (pthread_atfork), seen from the child ---- */

/* prepare locks table_mu; in the child every other thread's ThreadCalls is
 * cleared (those threads do not exist there: their processes stop, their
 * buffered stores are gone with them), then the records that are closed and
 * not released, whose namers are gone, are released; a record still named by
 * the forking thread is left to its leave. The child's descriptor table is a
 * copy: R's descriptor is open in it iff it was open in the parent. The
 * closer marks R closed under table_mu, so the fork never falls between its
 * mark and its scan; with PLANT_MARK_OUTSIDE_LOCK it can, and the child keeps
 * a closed record's descriptor that nobody will release. */
inline FORK_CHILD(named, r) {
  LOCK(Q);                          /* prepare */
  d_step {
    forked = 1;
    mem[SLOT(W, 0)] = 0; mem[SLOT(C, 0)] = 0; mem[SLOT(C, 1)] = 0;
    blen[W] = 0; blen[C] = 0;
    scratch = 0;
    do
    :: scratch < BUF ->
       bvar[W * BUF + scratch] = 0; bval[W * BUF + scratch] = 0;
       bvar[C * BUF + scratch] = 0; bval[C * BUF + scratch] = 0;
       scratch++
    :: else -> break
    od;
    scratch = 0;
    live[W] = 0; live[C] = 0;
    sigpend[W] = 0; sigpend[C] = 0; sigopen[W] = 0; insys[W] = 0
  };
  if
  :: release_pending ->             /* release_owed: closed, scanned, still named */
     SCAN(Q, named, 0, r);
     if
     :: !named -> RELEASE(); release_pending = 0
     :: else -> release_pending = 1
     fi;
     named = 0
  :: else -> skip
  fi;
  UNLOCK(Q)                         /* child handler */
}

/* ---- query: R's descriptor used directly ---- */

active proctype query() {
  byte r, named, n;
  bool ok;
#if defined(FORK)
  /* a call on R, a fork from inside it or after it, a call on R in the child */
  CALL_BEGIN(Q, 0, ok, r);
  if
  :: ok -> SYSCALL_ON_FD()
  :: else -> skip
  fi;
  if
  :: FORK_CHILD(named, r)
  :: skip
  fi;
  LEAVE(Q, 0, ok, named, r);
  if
  :: !forked -> FORK_CHILD(named, r)
  :: else -> skip
  fi;
  CALL_BEGIN(Q, 0, ok, r);
  if
  :: ok -> SYSCALL_ON_FD()
  :: else -> skip
  fi;
  LEAVE(Q, 0, ok, named, r);
  child_done = 1;
#elif !defined(FILL)
  do
  :: n < 2 ->
     CALL_BEGIN(Q, 0, ok, r);
     if
     :: ok -> SYSCALL_ON_FD()       /* ioctl */
     :: else -> skip
     fi;
     LEAVE(Q, 0, ok, named, r);
     n++
  :: else -> break
  od;
#else
  /* a read on R that moved input into R's buffer: the buffer fill */
  CALL_BEGIN(Q, 0, ok, r);
  if
  :: ok ->
     SYSCALL_ON_FD();               /* read */
     STORE(Q, PENDING, 1);
#ifndef PLANT_FILL_NO_FENCE
     FENCE(Q);                      /* seq_cst fence */
#endif
     LOAD(Q, SLEEPERS, r);
     if
     :: r > 0 ->
        r = 0;
        LOCK(Q);
        SCAN(Q, named, 1, r);       /* signal every other thread naming R */
        named = 0;
        UNLOCK(Q)
     :: else -> skip
     fi
  :: else -> skip
  fi;
  LEAVE(Q, 0, ok, named, r);
#endif
  finished++
}

/* ---- waiter: a blocking wait on R ---- */

active proctype waiter() ALIVE {
  byte r, named;
  bool ok, kept, left;
#ifdef PLANT_SIGNAL_OUTSIDE_PPOLL
  sigopen[W] = 1;                   /* the wake signal is never blocked */
#endif
  CALL_BEGIN(W, 0, ok, r);
  if
  :: ok ->
#ifndef FALLBACK_READ
     /* zl_wait_for_single_fd(fd, events, no limit) */
     LOAD(W, CLOSED, r);
     if
     :: r -> r = 0                  /* return 0 */
     :: else ->
        d_step { blen[W] == 0 -> mem[SLEEPERS]++ }   /* sleepers.fetch_add(1) */
        LOAD(W, PENDING, r);
        if
        :: r > 0 -> r = 0
        :: else ->
           do
           :: d_step { SYSCALL_ON_FD(); insys[W] = 1 };        /* ppoll opens the mask */
              d_step { sigpend[W] -> sigpend[W] = 0; insys[W] = 0 }  /* EINTR */
#ifdef PLANT_EINTR_KEEPS_SLEEPER
              kept = 1;             /* the EINTR returns skip the fetch_sub */
#endif
#ifndef PLANT_NO_EINTR_RECHECK
              LOAD(W, CLOSED, r);
              if
              :: r -> r = 0; break
              :: else -> skip
              fi;
#endif
              LOAD(W, PENDING, r);
              if
              :: r -> r = 0; break
              :: else -> skip
              fi
           od
        fi;
        if
        :: !kept -> atomic { blen[W] == 0 -> mem[SLEEPERS]-- }  /* sleepers.fetch_sub(1) */
        :: else -> kept = 0
        fi
     fi
#else
     /* the fallback blocking read: in_read = R, unblock, recheck closed, read(2) */
     STORE(W, IN_READ, 1);
#if defined(FENCED) && !defined(PLANT_NO_READ_FENCE)
     FENCE(W);                      /* fenced: seq_cst fence */
#endif
     sigopen[W] = 1;                /* unblock the wake signal */
#ifndef PLANT_READ_NO_RECHECK
     LOAD(W, CLOSED, r);
#endif
     if
     :: r -> r = 0
     :: else ->
        do
        :: d_step { SYSCALL_ON_FD(); insys[W] = 1 };           /* read(2) */
           d_step { sigpend[W] -> sigpend[W] = 0; insys[W] = 0 }  /* EINTR */
           LOAD(W, CLOSED, r);
           if
           :: r -> r = 0; break
           :: else -> skip          /* read again */
           fi
        od
     fi;
#ifdef PLANT_READ_LEAVE_BEFORE_CLEAR
     LEAVE(W, 0, ok, named, r);     /* leaves (table_mu) before clearing in_read */
     left = 1;
#endif
     sigopen[W] = 0;                /* block it again */
     STORE(W, IN_READ, 0);
#endif
     skip                           /* the extension checks closed: IOError */
  :: else -> skip
  fi;
  if
  :: !left -> LEAVE(W, 0, ok, named, r)
  :: else -> left = 0
  fi;
  finished++
}

/* At the end: every caller thread has ended (a blocked one makes this an
 * invalid end state), and the descriptor was released exactly once (or, in
 * the fill configuration with no close, not at all). */
active proctype monitor() {
#ifdef FORK
  /* in the child: R's descriptor released iff R is closed, once */
  if
  :: child_done
  :: timeout -> assert(child_done)  /* the child is stuck */
  fi;
  assert(mem[CLOSED] && released == 1 && !release_pending ||
         !mem[CLOSED] && released == 0);
#else
  finished == NCALLERS;
  assert(mem[SLEEPERS] == 0);       /* every wait that counted itself left the count */
#ifdef CLOSER
  assert(released == 1 && !release_pending)
#else
  assert(released == 0)
#endif
#endif
}
