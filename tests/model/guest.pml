/*
 * The runtime's locks and its thread table as a guest in a host process:
 * fork with any lock held (runtime/fork.cpp), a signal handler that forks or
 * closes on a thread inside a runtime section, thread exit, and the list of
 * closes owed a release (runtime/in_flight.cpp). Names are the code's names.
 * Memory is sequentially consistent here: the ordering of the calls' plain
 * stores against a close is close_protocol.pml's part.
 *
 * A call on a stream names it in its thread's chain, then checks closed
 * (IOError, no lock taken, if set), as in close_protocol.pml.
 *
 * Locks (owner-word locks: 0 free, else the holder + 1; a thread taking one it
 * holds waits for ever): the loader's, the definitions', the interning's and
 * the registry's (the short locks), the thread table's, and stream S0's
 * buf_lock and reader's turn. TableLock blocks every signal on its thread.
 *
 * Threads:
 *   forker (F) first one section of its own, chosen at the start: a short
 *              section, a reader's call on S0 (the turn, then a change under
 *              buf_lock), a close of S0 (a table section), or none. A signal
 *              handler may run once wherever F's signals are open (in its
 *              section or after it): it forks, closes S0, or makes a call
 *              that needs the lock of F's section or S0's turn (refused with
 *              EDEADLK if F holds it). Without a
 *              handler's fork, F may fork after its section. In the child F
 *              makes its first call of each kind: each short lock (making a
 *              value, interning, defining, loading), a read on S0 (turn, then
 *              buf_lock), a close of S1 (thread table, and S1's release).
 *   other  (T) up to two actions, each any of: a short section, a read on S0
 *              (it holds the turn for the whole call), a call on S1 (which may
 *              close S1 from inside, or leave the thread with no unwinding), a
 *              close of S0 or S1; at its end thread_exit runs. It does not
 *              exist in the child: the search follows the child after a fork.
 *
 * The owed list: a close of a stream still named by a call puts it at the
 * list's head (owe); its release unlinks it; thread exit and the fork child
 * release what only vanished threads named (release_unnamed). After every
 * table section the list must be well formed and hold exactly the streams
 * with release_pending.
 *
 * Properties: no thread waits for ever for a lock (a stuck thread, the child
 * included, fails the monitor's check at the timeout); a stream's descriptor
 * is released at most once, and at the end every closed stream is released
 * and the owed list is empty.
 *
 * Checked with pan -E (a thread that does not exist in the child stops where
 * it is); the monitor catches a stuck thread. PLANT_*: see tests/model/check.
 */

#define F 0
#define T 1

#define LOADER 0
#define DEFINE 1
#define INTERN 2
#define REGISTRY 3
#define TABLE 4
#define BUFL 5                     /* S0's buf_lock */
#define TURN 6                     /* S0's reader's turn */
#define NLOCKS 7

#define NONE 2                     /* no stream: the owed list's end */

byte owner[NLOCKS];
bool sigblocked[2];                /* TableLock: every signal blocked */
bool named[4];                     /* named[t * 2 + s]: t's chain names stream s */
bool closed[2];
byte released[2];
bool release_pending[2];
byte owed_prev[2], owed_next[2];
byte head = NONE;                  /* the owed list */
bool kept[NLOCKS];                 /* prepare found it held by F itself: skipped */
bool took[NLOCKS];                 /* prepare took it: the child frees it */
bool forked, handled, f_done, t_done, child_done;
byte i, j;                         /* loop indices inside d_steps */

/* ---- locks ---- */

inline LOCK(t, l) {
  atomic { owner[l] == 0 -> owner[l] = t + 1 }
}

inline UNLOCK(t, l) {
  assert(owner[l] == t + 1);
  owner[l] = 0
}

inline TABLE_BEGIN(t) {
  skip;                             /* taken, then it may wait */
#ifndef PLANT_TABLE_SIGNALS_OPEN
  sigblocked[t] = 1;
#endif
  LOCK(t, TABLE)
}

inline TABLE_END(t) {
  LIST_CHECK();
  UNLOCK(t, TABLE);
  sigblocked[t] = 0
}

/* ---- the owed list, under the table's lock ---- */

#define NAMED(s) (named[F * 2 + (s)] || named[T * 2 + (s)])

inline OWE(s) {
  release_pending[s] = 1;
  owed_prev[s] = NONE;
  owed_next[s] = head;
  if
  :: head != NONE -> owed_prev[head] = s
  :: else -> skip
  fi;
  head = s
}

inline UNLINK(s) {
  release_pending[s] = 0;
#ifdef PLANT_UNLINK_HEAD_ONLY
  head = owed_next[s];
#else
  if
  :: owed_prev[s] != NONE -> owed_next[owed_prev[s]] = owed_next[s]
  :: else -> head = owed_next[s]
  fi;
#endif
  if
  :: owed_next[s] != NONE -> owed_prev[owed_next[s]] = owed_prev[s]
  :: else -> skip
  fi
}

/* Walks the list: well formed, and exactly the streams owed a release. */
inline LIST_CHECK() {
  d_step {
    i = head; j = NONE;
    do
    :: i != NONE ->
       assert(release_pending[i] && owed_prev[i] == j);
       j = i; i = owed_next[i]
    :: else -> break
    od;
    i = 0;
    do
    :: i < 2 ->
       if
       :: release_pending[i] ->     /* on the list */
          j = head;
          do
          :: j != i && j != NONE -> j = owed_next[j]
          :: else -> break
          od;
          assert(j == i)
       :: else -> skip
       fi;
       i++
    :: else -> break
    od;
    i = 0; j = 0
  }
}

/* release: the descriptor given back once; S0's buffer dropped under its
 * buf_lock (the table's lock held: the runtime's only nesting). */
inline RELEASE(t, s) {
  released[s]++;
  assert(released[s] == 1);
  if
  :: s == 0 -> LOCK(t, BUFL); UNLOCK(t, BUFL)
  :: else -> skip
  fi;
  if
  :: release_pending[s] -> UNLINK(s)
  :: else -> skip
  fi
}

inline RELEASE_UNNAMED(t, s, nx) {
  s = head;
  do
  :: s != NONE ->
     nx = owed_next[s];
     if
     :: !NAMED(s) -> RELEASE(t, s)
     :: else -> skip
     fi;
     s = nx
  :: else -> break
  od;
  s = 0; nx = 0
}

inline CLOSE_BODY(t, s) {
  if
  :: !closed[s] ->
     closed[s] = 1;
     if
     :: NAMED(s) -> OWE(s)
     :: else -> RELEASE(t, s)
     fi
  :: else -> skip
  fi
}

inline LEAVE(t, s) {
  named[t * 2 + s] = 0;
  if
  :: closed[s] ->                   /* leave_closed */
     TABLE_BEGIN(t);
     if
     :: release_pending[s] && !NAMED(s) -> RELEASE(t, s)
     :: else -> skip
     fi;
     TABLE_END(t)
  :: else -> skip
  fi
}

/* ---- fork (fork.cpp's handlers), by F; the search then follows the child ---- */

/* prepare: each lock in order, skipping one F holds (a handler's fork
 * interrupted its section); the thread table's; S0's buf_lock. */
inline PREPARE_LOCK(l) {
#ifndef PLANT_NO_HELD_CHECK
  if
  :: owner[l] == F + 1 -> kept[l] = 1
  :: else -> LOCK(F, l); took[l] = 1
  fi
#else
  LOCK(F, l); took[l] = 1
#endif
}

inline FORK(s, nx) {
#ifdef PLANT_SKIP_REGISTRY
  PREPARE_LOCK(LOADER); PREPARE_LOCK(DEFINE); PREPARE_LOCK(INTERN);
#else
  PREPARE_LOCK(LOADER); PREPARE_LOCK(DEFINE); PREPARE_LOCK(INTERN); PREPARE_LOCK(REGISTRY);
#endif
#ifdef PLANT_BUFFERS_FIRST
  PREPARE_LOCK(BUFL);
  sigblocked[F] = 1; LOCK(F, TABLE);  /* in_flight_before_fork */
#else
  sigblocked[F] = 1; LOCK(F, TABLE);  /* in_flight_before_fork */
  PREPARE_LOCK(BUFL);
#endif
  /* fork(2): only F goes on, in the child */
  forked = 1;
  /* child: the reader's turn held by a vanished thread freed, the buffer
   * locks freed, the table's child work, then the other locks freed */
#ifndef PLANT_NO_TURN_RESET
  if
  :: owner[TURN] == T + 1 -> owner[TURN] = 0
  :: else -> skip
  fi;
#endif
  if
  :: !kept[BUFL] -> owner[BUFL] = 0
  :: else -> skip
  fi;
  named[T * 2] = 0; named[T * 2 + 1] = 0;  /* reset(): the vanished thread's entry */
  RELEASE_UNNAMED(F, s, nx);
  LIST_CHECK();
  owner[TABLE] = 0; sigblocked[F] = 0;
  d_step {
    i = 0;
    do
    :: i <= REGISTRY ->
       if
       :: took[i] -> owner[i] = 0
       :: else -> skip
       fi;
       i++
    :: else -> break
    od;
    i = 0
  }
}

/* ---- the signal handler on F ---- */

/* A handler's call that needs lock l: refused at once (EDEADLK) if its own
 * thread holds l, in the section the handler interrupted. */
inline HANDLER_TAKES(l) {
#ifndef PLANT_NO_EDEADLK
  if
  :: owner[l] == F + 1 -> skip      /* SystemCallError EDEADLK */
  :: else -> LOCK(F, l); UNLOCK(F, l)
  fi
#else
  LOCK(F, l); UNLOCK(F, l)
#endif
}

inline HANDLER(s, nx, l) {
  if
  :: !sigblocked[F] && !handled ->
     handled = 1;
     if
     :: skip; FORK(s, nx)           /* (skip: an option is taken, then it may wait) */
     :: skip; TABLE_BEGIN(F); CLOSE_BODY(F, 0); TABLE_END(F)  /* close(S0) */
     :: skip; HANDLER_TAKES(l)      /* a value, a name, a definition, a load */
     :: skip; HANDLER_TAKES(TURN)   /* gets on S0 */
     fi
  :: skip
  fi
}

/* ---- threads ---- */

active proctype forker() {
  byte s, nx, l;
  if
  :: l = LOADER
  :: l = DEFINE
  :: l = INTERN
  :: l = REGISTRY
  fi;
  if
  :: skip; LOCK(F, l); HANDLER(s, nx, l); UNLOCK(F, l)  /* a short section */
  :: named[F * 2] = 1;              /* gets on S0: */
     if
     :: !closed[0] ->
        LOCK(F, TURN);              /* the reader's turn for the whole call */
        HANDLER(s, nx, l);             /* (waiting for input, signals open) */
        LOCK(F, BUFL);
        HANDLER(s, nx, l);             /* a change under buf_lock */
        UNLOCK(F, BUFL);
        UNLOCK(F, TURN)
     :: else -> skip                /* IOError */
     fi;
     LEAVE(F, 0)
  :: TABLE_BEGIN(F);                /* close(S0) */
     HANDLER(s, nx, l);                /* signals blocked: never runs here */
     CLOSE_BODY(F, 0);
     TABLE_END(F)
  :: skip
  fi;
  HANDLER(s, nx, l);
  if
  :: !forked -> FORK(s, nx)
  :: skip
  fi;
  if
  :: forked ->                      /* the child's first call of each kind */
     LOCK(F, REGISTRY); UNLOCK(F, REGISTRY);
     LOCK(F, INTERN); UNLOCK(F, INTERN);
     LOCK(F, DEFINE); UNLOCK(F, DEFINE);
     LOCK(F, LOADER); UNLOCK(F, LOADER);
     named[F * 2] = 1;
     if
     :: !closed[0] -> LOCK(F, TURN); LOCK(F, BUFL); UNLOCK(F, BUFL); UNLOCK(F, TURN)
     :: else -> skip
     fi;
     LEAVE(F, 0);
     TABLE_BEGIN(F); CLOSE_BODY(F, 1); TABLE_END(F);
     child_done = 1
  :: else -> skip
  fi;
  f_done = 1
}

active proctype other() provided (!forked) {
  byte n, l, s, nx;
  do
  :: n < 2 ->
     n++;
     if
     :: if
        :: l = LOADER
        :: l = DEFINE
        :: l = INTERN
        :: l = REGISTRY
        fi;
        LOCK(T, l); UNLOCK(T, l)    /* a short section */
     :: named[T * 2] = 1;           /* gets on S0, the turn held throughout */
        if
        :: !closed[0] ->
           LOCK(T, TURN);
           LOCK(T, BUFL); UNLOCK(T, BUFL);
           UNLOCK(T, TURN)
        :: else -> skip
        fi;
        LEAVE(T, 0)
     :: named[T * 2 + 1] = 1;       /* a call on S1 */
        if
        :: goto vanish              /* the thread leaves with no unwinding */
        :: LEAVE(T, 1)
        :: TABLE_BEGIN(T); CLOSE_BODY(T, 1); TABLE_END(T);  /* S1.close inside it */
           LEAVE(T, 1)
        fi
     :: TABLE_BEGIN(T); CLOSE_BODY(T, 0); TABLE_END(T)
     :: TABLE_BEGIN(T); CLOSE_BODY(T, 1); TABLE_END(T)
     fi
  :: else -> break
  od;
vanish:
  skip;
  TABLE_BEGIN(T);                   /* thread_exit */
  named[T * 2] = 0; named[T * 2 + 1] = 0;
  RELEASE_UNNAMED(T, s, nx);
  TABLE_END(T);
  t_done = 1
}

active proctype monitor() {
  timeout;                          /* nothing can move: all done, or stuck */
  assert(f_done && (forked && child_done || !forked && t_done));
  assert(head == NONE && !release_pending[0] && !release_pending[1]);
  assert(!closed[0] || released[0] == 1);
  assert(!closed[1] || released[1] == 1)
}
