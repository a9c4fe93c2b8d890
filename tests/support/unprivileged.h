// Runs part of a test as an ordinary user. Where the tests run as root (CI, containers),
// permissions never refuse anything, so the checks of a refused file or device would prove
// nothing; in a child process as the user nobody, without groups, they do.
#pragma once

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace vestrel::test {

inline constexpr uid_t kNobody = 65534;

// Runs `body` as nobody in a child process when the tests run as root, in process otherwise.
// The child prints its own failures; any of them fails the test here. Files and folders that
// `body` uses must be reachable by others.
inline void AsOrdinaryUser(const std::function<void()>& body) {
  if (::geteuid() != 0) {
    body();
    return;
  }
  std::fflush(stdout);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
      ::_exit(2);
    body();
    std::fflush(stdout);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the part run as nobody failed (its failures are printed above), status " << status;
}

}  // namespace vestrel::test
