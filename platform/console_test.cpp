#include "platform/console.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#endif

using namespace platform;

TEST(InterruptCatcher, TheFirstCtrlCOnlySetsTheFlag) {
  {
    const InterruptCatcher catcher;
    EXPECT_FALSE(catcher.requested().load());
    std::raise(SIGINT);
    EXPECT_TRUE(catcher.requested().load()) << "the process is still here, the flag is set";
  }
  const InterruptCatcher next;
  EXPECT_FALSE(next.requested().load()) << "a new run starts without the old request";
}

#ifndef _WIN32
namespace {

// Runs `body` in a child process and returns its wait status.
template <typename Body>
int InChild(Body body) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    body();
    ::_exit(0);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  return status;
}

bool KilledByInterrupt(int status) {
  return WIFSIGNALED(status) && WTERMSIG(status) == SIGINT;
}

}  // namespace

// Guards a run that no Ctrl-C can stop, and a handler left behind after it.
TEST(InterruptCatcher, ASecondCtrlCAndOneAfterTheRunEndTheProcess) {
  EXPECT_TRUE(KilledByInterrupt(InChild([] {
    const InterruptCatcher catcher;
    std::raise(SIGINT);
    std::raise(SIGINT);
  })));
  EXPECT_TRUE(KilledByInterrupt(InChild([] {
    { const InterruptCatcher catcher; }
    std::raise(SIGINT);
  })));
}

// Guards `rawlift preview -o - | head -c 1`: the reader going away must give
// a write error, not end the process silently by SIGPIPE.
TEST(StandardOutput, AReaderThatGoesAwayGivesAWriteError) {
  const int status = InChild([] {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) ::_exit(2);
    ::close(ends[0]);
    ::close(ends[1]);
    PrepareStandardOutputForBytes();
    const bool failed = std::fwrite("bytes", 1, 5, stdout) != 5 || std::fflush(stdout) != 0;
    ::_exit(failed && errno == EPIPE ? 0 : 3);
  });
  ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Guards a progress bar drawn into a file or pipe, or never drawn on a terminal.
TEST(StandardError, IsATerminalOnlyWhenItIsOne) {
  const int on_pipe = InChild([] {
    int ends[2];
    if (::pipe(ends) != 0 || ::dup2(ends[1], STDERR_FILENO) < 0) ::_exit(2);
    ::_exit(StandardErrorIsTerminal() ? 1 : 0);
  });
  EXPECT_TRUE(WIFEXITED(on_pipe) && WEXITSTATUS(on_pipe) == 0);
  const int on_terminal = InChild([] {
    // A pseudo-terminal of the test's own: no controlling terminal needed.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) ::_exit(2);
    const char* name = ::ptsname(master);
    const int terminal = name ? ::open(name, O_RDWR | O_NOCTTY) : -1;
    if (terminal < 0 || ::dup2(terminal, STDERR_FILENO) < 0) ::_exit(2);
    ::_exit(StandardErrorIsTerminal() ? 0 : 1);
  });
  ASSERT_TRUE(WIFEXITED(on_terminal));
  if (WEXITSTATUS(on_terminal) == 2) GTEST_SKIP() << "no pseudo-terminal here";
  EXPECT_EQ(WEXITSTATUS(on_terminal), 0);
}
#endif

#ifdef _WIN32
// Guards a preview on standard output with every 0A byte turned into 0D 0A.
TEST(StandardOutput, TakesBytesAsTheyAre) {
  PrepareStandardOutputForBytes();
  // _setmode answers with the mode it replaces.
  EXPECT_EQ(::_setmode(::_fileno(stdout), _O_TEXT), _O_BINARY);
}
#endif
