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
constexpr int kReportNotWritten = 71;
// A report ends with this line; one without it was cut short.
const char kLastLine[] = "end of report";

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
      if (status == kEscapedException) return "an exception left the run";
      if (status == kReportNotWritten) return "its report could not be written";
      return "exit " + std::to_string(status);
    case End::Unreported:
      return "exit 0 before its report was whole";
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
        lines.push_back(kLastLine);
        std::FILE* f = std::fopen(name, "w");
        bool written = f != nullptr;
        for (size_t i = 0; written && i < lines.size(); i++) written = std::fprintf(f, "%s\n", lines[i].c_str()) >= 0;
        if (f && std::fclose(f) != 0) written = false;
        if (!written) std::exit(kReportNotWritten);
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
        ChildResult& r = results[it->index];
        r.lines = readLines(it->file);
        if (!r.lines.empty() && r.lines.back() == kLastLine)
          r.lines.pop_back();
        else if (r.end == ChildResult::End::Finished && r.status == 0)
          r.end = ChildResult::End::Unreported;
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
