// The simulated bootloader as a child process, for tests that drive it over its pseudo-terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vestrel::test {

inline int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The simulator as a child process; killed if a test leaves it running.
class SimProcess {
 public:
  explicit SimProcess(std::string binary = VESTREL_SIM_BINARY) : binary_(std::move(binary)) {}
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  // Starts the simulator and returns the device path from its first output line. Its stderr
  // goes to `errPath` when one is given.
  std::optional<std::string> Start(std::vector<std::string> args, const std::string& errPath = {}) {
    args.insert(args.begin(), binary_);
    if (stdout_ >= 0) close(stdout_);  // from an earlier run of this process object
    stdout_ = -1;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    if (!errPath.empty())
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    stdout_ = pipeFds[0];
    if (rc != 0) {
      pid_ = -1;
      return std::nullopt;
    }
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(5000);
    char c = 0;
    while (line.find('\n') == std::string::npos) {
      pollfd fd{stdout_, POLLIN, 0};
      if (poll(&fd, 1, RemainingMs(deadline)) <= 0 || read(stdout_, &c, 1) != 1)
        return std::nullopt;
      line += c;
    }
    line.pop_back();
    return line;
  }

  // Waits for the process to end by itself; its exit status, or nothing after `limit`.
  std::optional<int> WaitExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  std::optional<int> Terminate() {
    kill(pid_, SIGTERM);
    return WaitExit(std::chrono::milliseconds(5000));
  }

 private:
  std::string binary_;
  pid_t pid_ = -1;
  int stdout_ = -1;
};

}  // namespace vestrel::test
