/*
 * The close protocol of runtime/in_flight.cpp and the wake of runtime/fd_wait.cpp
 * and the fallback read, checked over every interleaving on x86-TSO memory.
 * Names are the code's names.
 *
 * Threads (each a process):
 *   query  (Q) two calls on stream R, each an ioctl on R's descriptor;
 *              with -DFILL one call instead, a read that moves input into
 *              R's buffer (the buffer fill) and wakes R's sleepers (rounds
 *              of sends until a round finds no thread blocked on R or, after
 *              its pause, R's sleepers count is zero); with -DFORK a fork
 *              between its calls or
 *              inside the first, after
 *              which the search follows the child; with -DHANDLER a signal
 *              handler may run a call on another stream S in the middle of
 *              IoCall's enter;
 *   waiter (W) one call on R: a blocking zl_wait_for_single_fd (ppoll with
 *              no timeout, the descriptor never ready, so only the wake
 *              signal ends it); with -DFALLBACK_READ the fallback blocking
 *              read(2) that only the wake signal ends, instead. With
 *              -DCANCEL it may be cancelled at ppoll/read(2); with -DEXIT it
 *              may leave the thread from inside its call without unwinding;
 *              with either, the thread then exits (thread_exit) and a new
 *              thread takes its entry (register_thread) and lives on;
 *   closer (C) close_record(R), chosen at the start from three shapes:
 *              from no call on R; as the call R.close (its own chain names
 *              R); from inside another call on R on the same thread (two
 *              of its chain slots name R). Absent with -DFILL (so that
 *              only the fill can end the wait) unless -DWITH_CLOSE, and
 *              with -DSELF_CLOSE (a host handler on W closes R instead);
 *   host       with -DHOST_IGN, the embedding program sets the wake signal's
 *              disposition to SIG_IGN once, at any moment.
 *
 * Memory: each thread's plain stores go into a FIFO store buffer of its own
 * (BUF entries) and reach memory when the memory process drains them, oldest
 * first, at any moment; a thread's loads read its own newest buffered store
 * of the location, memory otherwise. A seq_cst fence waits for the thread's
 * buffer to be empty; a locked instruction (exchange, fetch_add, compare-
 * exchange, the mutex) does too and then acts on memory at once.
 * membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) makes every other thread pass
 * a full barrier at some moment during the call: the closer waits, thread by
 * thread, for a moment at which that thread's buffer is empty. With -DMB_FAILS
 * that call may fail at the close: the close sets `fenced` (callers fence from
 * their next fence point on) and makes membarrier(MEMBARRIER_CMD_GLOBAL), a
 * barrier of the same strength; with -DMB_REFUSED that is refused too, and
 * the close owes R (Q and W are registered) instead of releasing it. Plain fields guarded by table_mu (released, release_pending, in_use)
 * are read and written under the mutex only, so they are shared variables.
 *
 * The limit: W's blocking ppoll is the kernel's own, on W's wait_left, read at
 * the call's entry, always a limit (a far one: the wait has none). Each round
 * of W's loop stores wait_left, then looks at closed and the buffer, then
 * calls ppoll. The wake handler (for a signal the runtime sent), a close from
 * a handler over W's wait on R, and a nested wait's end zero wait_left. So a
 * wake the handler takes on W's way into ppoll makes that ppoll return at
 * once, and W looks again.
 *
 * Signals: the runtime never blocks the wake signal. The waiter's own mask
 * (the host's) either leaves it open or blocks it, chosen at the start; where
 * it is open outside a system call, a pending wake is delivered to the
 * handler at any moment and spent (lost). ppoll opens it for its duration;
 * the fallback read opens it around read(2) when the mask blocks it. A
 * pending signal ends ppoll/read(2) with EINTR. A send is lost while the
 * host's SIG_IGN is in place; setting SIG_IGN discards a pending one.
 *
 * blocked_on (W's word, BLOCKED): BR while W is in (or on its way into or out
 * of) its blocking system call on R. A signaller (close or fill), under
 * table_mu, compare-exchanges BR -> BR|SENDING, sends, stores BR|SENT. W's
 * clear waits while SENDING is set and, if SENT was set, drains the signal
 * (sigtimedwait, zero timeout). The close, after its mark, barrier and scan,
 * sends to W while W is blocked on R, drops the lock, pauses, and again, until
 * W is not blocked on R; it repairs the disposition before each round.
 *
 * Properties:
 *   - no system call on the descriptor after its release (assert at every
 *     modelled ioctl, ppoll, read);
 *   - no release while a caller that passed its closed check is still in its
 *     call, and at most one release (assert in release);
 *   - no runtime signal pending on W when its call has returned (assert);
 *   - a wake that reached W in its system call ends the wait: the close never
 *     has to send twice to a W that sat in it (assert);
 *   - at the end, the descriptor released exactly once (monitor);
 *   - no thread left blocked (no lost wake-up, no deadlock, the self close
 *     included): blocking points carry no end label, so a thread stuck in
 *     ppoll, read(2), the mutex or a wait is an invalid end state. The
 *     close's pause lasts until a re-send can matter (W in its system call
 *     with no signal pending, the disposition changed, W no longer blocked
 *     on R), so a close that re-sends forever is a blocked closer too.
 *
 * Configurations (-D...): FENCED: the fallback path without membarrier
 * (seq_cst fences after the slot store, the slot clear and the blocked_on
 * store, a fence in the close). HANDLER_WAIT: a host handler's blocking wait
 * on another stream lands on W's way into ppoll (BlockedOn nested).
 * SELF_CLOSE: a host handler on W closes R on W's way into ppoll or in it.
 * WRITER: W's wait is a write's wait for room (or, with FALLBACK_READ, a
 * terminal's write(2)): its mark is R's as any wait's, it counts as no
 * sleeper and looks at no buffer, so only the close ends it; the fill's
 * sleeper is another thread's wait, `sleeper`, abstract: counted and marked
 * from the start, it leaves once a send reaches it (counted out, then its
 * mark cleared). The fill's rounds signal W too (a spare wake: it looks
 * again and sleeps on) and must end once the sleeper is out.
 * SET: W's call is a wait on a set of R and a never-ready stream
 * (runtime/stream_set.cpp), its ppoll's limit kept as above.
 * SELECTOR: W waits on a selector (runtime/selector.cpp) holding R and S,
 * then, once the others have ended, waits again with a zero limit; the
 * closer may close R or not, Q fills S or not (one of the two), then may
 * open a stream N that takes R's freed number and register it; R's open
 * file lives on in a dup and may turn readable in the kernel. SEL_PWAIT: the
 * epoll_pwait fallback, its limit read before the call; SEL_FILL_ROUNDS:
 * the fill sends until the waiter is out, as the code does (one round
 * otherwise, the stronger check).
 * MASK_OPEN / MASK_BLOCKED: fix W's own mask
 * (default: either). FALLBACK_READ, FILL, FORK, HANDLER, CANCEL, EXIT,
 * HOST_IGN, MB_FAILS, MB_REFUSED: see above; FORK is checked with pan -E (the threads that
 * do not exist in the child stop where they are) and the monitor's timeout
 * catches a stuck child instead. PLANT_*: one planted fault each, which the
 * check must catch; see tests/model/check.
 */

#ifndef QUERY_CALLS
#define QUERY_CALLS 2              /* query's calls on R */
#endif

#define Q 0
#define W 1
#define C 2
#define NT 3

/* memory locations */
#define SLOT(t, d) ((t) * 2 + (d)) /* chain[d] of thread t: 1 = names R */
#define CLOSED 6                   /* R->closed */
#define BLOCKED 7                  /* W's blocked_on */
#define PENDING 8                  /* R->pending */
#define SLEEPERS 9                 /* R->sleepers */
#define NMEM 10

/* blocked_on's bits */
#define BR 1                       /* the record R */
#define SENDING 2
#define SENT 4
#define BSET 8                     /* SET: a StreamSet in W's frame, holding R and another */

#ifndef BUF
#define BUF 4                      /* store buffer entries per thread: no thread here
                                      stores more than 4 times in a row, so none stalls */
#endif

byte mem[NMEM];
byte bvar[NT * BUF];               /* store buffers: location, */
byte bval[NT * BUF];               /* value, */
byte blen[NT];                     /* entries in use */

byte released;                     /* times R's descriptor was closed */
bool release_pending;
byte table_mu;                     /* 0 free, else holder + 1 */
bool sigpend[NT];                  /* wake signal pending */
bool sigopen[NT];                  /* wake signal open outside a blocking call */
bool insys[NT];                    /* blocked in ppoll/read(2), mask open */
byte live[NT];                     /* calls past their closed check, not yet left */
bool in_use_w = 1;                 /* W's entry belongs to a live thread */
bool disp_ours = 1;                /* the wake signal's disposition is the runtime's */
bool hit;                          /* a close's send found W in its system call */
byte rounds;                       /* the close's rounds of sends */
byte fill_rounds;                  /* the fill's rounds of sends */
#ifdef WRITER
bool smark = 1;                    /* the sleeper's mark names R */
bool swoken;                       /* a send reached the sleeper */
bool scounted;                     /* the sleeper is counted in R's sleepers */
#endif
bool left0;                        /* W's wait_left zeroed by a wake */
bool hdone;                        /* the host handler (SELF_CLOSE, HANDLER_WAIT) has run */
bool unordered;                    /* MB_REFUSED: no barrier orders the other threads */
#ifdef FENCED
bool fenced = 1;
#else
bool fenced;                       /* callers fence: no asymmetric barrier */
#endif
byte finished;                     /* caller threads that have ended */
byte scratch;                      /* loop index inside d_steps; always 0 between steps */
bool forked;                       /* FORK: query has forked; what runs now is the child */
bool child_done;                   /* FORK: query has ended in the child */
bool wframe;                       /* SET: the waiting frame, and its StreamSet, stand */

#ifdef SELECTOR
/* SELECTOR: a selector's registrations (entries), R's, S's and N's (a new
 * stream that takes R's number once it is free); sets of them are bit masks */
#define ER 0
#define ES 1
#define EN 2
#define BIT(e) (1 << (e))
#define QUEUED 1                   /* an entry's state (atomic): on the ready stack */
#define ECLOSED 2                  /* its record closed */
#define FREED 4                    /* deleted: answered closed, then freed by the waiter */
byte est[3];                       /* SelectorEntry::state */
byte onstack;                      /* the ready stack (pushed and taken by locked CAS) */
byte interest = 3;                 /* the kernel's interest set: items for R and S */
byte kready;                       /* open files readable in the kernel: R's through a dup
                                      held elsewhere, so its item outlives R's number */
byte numowner = 1;                 /* what R's number names: 1 R, 0 nothing, 2 N */
bool pend_s;                       /* S->pending > 0 */
bool sel_closing, sel_noclose;     /* the closer closes R / makes no close */
bool sel_filling;                  /* the filler fills S */
bool n_added;                      /* N registered in the selector */
byte closed_answers;               /* answers of waits that held R closed */
byte ans;                          /* the current wait's answer */
byte popped, requeue, tofree;      /* the waiter's pop: taken, still buffered, closed */
byte ev;                           /* the events the kernel copied out */
#endif

/* With no barrier (MB_REFUSED) nothing is released while another registered
 * thread lives; here every thread lives until the monitor's end. */
#ifndef PLANT_REFUSED_LEAVER_RELEASES
#define ALONE (!unordered)
#else
#define ALONE 1
#endif

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

/* publish_fence(): a full fence in fenced mode, a compiler barrier otherwise */
inline PUBLISH(t) {
  if
  :: fenced -> FENCE(t)
  :: else -> skip
  fi
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

/* The wake handler, for a signal the runtime sent: zero_limit(W), wait_left
 * zeroed (W is stopped meanwhile: one step). */
inline MARK_WOKEN() {
#ifndef PLANT_HANDLER_NO_MARK
  left0 = 1
#else
  skip
#endif
}

/* Delivers a pending wake signal to a thread whose mask is open outside a
 * blocking call: the handler runs, zeroes the thread's limit, and the signal is
 * spent. */
active proctype kernel() {
#ifdef SELECTOR
  bool dup_writes;                  /* R's dup gets input, at a moment of its own */
  if
  :: dup_writes = 1
  :: skip                           /* never: a lost wake is not hidden by it */
  fi;
#endif
end:
  do
  :: d_step { sigpend[W] && sigopen[W] && !insys[W] -> sigpend[W] = 0; MARK_WOKEN() }
#ifdef SELECTOR
  :: d_step { dup_writes && !(kready & BIT(ER)) -> kready = kready | BIT(ER) }  /* through R's dup */
#endif
  od
}

#ifdef HOST_IGN
/* The host sets SIG_IGN for the wake signal: a pending one is discarded. */
active proctype host() {
  d_step { disp_ours = 0; sigpend[W] = 0; hit = 0 }
}
#endif

/* rt_tgsigqueueinfo; discarded while the host's SIG_IGN is in place */
inline SEND(t) {
  if
  :: disp_ours -> sigpend[t] = 1
  :: else -> skip
  fi
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
#ifdef SELECTOR
    ; numowner = 0                  /* the number is free: the next open takes it */
#endif
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
 * signaller (wake = 1: the old fill, PLANT_FILL_SIGNALS_NAMERS) sends the
 * wake signal to the slot's thread unless it is t itself. */
inline SCAN1(t, s, named, wake, r) {
  d_step {
    load_(t, s, r);
    if
    :: r -> named = 1;
       if
       :: wake && s / 2 != t -> sigpend[s / 2] = 1
       :: else -> skip
       fi
    :: else -> skip
    fi;
    r = 0
  }
}

/* SET: set_names(W, R), under table_mu: claim W's mark (compare-exchange
 * adding SENDING, a locked instruction), read the set, which holds R, then
 * store the mark back as it was (release store). The claim keeps W from
 * clearing its mark, and so from leaving the frame that owns the set. */
inline SCAN_SET(t, named, r) {
#ifdef SET
#ifndef PLANT_SET_NO_CLAIM
  d_step {
    blen[t] == 0 ->
    r = mem[BLOCKED];
    if
    :: in_use_w && (r & BSET) -> mem[BLOCKED] = r | SENDING
    :: else -> r = 0
    fi
  };
  if
  :: r ->
     assert(wframe);                /* the set is read while its frame stands */
     named = 1;
     STORE(t, BLOCKED, r);
     r = 0
  :: else -> skip
  fi
#else
  LOAD(t, BLOCKED, r);              /* the mark read, the set read after it, unclaimed */
  if
  :: in_use_w && (r & BSET) -> assert(wframe); named = 1
  :: else -> skip
  fi;
  r = 0
#endif
#elif defined(SELECTOR)
  /* a selector's wait: set_names claims the mark and puts it back, and the
   * set names nothing (the wait never reads a number: it owes no release) */
  d_step {
    blen[t] == 0 ->
    r = mem[BLOCKED];
    if
    :: in_use_w && (r & BSET) -> mem[BLOCKED] = r | SENDING
    :: else -> r = 0
    fi
  };
  if
  :: r -> STORE(t, BLOCKED, r); r = 0
  :: else -> skip
  fi
#else
  skip
#endif
}

/* Every registered thread's chain; only these four slots ever name R. With
 * SET, W's mark names R through its set. */
inline SCAN(t, named, wake, r) {
  named = 0;
  SCAN1(t, SLOT(Q, 0), named, wake, r);
  SCAN1(t, SLOT(W, 0), named, wake, r);
  SCAN1(t, SLOT(C, 0), named, wake, r);
  SCAN1(t, SLOT(C, 1), named, wake, r);
#ifndef PLANT_SET_NOT_NAMED
  SCAN_SET(t, named, r)
#else
  skip
#endif
}

/* Signaller t (under table_mu) wakes W if W is blocked on R: compare-exchange
 * BR (or BR|SENT) -> BR|SENDING, send, store BR|SENT. sent = 1 if it sent.
 * SET: a mark naming W's set (BSET) is signalled the same way, and the store
 * puts back the set's mark; iset = 1 then (the set waits for input). */
/* PLANT_CLOSE_SKIPS_WRITER: the close passes the writer's mark over. */
#if defined(PLANT_CLOSE_SKIPS_WRITER)
#define PASSES_OVER(t) (t == C)
#else
#define PASSES_OVER(t) 0
#endif

inline SIGNAL_BLOCKED(t, sent, r, iset) {
#ifdef PLANT_SET_NO_CLAIM
  LOAD(t, BLOCKED, r);              /* the set read before the mark is claimed */
  if
  :: in_use_w && (r & BSET) -> assert(wframe)
  :: else -> skip
  fi;
  r = 0;
#endif
  d_step {
    blen[t] == 0 ->
    r = mem[BLOCKED];
    if
    :: in_use_w && (r & (BR | BSET)) && !(r & SENDING) && !PASSES_OVER(t) ->
       mem[BLOCKED] = r | SENDING; sent = 1;
       r = r & (BR | BSET)          /* the mark, kept for the store */
    :: else -> sent = 0; r = 0
    fi
  };
  if
  :: sent ->
     assert(!(r & BSET) || wframe);  /* a claimed set's frame stands */
     iset = ((r & BSET) != 0);
     d_step {
       if
       :: t == C && insys[W] && !sigpend[W] && disp_ours ->
          assert(!hit);              /* the last one that reached it ended it */
          hit = 1
       :: else -> skip
       fi;
       SEND(W)
     };
#ifndef PLANT_SET_SEND_RECORD
     STORE(t, BLOCKED, r | SENT);   /* release store: the mark as it was, SENT added */
#else
     STORE(t, BLOCKED, BR | SENT);  /* the record's word, whatever the mark named */
#endif
     r = 0
  :: else -> skip
  fi
}

/* ---- caller: enter, closed check, leave ---- */

/* HANDLER: a signal handler on Q runs a whole call on another stream S at
 * depth d: S in the slot, then null. */
inline HANDLER_CALL(t, d) {
#ifdef HANDLER
  if
  :: t == Q ->
     if
     :: STORE(t, SLOT(t, d), 0); STORE(t, SLOT(t, d), 0)
     :: skip
     fi
  :: else -> skip
  fi
#else
  skip
#endif
}

/* IoCall's enter: depth = d + 1, then chain[d] = R (relaxed), then
 * publish_fence. A handler running between the two steps takes slot d + 1. */
inline ENTER(t, d) {
#ifdef PLANT_SLOT_BEFORE_DEPTH
  STORE(t, SLOT(t, d), 1);
  HANDLER_CALL(t, d);               /* depth not yet bumped: the handler takes slot d */
#else
  HANDLER_CALL(t, d + 1);
  STORE(t, SLOT(t, d), 1);
#endif
#ifndef PLANT_NO_ENTER_FENCE
  PUBLISH(t)
#else
  skip
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
     :: !named && ALONE -> RELEASE(); release_pending = 0
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
#ifndef PLANT_NO_LEAVE_FENCE
  PUBLISH(t);
#endif
  LOAD(t, CLOSED, r);               /* relaxed */
  if
  :: r -> r = 0; LEAVE_CLOSED(t, named, r)
  :: else -> skip
  fi
}

/* ---- blocked_on: W's BlockedOn guard ---- */

inline BLOCK_ON() {
  STORE(W, BLOCKED, BR);            /* relaxed, ordered like the chain store */
#ifndef PLANT_NO_BLOCKED_FENCE
  PUBLISH(W)
#else
  skip
#endif
}

/* The guard's destructor: clear, waiting out a send in progress; then take
 * back a signal that a send may have left pending. */
inline UNBLOCK(r) {
#ifdef PLANT_CLEAR_IGNORES_SENDING
  d_step { blen[W] == 0 -> r = mem[BLOCKED]; mem[BLOCKED] = 0 };
#else
  d_step { blen[W] == 0 && !(mem[BLOCKED] & SENDING) -> r = mem[BLOCKED]; mem[BLOCKED] = 0 };
#endif
#ifndef PLANT_NO_DRAIN
  if
  :: r & SENT -> sigpend[W] = 0     /* sigtimedwait, zero timeout */
  :: else -> skip
  fi;
#endif
  r = 0
}

/* The guard's end on every way out: return, or a cancellation's unwind. */
inline GUARD_END(cancelled, r) {
#ifdef PLANT_CANCEL_KEEPS_BLOCKED
  if
  :: cancelled -> skip              /* the unwind skips the clear */
  :: else -> UNBLOCK(r)
  fi
#else
  UNBLOCK(r)
#endif
}

#ifdef SELECTOR
/* ---- a selector (runtime/selector.cpp) ---- */

/* queue(e, also): the state's CAS, then the push (a CAS) unless it was
 * queued already. WAS: scratch. */
inline QUEUE(t, e, also, was) {
  d_step {
    blen[t] == 0 ->
    assert(!(est[e] & FREED));      /* nobody queues an entry the waiter freed */
    was = est[e];
    est[e] = est[e] | QUEUED | also
  };
  if
  :: !(was & QUEUED) -> d_step { blen[t] == 0 -> onstack = onstack | BIT(e) }
  :: else -> skip
  fi;
  was = 0
}

/* EPOLL_CTL_DEL of R's number: the kernel finds the item of the open file
 * the number names now (R's; after the release nothing, or N's). */
inline SEL_DEL() {
  d_step {
    if
    :: numowner == 1 -> interest = interest & ~BIT(ER)
    :: numowner == 2 -> interest = interest & ~BIT(EN)
    :: else -> skip                 /* EBADF */
    fi
  }
}

/* selectors_close(R), under the lock, after closed.exchange and before the
 * barrier: R's item out of the interest set while R's number is R's, then
 * the entry marked closed and pushed. */
inline SELECTORS_CLOSE(was) {
#ifndef PLANT_SEL_DEL_AFTER_RELEASE
  SEL_DEL();
#endif
#ifndef PLANT_SEL_CLOSE_NO_PUSH
  QUEUE(C, ER, ECLOSED, was)
#else
  d_step { est[ER] = est[ER] | ECLOSED }   /* marked, never pushed */
#endif
}

/* The kernel's copy of the ready items' events (epoll_pwait2 and a DEL
 * exclude each other): each carries its entry. */
inline SEL_COPY() {
  ev = interest & kready;
  assert(!(ev & BIT(ER)) || numowner == 1);      /* an item for R reports only while the
                                                    number is R's: no event for a number
                                                    that another stream may take */
  assert(!(ev & BIT(ER)) || !(est[ER] & FREED))  /* nor for a freed entry */
}

/* Round::take_events, one event: a closed entry is skipped (answered from
 * the stack, as closed); any other is answered ready. */
inline SEL_EVENT(e, st) {
  if
  :: ev & BIT(e) ->
     d_step {
       st = est[e];                 /* state.load(acquire) */
#ifndef PLANT_SEL_EVENT_NO_STATE_CHECK
       if
       :: st & ECLOSED -> skip
       :: else ->
#endif
          assert(e != ER || numowner == 1);   /* never ready once R's number may be another's */
          ans = ans | BIT(e)
#ifndef PLANT_SEL_EVENT_NO_STATE_CHECK
       fi;
#endif
       st = 0
     }
  :: else -> skip
  fi
}

/* One popped entry: its QUEUED cleared (fetch_and); closed: answered and
 * freed at the round's end; buffered: answered and queued again; else
 * dropped. */
inline POP1(e, st) {
  if
  :: popped & BIT(e) ->
     d_step { st = est[e]; est[e] = est[e] & ~QUEUED };
     if
     :: st & ECLOSED -> d_step { ans = ans | BIT(e); closed_answers++; tofree = tofree | BIT(e) }
     :: else ->
        if
        :: e == ES && pend_s ->     /* pending.load(seq_cst) */
           ans = ans | BIT(e);
#ifndef PLANT_SEL_POP_DROPS_READY
           requeue = requeue | BIT(e)
#else
           skip
#endif
        :: else -> skip
        fi
     fi;
     st = 0
  :: else -> skip
  fi
}

/* Round::take_ready: a plain load of the stack; if not empty, taken whole
 * (exchange), each entry settled, the buffered ones queued again. */
inline TAKE_READY(got, st) {
  if
  :: onstack ->
     d_step { blen[W] == 0 -> popped = onstack; onstack = 0 };
     POP1(ER, st);
     POP1(ES, st);
     POP1(EN, st);
     popped = 0;
     if
     :: requeue -> requeue = 0; QUEUE(W, ES, 0, st)   /* level: until it is read */
     :: else -> skip
     fi
  :: else -> skip
  fi;
  got = (ans != 0)
}

inline TAKE_EVENTS(st) {
  SEL_EVENT(ER, st);
  SEL_EVENT(ES, st);
  SEL_EVENT(EN, st);
  ev = 0
}

/* ~Round: the closed entries it answered unlinked and deleted, under the
 * lock; the answer handed over. */
inline ROUND_END() {
  if
  :: tofree ->
     LOCK(W);
     d_step { est[ER] = est[ER] | FREED; tofree = 0 };
     UNLOCK(W)
  :: else -> skip
  fi;
  ans = 0
}
#endif

/* ---- closer ---- */

/* The close's barrier: membarrier, or in fenced mode its own fence; if
 * membarrier fails after registration (MB_FAILS), fenced mode for good and a
 * barrier that every running thread of the process passes. */
inline BARRIER() {
  if
  :: fenced -> FENCE(C)             /* the callers fence */
  :: else ->
     if
#ifndef PLANT_NO_BARRIER
     :: (blen[Q] == 0);             /* membarrier: each other thread passes */
        (blen[W] == 0)              /* a full barrier during the call */
#else
     :: skip
#endif
#ifdef MB_FAILS
     :: fenced = 1;                 /* callers fence from their next fence point */
        FENCE(C);
#if defined(MB_REFUSED)
#ifndef PLANT_REFUSED_RELEASES
        unordered = 1               /* GLOBAL refused too: no barrier at all */
#else
        skip
#endif
#elif !defined(PLANT_TRUST_OWN_FENCE)
        (blen[Q] == 0);             /* and membarrier(GLOBAL): every thread */
        (blen[W] == 0)              /* passes a full barrier during the call */
#else
        skip
#endif
#endif
     fi
  fi
}

/* The close's pause lasts until a re-send can matter: W in its system call
 * with no signal pending, the disposition no longer the runtime's, or W no
 * longer blocked on R (or its entry free). */
inline PAUSE() {
  (insys[W] && !sigpend[W] || !disp_ours || !(mem[BLOCKED] & (BR | BSET)) || !in_use_w)
}

inline CLOSE_RECORD(named, sent, r, iset) {
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
#ifdef SELECTOR
  SELECTORS_CLOSE(r);
#endif
  BARRIER();
#ifdef PLANT_MARK_OUTSIDE_LOCK
  LOCK(C);
#endif
  SCAN(C, named, 0, r);
  if
  :: named || unordered ->          /* with no barrier, Q and W may name R unseen */
     release_pending = 1            /* the last caller to leave releases */
  :: else -> RELEASE()
  fi;
#if defined(SELECTOR) && defined(PLANT_SEL_DEL_AFTER_RELEASE)
  SEL_DEL();                        /* by number, once it may be another's */
#endif
  named = 0;
#ifdef PLANT_CLOSE_WAITS
  /* waits for the calls to leave instead of deferring the release */
  (mem[SLOT(Q, 0)] + mem[SLOT(W, 0)] + mem[SLOT(C, 0)] + mem[SLOT(C, 1)] == 0);
#endif
  /* send to every other thread blocked on R until none is */
  do
  :: 
#ifndef PLANT_NO_REPAIR
     if
     :: !disp_ours -> disp_ours = 1  /* the host's action kept, the handler reinstalled */
     :: else -> skip
     fi;
#endif
     SIGNAL_BLOCKED(C, sent, r, iset);
#ifdef WRITER
     if
     :: smark -> swoken = 1         /* the fill's sleeper: ended too */
     :: else -> skip
     fi;
#endif
     if
     :: sent -> sent = 0
     :: else -> break
     fi;
     rounds++;
     assert(rounds < 5);            /* each round after the first finds W in its call */
#ifdef PLANT_NO_RESEND
     break;
#endif
     UNLOCK(C);
     PAUSE();
     LOCK(C)
  od;
  UNLOCK(C);
closed_before:
  skip
}

#if (!defined(FILL) || defined(WITH_CLOSE)) && !defined(SELF_CLOSE)
#define CLOSER 1
active proctype closer() ALIVE {
  byte r, named, mode;
  bool ok, sent, iset;
  if
  :: mode = 0                       /* close_record from no call on R */
  :: mode = 1                       /* R.close: a call on R at depth 0 */
  :: mode = 2                       /* R.close inside a call on R (depths 0, 1) */
#ifdef SELECTOR
  :: mode = 3                       /* none: the fill alone ends the selector's wait */
#endif
  fi;
#ifdef SELECTOR
  d_step { sel_closing = (mode != 3); sel_noclose = (mode == 3) };
#endif
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
#ifdef SELECTOR
  if
  :: mode == 3 -> goto no_close
  :: else -> skip
  fi;
#endif
  CLOSE_RECORD(named, sent, r, iset);
  if
  :: mode == 2 ->
     LEAVE(C, 1, 0, named, r);
     LEAVE(C, 0, ok, named, r)
  :: mode == 1 -> LEAVE(C, 0, 0, named, r)
  :: else -> skip
  fi;
#ifdef SELECTOR
no_close:
#endif
  finished++
}
#define NCALLERS 3
#else
#define NCALLERS 2
#endif
#ifdef SELF_CLOSE
#define CLOSER 1
#endif

/* SELF_CLOSE: a host handler (SIGTERM, say) on W closes R while W's wait is
 * on its way into ppoll or in it: the close as close_record makes it, on W
 * (membarrier; the rounds skip the closing thread itself), which marks its
 * own thread's limit when that thread is blocked on R. */
inline HANDLER_CLOSE(named, r) {
  LOCK(W);
  d_step { blen[W] == 0 -> r = mem[CLOSED]; mem[CLOSED] = 1 };
  if
  :: r -> r = 0
  :: else ->
     (blen[Q] == 0);                /* membarrier */
     SCAN(W, named, 0, r);
     if
     :: named -> release_pending = 1
     :: else -> RELEASE()
     fi;
     named = 0;
#ifndef PLANT_NO_SELF_MARK
     LOAD(W, BLOCKED, r);           /* its own thread blocked on R: */
     if
     :: r & BR -> left0 = 1         /* zero_limit */
     :: else -> skip
     fi;
     r = 0
#endif
  fi;
  UNLOCK(W)
}

/* HANDLER_WAIT: a host handler for another signal makes a blocking wait on
 * another stream S on W. Its BlockedOn swaps the mark to S once no send is in
 * progress (the outer mark kept, flags and all); its ppoll may take a wake
 * sent for R (EINTR: the wake handler zeroes W's limit); its loop leaves
 * wait_left its own; its destructor swaps the outer mark back, takes back a
 * signal if S's mark was sent to, and zeroes the limit so the outer wait
 * looks again. */
inline NESTED_WAIT(r, outer) {
#ifdef PLANT_NESTED_NO_RESTORE
  STORE(W, BLOCKED, 0);             /* S, over the outer mark */
  PUBLISH(W);
#else
  d_step { blen[W] == 0 && !(mem[BLOCKED] & SENDING) -> outer = mem[BLOCKED]; mem[BLOCKED] = 0 };
#endif
  if
  :: d_step { sigpend[W] -> sigpend[W] = 0; MARK_WOKEN() }
  :: skip
  fi;
  left0 = 0;                        /* its own wait_left */
  d_step { blen[W] == 0 && !(mem[BLOCKED] & SENDING) -> r = mem[BLOCKED]; mem[BLOCKED] = outer };
  if
  :: r & SENT -> sigpend[W] = 0     /* take_back_wakes */
  :: else -> skip
  fi;
#ifndef PLANT_NESTED_NO_WAKE
  if
  :: outer -> left0 = 1             /* zero_limit: the outer wait looks again */
  :: else -> skip
  fi;
#endif
  r = 0; outer = 0
}

/* The host's handler, once, at one of the points it may land. */
inline HANDLER_RUN(named, r, outer) {
  hdone = 1;
#ifdef SELF_CLOSE
  HANDLER_CLOSE(named, r)
#elif defined(HANDLER_WAIT)
  NESTED_WAIT(r, outer)
#else
  skip
#endif
}

inline HANDLER_POINT(named, r, outer) {
#if defined(SELF_CLOSE) || defined(HANDLER_WAIT)
  if
  :: !hdone -> HANDLER_RUN(named, r, outer)
  :: skip
  fi
#else
  skip
#endif
}

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
    mem[SLOT(W, 0)] = 0; mem[SLOT(C, 0)] = 0; mem[SLOT(C, 1)] = 0; mem[BLOCKED] = 0;
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

/* The fill's pause lasts until a re-send can matter: W back in its system
 * call with no signal pending, the disposition changed, W not blocked on R;
 * WRITER: the sleeper, whose wake is never lost, out (W needs no wake). */
inline FILL_PAUSE() {
#ifdef WRITER
  (!smark)
#else
  (insys[W] && !sigpend[W] || !disp_ours || !(mem[BLOCKED] & (BR | BSET)) || !in_use_w)
#endif
}

#ifdef WRITER
/* The fill's sleeper: another thread's wait for input on R, abstract (a
 * wait's own steps are W's in the other FILL configurations): counted and
 * marked from the start; once a send reaches it, it finds the input, is
 * counted out, then clears its mark. */
active proctype sleeper() {
  d_step { mem[SLEEPERS] = 1; scounted = 1 };
  swoken;
  atomic { mem[SLEEPERS]-- };
  smark = 0
}
#endif

/* ---- query: R's descriptor used directly ---- */

#ifndef SELECTOR
active proctype query() {
  byte r, named, n;
  bool ok, sent, iset;
#ifdef WRITER
  scounted;                         /* the sleeper counted itself before the fill */
#endif
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
  :: n < QUERY_CALLS ->
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
#ifdef PLANT_FILL_SIGNALS_NAMERS
        SCAN(Q, named, 1, r);       /* every other thread naming R, blocked or not */
        named = 0;
#else
        /* wake_sleepers: rounds to every other thread blocked on R, the
         * disposition put back first, until a round finds none or, after
         * its pause, no wait that input ends is left: R's sleepers at zero
         * and no set for input found in the round */
        do
        ::
#ifndef PLANT_NO_REPAIR
           if
           :: !disp_ours -> disp_ours = 1
           :: else -> skip
           fi;
#endif
           SIGNAL_BLOCKED(Q, sent, r, iset);
#ifdef PLANT_FILL_IGNORES_SETS
           iset = 0;                /* the round's sets not looked at */
#endif
#ifdef WRITER
           if
           :: smark -> swoken = 1; sent = 1   /* the sleeper's mark */
           :: else -> skip
           fi;
#endif
           if
           :: sent -> sent = 0
           :: else -> break
           fi;
           fill_rounds++;
#ifndef HOST_IGN
           assert(fill_rounds < 2);  /* the zeroed limit makes one round enough: no wake
                                        is lost but to the host's SIG_IGN */
#endif
           assert(fill_rounds < 5);  /* a fill that signals a writer until it leaves */
#ifdef PLANT_FILL_ONE_ROUND
           break;
#endif
           UNLOCK(Q);
           FILL_PAUSE();
           LOCK(Q);
#ifndef PLANT_FILL_LOOPS_ON_MARKS
           if
           :: iset -> iset = 0      /* a set for input: round again */
           :: else ->
#ifndef SET
              LOAD(Q, SLEEPERS, r); /* R's own count: a set counts apart */
#endif
              if
              :: r == 0 -> break
              :: else -> r = 0
              fi
           fi
#else
           iset = 0
#endif
        od;
#endif
        UNLOCK(Q)
     :: else -> skip
     fi
  :: else -> skip
  fi;
  LEAVE(Q, 0, ok, named, r);
#endif
  finished++
}
#endif

/* ---- waiter: a blocking wait on R ---- */

/* thread_exit (the thread-exit key): under table_mu, the entry reset (chain,
 * depth, blocked_on) and freed; a closed record that only this thread named
 * is released. */
inline THREAD_EXIT(named, r) {
  LOCK(W);
  d_step {
#ifndef PLANT_EXIT_KEEPS_CHAIN
    store_(W, SLOT(W, 0), 0);
#endif
#ifndef PLANT_CANCEL_KEEPS_BLOCKED
    store_(W, BLOCKED, 0);
#endif
    live[W] = 0;
    in_use_w = 0
  };
#ifndef PLANT_EXIT_NO_RELEASE
  if
  :: release_pending ->
     SCAN(W, named, 0, r);
     if
     :: !named && ALONE -> RELEASE(); release_pending = 0
     :: else -> skip
     fi;
     named = 0
  :: else -> skip
  fi;
#endif
  UNLOCK(W)
}

/* register_thread by the next thread, which takes the free entry and lives
 * on, in calls on other streams or none. */
inline REGISTER() {
  LOCK(W);
  in_use_w = 1;
  UNLOCK(W)
}

#ifndef SELECTOR
active proctype waiter() ALIVE {
  byte r, named;
  byte outer;
  bool ok, kept, cancelled, opened, first, copied;
#ifdef SET
  /* zl_wait_for_streams on {R, S}, no limit: S never ready, so only a close
   * of R or a fill of R's buffer ends it. No chain slot: the mark names the
   * set, which names R. */
#if defined(MASK_OPEN)
  sigopen[W] = 1;
#elif !defined(MASK_BLOCKED)
  if
  :: sigopen[W] = 1
  :: skip
  fi;
#endif
  wframe = 1;
#ifdef PLANT_SET_SLEEPERS_FIRST
  d_step { blen[W] == 0 -> mem[SLEEPERS]++ }
#endif
  STORE(W, BLOCKED, BSET);          /* BlockedOn(t, &set) */
  PUBLISH(W);
#ifndef PLANT_SET_SLEEPERS_FIRST
  d_step { blen[W] == 0 -> mem[SLEEPERS]++ }   /* SetSleeper: set_sleepers.fetch_add(1) */
#endif
  /* Each round: the limit, then the looks (closed, buffered), then the ppoll
   * over the set with the mask open; a wake zeroes the limit, and with none
   * given the wait looks again whatever ended the ppoll. */
  first = 1;
  do
  ::
#ifndef PLANT_LIMIT_AFTER_CHECK
     left0 = 0;                     /* wait_left = a far limit */
#endif
     if
     :: first ->
        first = 0;
        CLOSED_CHECK(W, ok, r);     /* answer(): R closed */
        if
        :: !ok -> break
        :: else -> skip
        fi
     :: else ->
        LOAD(W, CLOSED, r);         /* answer(): closed first, no revents read */
        if
        :: r -> r = 0; break
        :: else -> skip
        fi
     fi;
     LOAD(W, PENDING, r);           /* or buffered */
     if
     :: r -> r = 0; break
     :: else -> skip
     fi;
#ifdef PLANT_LIMIT_AFTER_CHECK
     left0 = 0;                     /* the limit stored after the checks */
#endif
     d_step {                       /* ppoll_now over the set: the limit read at entry */
       SYSCALL_ON_FD();
#ifdef PLANT_NO_LIMIT
       insys[W] = 1                 /* no limit: nothing a wake can zero */
#else
       if
       :: left0 -> skip             /* a wake zeroed it: returns at once */
       :: else -> insys[W] = 1      /* sleeps, its mask open */
       fi
#endif
     };
     if
     :: insys[W] ->
        d_step { sigpend[W] -> sigpend[W] = 0; insys[W] = 0; MARK_WOKEN() }  /* EINTR */
     :: else -> skip
     fi
  od;
  atomic { blen[W] == 0 -> mem[SLEEPERS]-- };  /* ~SetSleeper */
  d_step {                          /* past its last system call on the set */
    if
    :: ok -> live[W]--
    :: else -> skip
    fi
  };
  UNBLOCK(r);                       /* ~BlockedOn */
#ifndef PLANT_SET_LEAVE_NO_RECHECK
  PUBLISH(W);                       /* ~LeaveClosed: the clear, then the closed checks */
  LOAD(W, CLOSED, r);
  if
  :: r -> r = 0; LEAVE_CLOSED(W, named, r)
  :: else -> skip
  fi;
#endif
  wframe = 0;
  assert(!sigpend[W]);
  goto set_done;
#endif
#if defined(MASK_OPEN)
  sigopen[W] = 1;                   /* the host unblocked every signal */
#elif !defined(MASK_BLOCKED)
  if
  :: sigopen[W] = 1
  :: skip
  fi;
#endif
  CALL_BEGIN(W, 0, ok, r);
  if
  :: ok ->
#ifdef EXIT
     if
     :: goto vanish                 /* the thread leaves with no unwinding */
     :: skip
     fi;
#endif
#ifndef FALLBACK_READ
     /* zl_wait_for_single_fd(fd, events, no limit): wait_fd */
     LOAD(W, CLOSED, r);
     if
     :: r -> r = 0                  /* return 0 */
     :: else ->
#ifndef PLANT_BLOCKED_AFTER_SLEEPERS
        BLOCK_ON();                 /* BlockedOn, before the sleeper count */
#endif
#ifndef WRITER
        d_step { blen[W] == 0 -> mem[SLEEPERS]++ }   /* Sleeper: sleepers.fetch_add(1) */
#endif
#ifdef PLANT_BLOCKED_AFTER_SLEEPERS
        BLOCK_ON();
#endif
        first = 1;
        do
        ::
#ifndef PLANT_LIMIT_AFTER_CHECK
           left0 = 0;               /* wait_left = the limit: a far one */
           HANDLER_POINT(named, r, outer);
#endif
           /* closed, then input buffered */
#ifdef PLANT_NO_BLOCKED_RECHECK
           if
           :: !first -> LOAD(W, CLOSED, r)
           :: else -> skip          /* no check after the blocked_on store */
           fi;
#elif defined(PLANT_NO_EINTR_RECHECK)
           if
           :: first -> LOAD(W, CLOSED, r)
           :: else -> skip          /* none after an EINTR */
           fi;
#else
           LOAD(W, CLOSED, r);
#endif
           first = 0;
           if
           :: r -> r = 0; break
           :: else -> skip
           fi;
#ifndef WRITER
           LOAD(W, PENDING, r);     /* a write's wait does not look: input ends nothing */
           if
           :: r -> r = 0; break
           :: else -> skip
           fi;
#endif
#ifdef PLANT_LIMIT_AFTER_CHECK
           HANDLER_POINT(named, r, outer);
           left0 = 0;               /* the limit stored after the checks */
#endif
#ifdef PLANT_LIMIT_COPIED
           copied = left0;          /* the limit copied before the call */
#endif
           HANDLER_POINT(named, r, outer);
           d_step {                 /* ppoll_now: the kernel reads the limit at entry */
             SYSCALL_ON_FD();
#if defined(PLANT_LIMIT_COPIED)
             if
             :: copied -> skip
             :: else -> insys[W] = 1
             fi;
             copied = 0
#elif defined(PLANT_NO_LIMIT)
             insys[W] = 1           /* no limit: nothing a wake can zero */
#else
             if
             :: left0 -> skip       /* a wake zeroed it: returns at once */
             :: else -> insys[W] = 1   /* sleeps, its mask open */
             fi
#endif
           };
           if
           :: insys[W] ->
              if
              :: d_step { sigpend[W] -> sigpend[W] = 0; insys[W] = 0;
                          MARK_WOKEN() }  /* EINTR; the handler ran */
#ifdef SELF_CLOSE
              :: !hdone -> insys[W] = 0;  /* EINTR: a host handler */
                 HANDLER_RUN(named, r, outer)
#endif
#ifdef CANCEL
              :: d_step { insys[W] = 0; cancelled = 1 };  /* pthread_cancel: forced unwind */
                 break
#endif
              fi
           :: else -> skip
           fi
#ifdef PLANT_EINTR_KEEPS_SLEEPER
           ; kept = 1               /* the EINTR returns skip the fetch_sub */
#endif
           /* no limit: look again, whatever ended the ppoll */
        od;
#ifndef WRITER
        if                          /* ~Sleeper, then ~BlockedOn */
        :: !kept -> atomic { blen[W] == 0 -> mem[SLEEPERS]-- }  /* sleepers.fetch_sub(1) */
        :: else -> kept = 0
        fi;
#endif
        GUARD_END(cancelled, r)
     fi
#else
     /* fill's loop: wait_fd found the descriptor ready, but another reader of
      * the open file took the bytes; read_now -> interruptible_read: WakeOpen
      * (the signal opened if the mask blocks it), BlockedOn, closed checked
      * again, read(2); on EINTR, the closed check of the next round */
     do
     :: if
        :: !sigopen[W] -> sigopen[W] = 1; opened = 1
        :: else -> skip
        fi;
        BLOCK_ON();
#ifndef PLANT_NO_BLOCKED_RECHECK
        LOAD(W, CLOSED, r);
#endif
        if
        :: r -> r = 0
        :: else ->
           d_step { SYSCALL_ON_FD(); insys[W] = 1 };           /* read(2) */
           if
           :: d_step { sigpend[W] -> sigpend[W] = 0; insys[W] = 0; MARK_WOKEN() }  /* EINTR */
#ifdef CANCEL
           :: d_step { insys[W] = 0; cancelled = 1 }   /* pthread_cancel: forced unwind */
#endif
           fi
        fi;
        GUARD_END(cancelled, r);    /* ~BlockedOn, then ~WakeOpen */
        if
        :: opened -> sigopen[W] = 0; opened = 0
        :: else -> skip
        fi;
        if
        :: cancelled -> break
        :: else -> skip
        fi;
        LOAD(W, CLOSED, r);         /* wait_fd's, zl_io_check_closed */
        if
        :: r -> r = 0; break
        :: else -> skip             /* read again */
        fi
     od;
#endif
     skip                           /* the extension checks closed: IOError */
  :: else -> skip
  fi;
  LEAVE(W, 0, ok, named, r);
  assert(!sigpend[W]);              /* no runtime signal outlives the call */
#if defined(CANCEL) || defined(EXIT)
  if
  :: cancelled -> goto leave_thread
  :: skip
  fi;
  if
  :: goto leave_thread        /* the thread ends after its call */
  :: skip
  fi;
  goto done;
vanish:
  skip;
  d_step { live[W] = 0; ok = 0 };   /* no unwinding: the entry still names R */
leave_thread:
  skip;
  THREAD_EXIT(named, r);
  REGISTER();
done:
#endif
#ifdef SET
set_done:
#endif
  finished++
}
#endif

#ifdef SELECTOR
/* ---- SELECTOR: a selector's waiter and a fill of S ---- */

/* W: Selector#wait with no limit on {R, S}, then, once the closer and the
 * filler have ended, Selector#wait(0). R's open file may turn readable in
 * the kernel at any moment (kernel()); S's input is only ever buffered. */
active proctype sel_waiter() {
  byte r, st;
  bool got, first, looked, copied;
#if defined(MASK_OPEN)
  sigopen[W] = 1;
#elif !defined(MASK_BLOCKED)
  if
  :: sigopen[W] = 1
  :: skip
  fi;
#endif
  /* buffer first: the stack, then one look with a zero limit */
  TAKE_READY(got, st);
  if
  :: got -> goto first_done
  :: else -> skip
  fi;
  d_step { SEL_COPY() };
  if
  :: ev -> TAKE_EVENTS(st); TAKE_READY(got, st);
     if
     :: got -> goto first_done
     :: else -> skip
     fi
  :: else -> skip
  fi;
  wframe = 1;
  STORE(W, BLOCKED, BSET);          /* BlockedOn(t, &s->set) */
  PUBLISH(W);
#ifndef PLANT_SEL_NO_MARK_FENCE
  FENCE(W);                         /* the mark before the stack's look */
#endif
  first = 1;
  do
  ::
#ifndef PLANT_LIMIT_AFTER_CHECK
     left0 = 0;                     /* wait_left: a far limit */
#endif
#ifdef PLANT_SEL_POP_BEFORE_MARK
     if
     :: first -> first = 0          /* trusts the look made before the mark */
     :: else -> TAKE_READY(got, st)
     fi;
#else
     TAKE_READY(got, st);
#endif
     if
     :: got -> break
     :: else -> skip
     fi;
#ifdef PLANT_LIMIT_AFTER_CHECK
     left0 = 0;
#endif
#ifdef SEL_PWAIT
     copied = left0;                /* epoll_pwait: the limit read before the call */
#endif
     d_step {                       /* epoll_pwait2: the limit read at entry */
       SEL_COPY();
       if
#ifdef SEL_PWAIT
       :: ev || copied -> copied = 0
#else
       :: ev || left0 -> skip       /* events, or a wake zeroed the limit: at once */
#endif
       :: else -> insys[W] = 1      /* sleeps, the wake signal open */
       fi
     };
     if
     :: insys[W] ->
        if
        :: d_step { sigpend[W] -> sigpend[W] = 0; insys[W] = 0; MARK_WOKEN() }  /* EINTR */
        :: d_step { (interest & kready) -> insys[W] = 0; SEL_COPY() }           /* an event */
        fi
     :: else -> skip
     fi;
     if
     :: ev -> TAKE_EVENTS(st); TAKE_READY(got, st);
        if
        :: got -> break
        :: else -> skip
        fi
     :: else -> skip
     fi
  od;
  UNBLOCK(r);                       /* ~BlockedOn */
  wframe = 0;
first_done:
  ROUND_END();
  assert(!sigpend[W]);

  (finished == 2);
  /* Selector#wait(0): the stack, and only if it held nothing, the kernel */
  TAKE_READY(got, st);
  if
  :: !got ->
     looked = 1;
     d_step { SEL_COPY() };
     if
     :: ev -> TAKE_EVENTS(st); TAKE_READY(got, st)
     :: else -> skip
     fi
  :: else -> skip
  fi;
  d_step {
    assert(!sel_closing || closed_answers == 1);  /* R answered closed, by one wait */
    assert(!pend_s || (ans & BIT(ES)));           /* S's buffered input still answered */
    assert(!(n_added && looked) || (ans & BIT(EN)))  /* N, on R's old number, answered */
  };
  ROUND_END();
  finished++
}

/* Q: a read of S that buffers input (or, when R is closed, none), its wake:
 * selectors_fill, then the sends (one round: the zeroed limit covers a wake
 * taken early); then a new stream N may open, taking R's number once it is
 * free, and be registered in the selector, its input waiting in the kernel. */
active proctype sel_filler() {
  byte r, was;
  bool sent, wantn, iset;
  if
  :: sel_filling = 1
  :: sel_closing -> skip            /* no fill: the close alone ends the wait */
  fi;
  if
  :: sel_filling ->
     d_step { blen[Q] == 0 -> pend_s = 1 };  /* publish_pending: a seq_cst store */
     LOCK(Q);                       /* S->selected > 0: wake_sleepers(S) */
#ifdef PLANT_SEL_FILL_WAKE_FIRST
     SIGNAL_BLOCKED(Q, sent, r, iset);
     sent = 0;
#endif
     QUEUE(Q, ES, 0, was);          /* selectors_fill */
#if defined(SEL_FILL_ROUNDS) && !defined(PLANT_SEL_FILL_WAKE_FIRST)
     /* send_until_out, as the code has it: rounds until the waiter is out */
     do
     :: SIGNAL_BLOCKED(Q, sent, r, iset);
        if
        :: sent -> sent = 0
        :: else -> break
        fi;
        fill_rounds++;
        assert(fill_rounds < 5);
        UNLOCK(Q);
        (insys[W] && !sigpend[W] || !(mem[BLOCKED] & BSET));  /* the pause */
        LOCK(Q)
     od;
#elif !defined(PLANT_SEL_FILL_WAKE_FIRST)
     SIGNAL_BLOCKED(Q, sent, r, iset);
     sent = 0;
#endif
     UNLOCK(Q)
  :: else -> skip
  fi;
  if
  :: wantn = 1
  :: skip
  fi;
  if
  :: wantn ->
     (released || sel_noclose);
     if
     :: released ->
        d_step { numowner = 2; kready = kready | BIT(EN) };  /* open: the lowest free number */
        if
        :: LOCK(Q);                 /* zl_selector_add: EPOLL_CTL_ADD, N's file, the number */
           d_step { interest = interest | BIT(EN); n_added = 1 };
           UNLOCK(Q)
        :: skip
        fi
     :: else -> skip
     fi
  :: else -> skip
  fi;
  finished++
}
#endif

/* At the end: every caller thread has ended (a blocked one makes this an
 * invalid end state), and the descriptor was released exactly once (or, in
 * the fill configuration with no close, not at all). */
active proctype monitor() {
#if defined(SELECTOR)
  finished == NCALLERS;
  assert(!sigpend[W]);
  assert(sel_closing && released == 1 && !release_pending || !sel_closing && released == 0)
#elif defined(FORK)
  /* in the child: R's descriptor released iff R is closed, once */
  if
  :: child_done
  :: timeout -> assert(child_done)  /* the child is stuck */
  fi;
  assert(mem[CLOSED] && released == 1 && !release_pending ||
         !mem[CLOSED] && released == 0);
#else
  finished == NCALLERS;
#ifdef WRITER
  (!smark);                         /* the sleeper, woken, leaves too */
#endif
  assert(mem[SLEEPERS] == 0);       /* every wait that counted itself left the count */
  assert(!sigpend[W]);              /* nor does one reach the entry's next thread */
#ifdef MB_REFUSED
  /* the threads end: an owed R that nobody names is given back */
  if
  :: release_pending ->
     (blen[Q] + blen[W] + blen[C] == 0);
     d_step {
       assert(mem[SLOT(Q, 0)] + mem[SLOT(W, 0)] + mem[SLOT(C, 0)] + mem[SLOT(C, 1)] == 0);
       RELEASE();
       release_pending = 0
     }
  :: else -> skip
  fi;
#endif
#ifdef CLOSER
  assert(released == 1 && !release_pending)
#else
  assert(released == 0)
#endif
#endif
}
