// One FTP call on its own libcurl easy handle: sign in, do one upload, download or delete,
// close. This is where what libcurl reports becomes one of four endings, and where every
// wait of the call is bounded.
#pragma once

#include <cstdint>
#include <string>

#include "fileferry/ferry_tls.h"

namespace fileferry {

enum class Operation { kUpload, kDownload, kDelete };

// How a call ended; the exported operations turn this into their result codes.
enum class Ending {
  kDone,          // the operation succeeded
  kRefused,       // the operation itself failed: the server refused it, or the local file
                  // cannot be read or created, or the remote path is unusable
  kAfterSignIn,   // an error of the transfer machinery after the sign-in succeeded
  kBeforeSignIn,  // no signed-in connection came about (lookup, connect, greeting, sign-in)
  kOverdue,       // the call ran past its overall deadline, whatever stage it had reached
  // Secure calls only: the connection could not be made secure. Before the sign-in these
  // come before USER and PASS were sent.
  kTlsHandshake,      // no TLS session (alert, not TLS, no answer in time)
  kCertUntrusted,     // the chain leads to no trusted authority
  kCertExpired,       // the certificate is past its end date
  kCertHostMismatch,  // the certificate does not name the server
  kCertExpiresSoon,   // it ends within the warning days (found before the operation's command)
  kTlsRefused,        // the server refused AUTH TLS (and AUTH SSL)
};

struct Outcome {
  Ending ending = Ending::kBeforeSignIn;
  std::string errorText;  // the machinery's message for every ending but kDone and kRefused
};

struct CallRequest {
  Operation operation = Operation::kUpload;
  std::string server;
  std::string user;
  std::string password;
  std::string localPath;  // the upload's source or the download's new file
  std::string remotePath;
  int32_t timeoutMs = 0;  // 0 or below: kDefaultTimeoutMs
  bool passive = false;
  Security security = Security::kNone;
  bool verify = true;  // the chain (system store and caFile) and the host name
  std::string caFile;  // PEM file trusted besides the system's store; empty: none
  int certDays = 0;    // kCertExpiresSoon below this many days left; 0: not checked
};

constexpr int32_t kDefaultTimeoutMs = 60000;
// A download that runs past this many bytes is an error: a server that streams for ever
// can neither hold the call nor fill the disk.
constexpr int64_t kDownloadCap = int64_t{64} << 20;
// The whole call may take 10 times its time-out, at most 5 minutes: a server that answers
// every wait just in time (a download trickled a few bytes a second) is cut off here.
constexpr int64_t kDeadlineCapMs = 5 * 60 * 1000;
int64_t OverallDeadlineMs(int32_t timeoutMs);

Outcome RunCall(const CallRequest& request);

// The ending for libcurl's result `curlCode` (a CURLcode) of a call that did (`signedIn`)
// or did not get past the sign-in. `localFailure`: the call's own reading or writing of the
// local file failed; `stalled`: the call was ended for lack of any sign of life.
Ending Classify(int curlCode, bool signedIn, bool localFailure, bool stalled);

// Whether the process asks for passive data connections (VARN_FTP_PASSIVE=1).
bool PassiveRequested();

}  // namespace fileferry
