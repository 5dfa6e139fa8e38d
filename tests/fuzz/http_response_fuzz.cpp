// The HTTP answer as the page fetch reads it: a peer on 127.0.0.1 takes the GET request and
// answers with the fuzzed bytes, then closes. The transfer stores the body in a page file,
// and the page check judges the answer's start (which writes the page error file).
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "fuzz_temp.h"
#include "hostcheck/debug_log.h"
#include "hostcheck/page_status.h"
#include "hostcheck/web_transfer.h"
#include "loopback_peer.h"
#include "platform/files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzpeer::LoopbackPeer* peer = new fuzzpeer::LoopbackPeer;
  static const std::string pageFile = fuzzpeer::FuzzTempDir("http") + "/page.htm";
  platform::RemoveFile(pageFile);
  peer->Serve(data, size, true);
  hostcheck::DebugLog log(-1, 0);
  int32_t words[5] = {};
  hostcheck::ProgressWords progress(&words[0], &words[1], &words[2], &words[3], &words[4]);
  const std::string path = "/index.html";
  const hostcheck::TransferResult result =
      hostcheck::RunTransfer("127.0.0.1", peer->port(), log,
                             hostcheck::BuildGetRequest(path, "127.0.0.1"), pageFile, 2000, progress);
  peer->Join();
  FUZZ_CHECK(result.statusText.size() <= 499);
  // The page never holds more than the peer sent.
  FUZZ_CHECK(platform::FileSize(pageFile) <= static_cast<int64_t>(size));
  if (result.code == 0) {
    hostcheck::EvaluatePageStatus(result.statusText, pageFile, "127.0.0.1", path);
  }
  return 0;
}
