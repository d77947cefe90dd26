// Any command line, through the program's entry: the role that argv[1] selects (a "-" or
// "/", then "install", "remove", "delfile" or "idletask" compared whole with only A to Z
// folded) is compared with what the run did, and wmain must return 0. Arguments are
// UTF-16 units, as Windows hands them over; the watcher is kept from running for ever by
// a mutex it cannot create. (A process plays one role; here the manager outlives a run.)
#include "modes/ModeManager.h"
#include "service/CommandLine.h"
#include "service/Main.h"
#include "service/ServiceControl.h"
#include "tests/fuzz/FuzzSupport.h"
#include "tests/support/TraceCapture.h"

#include <string>

namespace {

constexpr const char* kTarget = "command-line";

ProcessRole model(const std::vector<std::wstring>& args) {
  if (args.size() < 2 || args[1].empty() || (args[1][0] != L'-' && args[1][0] != L'/')) return ProcessRole::Service;
  std::wstring word;
  for (wchar_t c : args[1].substr(1)) word += (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
  if (word == L"install") return ProcessRole::Install;
  if (word == L"remove") return ProcessRole::Remove;
  if (word == L"delfile") return ProcessRole::DelFile;
  if (word == L"idletask") return ProcessRole::IdleTask;
  return ProcessRole::UnknownSwitch;
}

// The role the run played, from what it left behind.
ProcessRole played(const TraceCapture& traces) {
  if (sim::callCount("StartServiceCtrlDispatcherW") > 0) return ProcessRole::Service;
  if (sim::scm::config(QTHERM_SERVICE_NAME)) return ProcessRole::Install;
  if (traces.contains(L"QTHERM.inf not exist,uninstall the service")) return ProcessRole::Remove;
  if (!sim::files::pendingDeletes().empty()) return ProcessRole::DelFile;
  if (traces.contains(L"CreateMutexW Global\\QTHUniversal_Idle_Mutex error")) return ProcessRole::IdleTask;
  return ProcessRole::UnknownSwitch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Byte 0: no argv at all (argc 0) when its low nibble is 0xF; the rest: the arguments
  // as UTF-16 units, separated by a NUL unit, at most four.
  const bool noArguments = (data[0] & 0xF) == 0xF;
  std::vector<std::wstring> args{QTHERM_INSTALLED_EXE, L""};
  for (size_t i = 1; i + 1 < size; i += 2) {
    wchar_t unit = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    if (unit != 0)
      args.back() += unit;
    else if (args.size() < 5)
      args.emplace_back();
  }
  if (size == 1) args.pop_back();  // the program's name alone
  if (noArguments) args.clear();

  std::vector<wchar_t*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  wchar_t* envp[] = {nullptr};

  sim::reset();
  TraceCapture traces;
  // An installed component, and a firmware without functions: no role adds modes to the
  // process's one mode manager, which lives on from input to input.
  sim::reg::setDword(IC_REG_ROOT, IC_REG_VERSION, IC_VERSION);
  sim::failAlways("CreateMutexW", ERROR_ACCESS_DENIED);
  const ProcessRole expected = model(args);
  if (SelectProcessRole(static_cast<int>(args.size()), argv.data()) != expected)
    fuzz::fail(kTarget, "SelectProcessRole differs from the model");
  if (wmain(static_cast<int>(args.size()), argv.data(), envp) != 0) fuzz::fail(kTarget, "wmain returned other than 0");
  if (played(traces) != expected) fuzz::fail(kTarget, "the run played another role than the model's");
  traces.clear();
  return 0;
}
