#include "platform/console.h"

#include <csignal>

namespace platform {

namespace {

// Set by the SIGINT handler. A signal handler can only reach state like this.
std::atomic<bool> interruptRequested{false};

extern "C" void OnInterrupt(int) {
  interruptRequested.store(true);
  // A second Ctrl-C ends the process at once.
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

InterruptCatcher::InterruptCatcher() {
  interruptRequested.store(false);
  std::signal(SIGINT, OnInterrupt);
}

InterruptCatcher::~InterruptCatcher() {
  std::signal(SIGINT, SIG_DFL);
}

const std::atomic<bool>& InterruptCatcher::requested() const {
  return interruptRequested;
}

}  // namespace platform
