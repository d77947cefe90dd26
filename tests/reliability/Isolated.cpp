#include "tests/reliability/Isolated.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

// LeakSanitizer's entry point, present only in sanitizer builds.
extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace reliability {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEscapedException = 70;

struct Running {
  size_t index;
  pid_t pid;
  std::string file;
  Clock::time_point deadline;
};

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

std::string ChildResult::describe() const {
  switch (end) {
    case End::Finished:
      return status == kEscapedException ? "an exception left the run" : "exit " + std::to_string(status);
    case End::Crashed:
      return std::string("crashed with signal ") + std::to_string(status) + " (" + strsignal(status) + ")";
    case End::Hung:
      return "did not end in time and was killed";
  }
  return "?";
}

std::vector<ChildResult> runIsolated(size_t count, const std::function<void(size_t, Lines&)>& body, size_t parallel,
                                     int limitMs) {
  std::vector<ChildResult> results(count);
  std::vector<Running> running;
  size_t next = 0;
  std::fflush(nullptr);  // nothing buffered is written twice
  while (next < count || !running.empty()) {
    while (next < count && running.size() < std::max<size_t>(parallel, 1)) {
      char name[] = "/tmp/qtherm-run-XXXXXX";
      int fd = mkstemp(name);
      if (fd < 0) std::abort();
      close(fd);
      pid_t pid = fork();
      if (pid < 0) std::abort();
      if (pid == 0) {
        // ThreadSanitizer starts a thread of its own with the first thread a process
        // creates: it starts now, before the body counts the threads it starts.
        std::thread([] {}).join();
        std::vector<std::string> lines;
        Lines out(lines);
        // Nothing may leave the body: the test framework above would go on in the child.
        try {
          body(next, out);
        } catch (...) {
          std::exit(kEscapedException);
        }
        std::FILE* f = std::fopen(name, "w");
        if (f) {
          for (auto& l : lines) std::fprintf(f, "%s\n", l.c_str());
          std::fclose(f);
        }
        // exit, not _exit: the sanitizers give their verdicts at exit (ThreadSanitizer's
        // reports and LeakSanitizer's check set the exit status).
        std::exit(0);
      }
      running.push_back({next, pid, name, Clock::now() + std::chrono::milliseconds(limitMs)});
      next++;
    }
    bool reaped = false;
    for (auto it = running.begin(); it != running.end();) {
      int status = 0;
      pid_t done = waitpid(it->pid, &status, WNOHANG);
      if (done == 0 && Clock::now() > it->deadline) {
        kill(it->pid, SIGKILL);  // the child we forked, by its id
        waitpid(it->pid, &status, 0);
        results[it->index].end = ChildResult::End::Hung;
        done = it->pid;
      } else if (done == it->pid) {
        ChildResult& r = results[it->index];
        if (WIFSIGNALED(status)) {
          r.end = ChildResult::End::Crashed;
          r.status = WTERMSIG(status);
        } else {
          r.status = WEXITSTATUS(status);
        }
      }
      if (done == it->pid) {
        results[it->index].lines = readLines(it->file);
        std::remove(it->file.c_str());
        it = running.erase(it);
        reaped = true;
      } else {
        ++it;
      }
    }
    if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return results;
}

std::set<long> threadIds() {
  std::set<long> ids;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return ids;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    ids.insert(std::strtol(entry->d_name, nullptr, 10));
  }
  closedir(dir);
  return ids;
}

bool waitThreadsEnded(const std::set<long>& before, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    bool extra = false;
    for (long id : threadIds()) extra = extra || !before.count(id);
    if (!extra) return true;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool leaksFound() { return __lsan_do_recoverable_leak_check && __lsan_do_recoverable_leak_check() != 0; }

size_t defaultParallelism() {
  unsigned n = std::thread::hardware_concurrency();
  return n > 2 ? n / 2 : 1;
}

}  // namespace reliability
