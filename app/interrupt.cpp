#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace {

// Lock-free, so that the handler may store into it.
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void keepSignal(int signal) { received.store(signal); }

}  // namespace

void catchInterrupts() {
  struct sigaction action {};
  action.sa_handler = keepSignal;
  sigemptyset(&action.sa_mask);
  // Interrupted system calls resume: a write in progress finishes its file.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int interruptSignal() { return received.load(); }
