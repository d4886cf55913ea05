#pragma once
// What a run needs of its process before and beside its files: standard descriptors that are
// open, so that no file it opens is taken for one; the signals that end it, held back while
// a step must not be cut; and random digits for names of its own.
#include <pthread.h>

#include <csignal>
#include <cstddef>

/// The signals whose default action ends a run and that can be caught, besides the real-time
/// signals (SIGRTMIN to SIGRTMAX, known only at run time): an interrupt, a kill, a closed
/// terminal, a quit, a reader of standard error that went away, the limits and timers of a
/// batch scheduler or `ulimit -t` (SIGXCPU, SIGALRM, SIGVTALRM, SIGPROF), the user's own
/// signals and the rest that end a process by default. Left out: SIGKILL and SIGSTOP (they
/// cannot be caught), the crashes (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), which must end a
/// run as crashes, and SIGXFSZ, which a run turns into a full disk.
constexpr int kEndingSignals[] = {
    SIGINT,    SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE, SIGXCPU, SIGALRM,
    SIGVTALRM, SIGPROF, SIGUSR1, SIGUSR2, SIGIO,   SIGSYS,  SIGTRAP,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

/// Ending signals that a crash raises too (a system call a filter forbids, a breakpoint left
/// in the code): only one that a process sent (processSignalSent) ends a run as the others
/// do; the kernel's is a crash and stays one.
constexpr int kEndingSignalsOfCrashes[] = {SIGSYS, SIGTRAP};

/// Ending signals that the kernel also raises for a step of the run: a lease taken to see a
/// file's writers is broken with SIGIO, which the probe reads back itself. Only one that a
/// process sent ends a run.
constexpr int kEndingSignalsOfLeases[] = {SIGIO};

/// Fills `set` with kEndingSignals and the real-time signals.
void processEndingSignals(sigset_t* set);

/// Whether a signal was sent by a process (kill, sigqueue, tgkill; also this one passing a
/// signal on to its main thread) rather than raised by the kernel (a fault, a trap, a timer,
/// a closed pipe, a broken lease).
inline bool processSignalSent(const siginfo_t* info) { return info != nullptr && info->si_code <= 0; }

/// Holds the ending signals back on the calling thread while it lives: one that comes
/// meanwhile (or that another thread passes on to this one) is taken when it ends, so that
/// a step of a few calls (making a file and noting its name, moving a file and removing it)
/// is never cut in the middle.
class cEndingSignalsHeld_t {
 public:
  cEndingSignalsHeld_t() {
    sigset_t ending;
    processEndingSignals(&ending);
    pthread_sigmask(SIG_BLOCK, &ending, &previous_);
  }
  ~cEndingSignalsHeld_t() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  cEndingSignalsHeld_t(const cEndingSignalsHeld_t&) = delete;
  cEndingSignalsHeld_t& operator=(const cEndingSignalsHeld_t&) = delete;

 private:
  sigset_t previous_{};
};

/// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, lowest first, so that a
/// file opened later never gets one of them (a log line written to 2 would land inside it).
/// Call before anything else is opened. False when one could not be opened on its number.
bool processOpenStandardDescriptors();

/// Writes `count` lowercase hexadecimal digits into `out` (no terminator): from the system's
/// random source, or where that fails from the time, the process id and a counter. Unique
/// enough for a name that is taken only when free; never a secret.
void processRandomHex(char* out, size_t count);
