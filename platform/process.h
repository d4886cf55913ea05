#pragma once
// What a run needs of its process before and beside its files: standard descriptors that are
// open, so that no file it opens is taken for one; the signals that end it, held back while
// a step must not be cut; and random digits for names of its own.
#include <pthread.h>

#include <csignal>
#include <cstddef>

/// The signals that end a run by default and can be caught: an interrupt, a kill, a closed
/// terminal, a quit, a reader of standard error that went away.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

/// Holds the ending signals back on the calling thread while it lives: one that comes
/// meanwhile (or that another thread passes on to this one) is taken when it ends, so that
/// a step of a few calls (making a file and noting its name, moving a file and removing it)
/// is never cut in the middle.
class cEndingSignalsHeld_t {
 public:
  cEndingSignalsHeld_t() {
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal_number : kEndingSignals) sigaddset(&ending, signal_number);
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
