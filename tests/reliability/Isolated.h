// Runs work each in a process of its own, forked from the test: the mode
// manager and the frame are process-wide singletons, as in the product, so every run
// needs a fresh process. A run that does not end in time is killed; one that crashes is
// reported with its signal; one that ends without its whole report is broken too.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace reliability {

// What a child reports back, one line at a time.
class Lines {
 public:
  explicit Lines(std::vector<std::string>& out) : m_out(out) {}
  void add(std::string line) { m_out.push_back(std::move(line)); }

 private:
  std::vector<std::string>& m_out;
};

struct ChildResult {
  // Unreported: it exited with 0 but without its whole report, which counts as broken.
  enum class End { Finished, Crashed, Hung, Unreported };
  End end = End::Finished;
  int status = 0;  // the exit code, or the signal that ended it
  std::vector<std::string> lines;
  std::string describe() const;
};

// Runs body(i, lines) for i in [0, count), each in a forked child, at most `parallel` at
// once, each killed after `limitMs` of real time. The calling process must not have
// started threads of its own.
std::vector<ChildResult> runIsolated(size_t count, const std::function<void(size_t, Lines&)>& body, size_t parallel,
                                     int limitMs);

// The ids of the calling process's threads, from /proc.
std::set<long> threadIds();
// Waits (really) until every thread not in `before` has ended; false after the timeout.
bool waitThreadsEnded(const std::set<long>& before, int timeoutMs);

// Runs LeakSanitizer's check now, when the build has it; true when it found a leak.
bool leaksFound();

// How many children to run side by side on this machine.
size_t defaultParallelism();

}  // namespace reliability
