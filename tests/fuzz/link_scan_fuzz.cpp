// The link scanner on a fuzzed page: every link it returns keeps its length bounds, and the
// page keeps its length (tags are lowercased in place).
#include <string>

#include "fuzz_check.h"
#include "hostcheck/link_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string page(reinterpret_cast<const char*>(data), size);
  const std::vector<hostcheck::PageLink> links = hostcheck::FindPageLinks(page, "www.varn.test");
  FUZZ_CHECK(page.size() == size);
  for (const hostcheck::PageLink& link : links) {
    FUZZ_CHECK(link.host.size() <= hostcheck::kMaxHostLength);
    FUZZ_CHECK(link.path.size() <= hostcheck::kMaxLinkPath);
  }
  return 0;
}
