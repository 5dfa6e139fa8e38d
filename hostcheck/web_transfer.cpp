#include "hostcheck/web_transfer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "hostcheck/ResultCodes.h"
#include "hostcheck/byte_channel.h"
#include "hostcheck/net_util.h"
#include "platform/clock.h"

namespace hostcheck {
namespace {

constexpr int kRetryPauseMs = 100;
constexpr int kFirstAnswerWaitMs = 500;
constexpr size_t kBlockSize = 4096;
constexpr size_t kStatusTextLength = 499;
constexpr char kContentLength[] = "Content-Length: ";

// The page file of one transfer: the first block with body bytes replaces the content,
// later blocks are appended. A file that cannot be written silently loses the body.
// The file is overwritten from its start and cut to the bytes written when the transfer
// ends, not truncated when opened: a file truncated to nothing and written again is
// flushed to the disk when it is closed, and every page would wait for that.
class PageFile {
 public:
  explicit PageFile(const std::string& path) : path_(path) {}
  ~PageFile() {
    if (fd_ < 0) return;
    if (sizeBefore_ > written_) (void)::ftruncate(fd_, written_);
    ::close(fd_);
  }
  bool given() const { return !path_.empty(); }
  void Write(const char* data, size_t size) {
    if (!opened_) {
      opened_ = true;
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      struct stat st {};
      if (fd_ >= 0 && ::fstat(fd_, &st) == 0) sizeBefore_ = st.st_size;
    }
    while (fd_ >= 0 && size > 0) {
      ssize_t n = ::write(fd_, data, size);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        return;
      }
      data += n;
      written_ += n;
      size -= static_cast<size_t>(n);
    }
  }

 private:
  std::string path_;
  bool opened_ = false;
  int fd_ = -1;
  off_t sizeBefore_ = 0;
  off_t written_ = 0;
};

// The number after "Content-Length: " in the first block (at most 19 characters, up to
// CR or LF); 0 when the header is missing or holds no number. A number past the range of
// the count stays at its top: such a body ends at the response cap, not in overflow.
int64_t ContentLengthOf(const char* block, size_t size) {
  const size_t keyLength = sizeof kContentLength - 1;
  const void* at = ::memmem(block, size, kContentLength, keyLength);
  if (at == nullptr) return 0;
  size_t pos = static_cast<size_t>(static_cast<const char*>(at) - block) + keyLength;
  int64_t value = 0;
  bool negative = false;
  size_t taken = 0;
  while (pos < size && taken < 19 && block[pos] == ' ') ++pos, ++taken;
  if (pos < size && taken < 19 && (block[pos] == '-' || block[pos] == '+')) {
    negative = block[pos] == '-';
    ++pos, ++taken;
  }
  for (; pos < size && taken < 19; ++pos, ++taken) {
    char c = block[pos];
    if (c < '0' || c > '9') break;
    const int digit = c - '0';
    if (value > (INT64_MAX - digit) / 10) {
      value = INT64_MAX;
      continue;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

// Where the body starts in the first block: after the first CR LF CR LF, else after the
// first LF LF, else at the start (the whole block is body).
size_t BodyStartOf(const char* block, size_t size) {
  if (const void* at = ::memmem(block, size, "\r\n\r\n", 4)) {
    return static_cast<size_t>(static_cast<const char*>(at) - block) + 4;
  }
  if (const void* at = ::memmem(block, size, "\n\n", 2)) {
    return static_cast<size_t>(static_cast<const char*>(at) - block) + 2;
  }
  return 0;
}

// The milliseconds a wait of `waitMs` may take before the transfer's deadline (0 once it
// has passed).
int Bounded(int64_t waitMs, int64_t deadlineMs) {
  int64_t left = deadlineMs - platform::MonotonicMs();
  if (left < waitMs) waitMs = left;
  return waitMs > 0 ? static_cast<int>(waitMs) : 0;
}

bool SendRequest(ByteChannel& channel, const std::string& request, int32_t timeoutMs,
                 int64_t deadlineMs, size_t* sentOut) {
  // A send that fails is tried again up to timeout / 100 + 1 times, 100 ms apart, unless
  // the connection is gone.
  const int retries = timeoutMs / kRetryPauseMs + 1;
  for (int attempt = 0;; ++attempt) {
    size_t sent = 0;
    bool failed = false;
    while (sent < request.size()) {
      // The request is small; waiting for room is bounded by the time-out all the same.
      if (channel.WaitSend(Bounded(timeoutMs, deadlineMs)) <= 0) break;
      long n = channel.Send(request.data() + sent, request.size() - sent);
      if (n < 0) {
        if (n == ByteChannel::kAgain) continue;
        // A connection the server reset or closed does not heal: trying it again only
        // makes the same failure take the whole retry budget instead of a moment.
        if (n == ByteChannel::kReset) return false;
        failed = sent == 0;
        break;
      }
      sent += static_cast<size_t>(n);
    }
    if (!failed) {
      *sentOut = sent;
      return true;
    }
    if (attempt >= retries || Bounded(kRetryPauseMs, deadlineMs) < kRetryPauseMs) return false;
    platform::SleepMs(kRetryPauseMs);
  }
}

// Waiting out the first block's 500 ms cannot change the answer once the head is complete
// and the body its Content-Length announces is all there.
bool FirstBlockComplete(const char* block, size_t size) {
  size_t bodyStart = BodyStartOf(block, size);
  if (bodyStart == 0) return false;
  if (::memmem(block, size, kContentLength, sizeof kContentLength - 1) == nullptr) return false;
  return static_cast<int64_t>(size - bodyStart) >= ContentLengthOf(block, size);
}

// Adds to the first block what arrives before `untilMs`, up to the block size, unless the
// block is already complete. True when the server closed meanwhile.
bool GatherFirstBlock(ByteChannel& channel, char* block, size_t* size, int64_t untilMs) {
  while (*size < kBlockSize && !FirstBlockComplete(block, *size)) {
    int64_t left = untilMs - platform::MonotonicMs();
    if (left <= 0) return false;
    int events = channel.WaitReceive(static_cast<int>(left));
    if (events <= 0) return false;
    long n = channel.Receive(block + *size, kBlockSize - *size);
    if (n == 0) return true;
    if (n < 0) {
      if (n == ByteChannel::kAgain) continue;
      return false;
    }
    *size += static_cast<size_t>(n);
  }
  return false;
}

enum class BlockRead { kData, kClosed, kTimedOut, kFailed };

// Waits for the next block up to the time-out (the budget of the receive retries), never
// past the transfer's deadline, and reads it.
BlockRead ReceiveBlock(ByteChannel& channel, int32_t timeoutMs, int64_t transferDeadlineMs,
                       char* buffer, size_t* size) {
  int64_t deadline = platform::MonotonicMs() + timeoutMs + kRetryPauseMs;
  if (deadline > transferDeadlineMs) deadline = transferDeadlineMs;
  for (;;) {
    int64_t left = deadline - platform::MonotonicMs();
    if (left <= 0) return BlockRead::kTimedOut;
    int events = channel.WaitReceive(static_cast<int>(left));
    if (events < 0) return BlockRead::kFailed;
    if (events == 0) return BlockRead::kTimedOut;
    long n = channel.Receive(buffer, kBlockSize);
    if (n > 0) {
      *size = static_cast<size_t>(n);
      return BlockRead::kData;
    }
    if (n == 0) return BlockRead::kClosed;
    if (n == ByteChannel::kAgain) continue;
    return BlockRead::kFailed;
  }
}

}  // namespace

bool HoldsControlByte(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string BuildGetRequest(const std::string& path, const std::string& host) {
  std::string request;
  request.reserve(2 * (path.size() + host.size()) + 520);
  request += "GET ";
  request += path;
  request +=
      " HTTP/1.1\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate\r\n"
      "User-Agent: Mozilla/4.0 (compatible; MSIE 5.01; Windows NT 5.0)\r\nHost: ";
  request += host;
  request += "\r\nConnection: Keep-Alive\r\n\r\n";
  return request;
}

void ProgressWords::Set(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e) {
  const int32_t values[5] = {a, b, c, d, e};
  for (int i = 0; i < 5; ++i) {
    if (w_[i]) *w_[i] = values[i];
  }
}

void ProgressWords::ClearLastThree() {
  for (int i = 2; i < 5; ++i) {
    if (w_[i]) *w_[i] = 0;
  }
}

TransferResult RunTransfer(const std::string& host, int32_t port, DebugLog& log,
                           const std::string& request, const std::string& pageFile,
                           int32_t timeoutMs, ProgressWords& words, int64_t callerDeadlineMs,
                           const TlsSettings* tls) {
  TransferResult result;
  // However each wait is answered, the whole transfer ends by this time.
  const int64_t deadline =
      std::min(platform::MonotonicMs() + OverallDeadlineMs(timeoutMs), callerDeadlineMs);
  words.Set(1, 0, 0, 0, 0);
  log.Step("Checking Winsock Version...");
  log.Step("Opening socket...");
  SocketHandle socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!socket.valid()) {
    log.Error("socket() failed with error.");
    result.code = kOpenSocket;
    return result;
  }
  std::optional<in_addr> address = ResolveHost(host.c_str());
  if (!address) {
    result.code = kConnect;
    return result;
  }
  char dotted[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &*address, dotted, sizeof dotted);
  log.Step("Connecting to host (address:" + std::string(dotted) + ", port:" + std::to_string(port) +
           ")");
  if (!ConnectWithin(socket.get(), *address, static_cast<uint16_t>(port),
                     Bounded(timeoutMs, deadline))) {
    log.Error("Unable to connect to host.");
    log.Step("Close Socket.");
    result.code = kConnect;
    return result;
  }
  SetNonBlocking(socket.get(), true);
  PlainChannel plain(socket.get());
  std::optional<TlsChannel> secure;
  ByteChannel* channel = &plain;
  if (tls) {
    log.Step("Starting TLS...");
    secure.emplace(socket.get());
    result.code = secure->Open(host, *tls, timeoutMs, deadline, &result.failureText);
    if (result.code != 0) {
      log.Error("TLS failed: " + result.failureText);
      log.Step("Close Socket.");
      return result;
    }
    channel = &*secure;
  }

  words.Set(2, 1, 1, 0, static_cast<int32_t>(request.size()));
  log.Step("Sending data to host...");
  size_t sent = 0;
  if (!SendRequest(*channel, request, timeoutMs, deadline, &sent)) {
    log.Error("Unable to send data to host.");
    log.Step("Close Socket.");
    result.code = kTimeout;
    return result;
  }
  if (sent < request.size()) {
    log.Error("Unable to send data to host.");
    log.Step("Close Socket.");
    result.code = kSendData;
    return result;
  }

  log.Step("Receiving data from host...");
  PageFile page(pageFile);
  char block[kBlockSize];
  bool first = true;
  bool closed = false;
  int64_t received = 0;
  int64_t bodyBytes = 0;
  int64_t contentLength = 0;
  while (!closed) {
    size_t size = 0;
    // The first block gathers what arrives within 500 ms, as a pause before reading would:
    // an answer without Content-Length ends with it. Only a body complete by its
    // Content-Length, or a closed connection, is taken sooner.
    int64_t gatherUntil = platform::MonotonicMs() + kFirstAnswerWaitMs;
    if (gatherUntil > deadline) gatherUntil = deadline;
    BlockRead read = ReceiveBlock(*channel, timeoutMs, deadline, block, &size);
    // A close after some answer ends it; a close before any byte is no answer at all. The
    // same dropped connection reaches us as a close or as a reset, depending on whether
    // the request had arrived: both are the same failed receive.
    if (read == BlockRead::kClosed && !first) break;
    if (read == BlockRead::kData && first) {
      closed = GatherFirstBlock(*channel, block, &size, gatherUntil);
    }
    if (read != BlockRead::kData) {
      // A connection that failed or closed does not heal, and a silent one had its whole
      // retry budget (or the transfer its deadline): either way the receive failed.
      log.Error("Unable to receive data from host.");
      log.Step("Close Socket.");
      result.code = kTimeout;
      return result;
    }
    received += static_cast<int64_t>(size);
    if (received > kResponseCap) {
      log.Error("Unable to receive data from host.");
      log.Step("Close Socket.");
      result.code = kTimeout;
      return result;
    }
    words.Set(2, 1, 0, 1, static_cast<int32_t>(received));
    if (first) {
      first = false;
      size_t textLength = 0;
      while (textLength < size && textLength < kStatusTextLength && block[textLength] != '\0') {
        ++textLength;
      }
      result.statusText.assign(block, textLength);
      contentLength = ContentLengthOf(block, size);
      size_t bodyStart = BodyStartOf(block, size);
      // Every body byte counts toward the length; a first block of at most 2 body bytes
      // is not written to the page file.
      bodyBytes += static_cast<int64_t>(size - bodyStart);
      if (page.given() && size - bodyStart > 2) page.Write(block + bodyStart, size - bodyStart);
    } else {
      if (page.given()) page.Write(block, size);
      bodyBytes += static_cast<int64_t>(size);
    }
    if (bodyBytes >= contentLength) break;
  }
  // An answer without body bytes leaves an empty page file, not the page of an earlier
  // fetch that the link check would then read as this one.
  if (page.given()) page.Write(block, 0);
  log.Step("Close Socket.");
  return result;
}

}  // namespace hostcheck
