#include "support/peak_memory.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace testsupport {

long PeakMemoryKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace testsupport
