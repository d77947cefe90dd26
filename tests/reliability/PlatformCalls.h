// Which platform calls the system's code makes, read from its sources: the Win32
// functions declared by platform/ that modes/, helpers/ and service/ call, and the COM
// methods they call through interface pointers. A call is named as the simulated
// machine's fault point names it (a COM method by its method name alone).
#pragma once

#include <set>
#include <string>

namespace reliability {

struct PlatformCalls {
  std::set<std::string> functions;    // flat calls with a fault point in the simulated machine
  std::set<std::string> methods;      // COM methods (fault points "<interface>::<method>")
  std::set<std::string> unfailable;   // flat calls with no fault point (GetLastError, ...)
};

PlatformCalls platformCallsOfTheSystem(const std::string& sourceDir);

}  // namespace reliability
