#include "inboxpull/retrieve.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <optional>
#include <set>
#include <vector>

#include "inboxpull/message_store.h"
#include "inboxpull/pop3_connection.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace inboxpull {
namespace {

std::atomic<unsigned long> gIdCounter{0};
std::atomic<int> gCallCounter{0};

bool HasLineBreak(const std::string& s) {
  return s.find_first_of("\r\n") != std::string::npos;
}

bool IsOk(const std::string& reply) {
  return reply.compare(0, 3, "+OK") == 0;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      out += '^';
      out += u == 0x7F ? '?' : static_cast<char>(u + '@');
    } else {
      out += c;
    }
  }
  return out;
}

// The dialogue of one call.
class Session {
 public:
  Session(const Request& r, std::string* tlsReason)
      : r_(r),
        tlsReason_(tlsReason),
        waitMs_(r.timeoutMs > 0 ? r.timeoutMs : r.limits.defaultWaitMs),
        conn_(waitMs_, platform::MonotonicMs() + CallBudget(r), r.limits.lineBytes),
        callNumber_(++gCallCounter + static_cast<int>(::getpid() % 100000) * 1000) {}

  int32_t Run();

 private:
  static int64_t CallBudget(const Request& r) {
    const int64_t wait = r.timeoutMs > 0 ? r.timeoutMs : r.limits.defaultWaitMs;
    return wait * 10 < r.limits.callMs ? wait * 10 : r.limits.callMs;
  }

  void Log(int level, const std::string& text);
  // Sends a command and reads its status line; false when no line came.
  bool Command(const std::string& command, std::string* reply);
  // Reads the lines of a multi-line answer up to its "." line, un-stuffed, each handed to
  // `take` with its line end; false on a broken answer or when `take` says stop.
  enum class BodyEnd { kComplete, kBroken, kTooLarge };
  template <typename Take>
  BodyEnd ReadBody(Take take);
  bool FetchOne(long number, bool* failed);
  // The size "LIST n" gives, or -1 when the server names none.
  int64_t ListedSize(long number, bool* failed);
  // Logs a message over the cap and deletes it when the caller asked for deletions.
  void SkipOversized(long number, bool* failed);
  std::string IdFor(long number, bool* failed);
  bool Listing(std::vector<UidEntry>* out);

  // The TLS handshake for the request's settings; 0 when it stands, else the result code
  // (logged).
  int32_t Secure();
  void LogConnectFailure(int error);
  // Logs why the connection did not become secure and keeps the text for the caller.
  void TlsFailure(const std::string& text);

  const Request& r_;
  std::string* tlsReason_;
  int64_t waitMs_;
  Pop3Connection conn_;
  int callNumber_;
  int32_t stored_ = 0;
};

void Session::Log(int level, const std::string& text) {
  if (r_.logFile.empty() || r_.logLevel < level) return;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%y/%m/%d %X\t", &tm);
  char number[16];
  std::snprintf(number, sizeof number, "%08d", callNumber_ % 100000000);
  const std::string line = std::string(stamp) + number + "\tHost:" + Escaped(r_.server) +
                           "\tUser:" + Escaped(r_.user) + "\t" + text + "\r\n";
  platform::AppendToFile(r_.logFile, line, 0600);
}

bool Session::Command(const std::string& command, std::string* reply) {
  Log(2, LogCommandText(command));
  if (!conn_.SendLine(command)) {
    Log(1, "Sending failed: " + LogCommandText(command));
    return false;
  }
  const ReadStatus status = conn_.ReadLine(reply);
  if (status != ReadStatus::kLine) {
    Log(1, status == ReadStatus::kTimeout   ? "No reply in time to " + LogCommandText(command)
           : status == ReadStatus::kTooLong ? "Reply line too long to " + LogCommandText(command)
                                            : "Connection closed after " + LogCommandText(command));
    return false;
  }
  Log(IsOk(*reply) ? 2 : 1, LogReplyText(*reply));
  return true;
}

template <typename Take>
Session::BodyEnd Session::ReadBody(Take take) {
  std::string line;
  for (;;) {
    const ReadStatus status = conn_.ReadLine(&line);
    if (status != ReadStatus::kLine) {
      Log(1, status == ReadStatus::kTimeout   ? "Answer not complete in time"
             : status == ReadStatus::kTooLong ? "Answer line too long"
                                              : "Connection closed within an answer");
      return BodyEnd::kBroken;
    }
    if (line == ".") return BodyEnd::kComplete;
    std::string_view text(line);
    if (!text.empty() && text[0] == '.') text.remove_prefix(1);
    if (!take(text)) return BodyEnd::kTooLarge;
  }
}

bool Session::Listing(std::vector<UidEntry>* out) {
  std::string reply;
  if (!Command("UIDL", &reply) || !IsOk(reply)) return false;
  size_t lines = 0;
  bool overflow = false;
  const BodyEnd end = ReadBody([&](std::string_view line) {
    if (++lines > r_.limits.listingLines) {
      overflow = true;
      return false;
    }
    UidEntry e;
    if (ParseUidLine(line, &e)) out->push_back(std::move(e));
    return true;
  });
  if (overflow)
    Log(1, "UIDL listing longer than " + std::to_string(r_.limits.listingLines) + " lines");
  return end == BodyEnd::kComplete;
}

std::string Session::IdFor(long number, bool* failed) {
  std::string reply;
  std::string headers;
  std::string id;
  if (!Command("TOP " + std::to_string(number) + " 0", &reply)) {
    *failed = true;
    return "";
  }
  if (IsOk(reply)) {
    bool overflow = false;
    const BodyEnd end = ReadBody([&](std::string_view line) {
      if (headers.size() + line.size() + 2 > r_.limits.headerBytes) {
        overflow = true;
        return false;
      }
      headers.append(line);
      headers += "\r\n";
      return true;
    });
    if (end != BodyEnd::kComplete) {
      if (overflow)
        Log(1, "Headers longer than " + std::to_string(r_.limits.headerBytes) + " bytes");
      *failed = true;
      return "";
    }
    id = CleanId(FindMessageId(headers));
  }
  if (id.empty()) {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char host[256] = "";
    ::gethostname(host, sizeof host - 1);
    id = CleanId(GeneratedId(tm.tm_mon + 1, tm.tm_mday, tm.tm_year, tm.tm_hour, tm.tm_min,
                             tm.tm_sec, gIdCounter++, host, r_.server));
  }
  return id;
}

// Fetches message `number`; true when it was stored. `failed` is set when the call cannot
// go on (the connection is no longer usable).
bool Session::FetchOne(long number, bool* failed) {
  // A message the server lists as larger than the cap is not fetched at all: reading past
  // it would only cost the call's time.
  const int64_t listed = ListedSize(number, failed);
  if (*failed) return false;
  if (listed > r_.limits.messageBytes) {
    SkipOversized(number, failed);
    return false;
  }
  const std::string id = IdFor(number, failed);
  if (*failed) return false;
  MessageFile file;
  if (!file.Open(r_.targetDir)) {
    Log(1, "Message " + std::to_string(number) + ": cannot create a file in " + r_.targetDir);
  }
  std::string reply;
  if (!Command("RETR " + std::to_string(number), &reply)) {
    *failed = true;
    return false;
  }
  if (!IsOk(reply)) return false;  // "-ERR" stops this message only
  bool writeFailed = false;
  const int64_t cap = r_.limits.messageBytes;
  int64_t size = 0;
  const BodyEnd end = ReadBody([&](std::string_view line) {
    size += static_cast<int64_t>(line.size()) + 2;
    if (size > cap) return false;
    if (writeFailed) return true;
    std::string withEnd(line);
    withEnd += "\r\n";
    if (!file.Write(withEnd)) writeFailed = true;
    return true;
  });
  if (end == BodyEnd::kBroken) {
    *failed = true;
    return false;
  }
  if (end == BodyEnd::kTooLarge) {
    // Larger than the server listed (or it listed no size): the rest of the answer still
    // has to be read past. A server that goes on sending beyond twice the cap ends the call.
    int64_t skipped = size;
    const BodyEnd rest = ReadBody([&](std::string_view line) {
      skipped += static_cast<int64_t>(line.size()) + 2;
      return skipped <= 2 * cap;
    });
    if (rest != BodyEnd::kComplete) {
      Log(1, "Message " + std::to_string(number) + ": larger than " + std::to_string(cap) +
                 " bytes, not stored");
      *failed = true;
      return false;
    }
    SkipOversized(number, failed);
    return false;
  }
  if (writeFailed || size == 0) return false;
  const std::string name = file.Publish(id, r_.extension);
  if (name.empty()) {
    Log(1, "Message " + std::to_string(number) + ": cannot name its file in " + r_.targetDir);
    return false;
  }
  Log(2, "Message " + std::to_string(number) + ": wrote " + std::to_string(size) +
             " bytes to file " + name);
  ++stored_;
  if (r_.deleteAfter) {
    if (!Command("DELE " + std::to_string(number), &reply)) *failed = true;
  }
  return true;
}

int64_t Session::ListedSize(long number, bool* failed) {
  std::string reply;
  if (!Command("LIST " + std::to_string(number), &reply)) {
    *failed = true;
    return -1;
  }
  long listedNumber = 0;
  long long size = -1;
  if (!IsOk(reply) || std::sscanf(reply.c_str(), "+OK %ld %lld", &listedNumber, &size) != 2 ||
      listedNumber != number) {
    return -1;  // no size known: RETR and its own bound decide
  }
  return size;
}

void Session::SkipOversized(long number, bool* failed) {
  Log(1, "Message " + std::to_string(number) + ": larger than " +
             std::to_string(r_.limits.messageBytes) + " bytes, not stored");
  // Kept on the server or deleted as the caller asked, like every message it fetches: a
  // message that can never be fetched must not stop the mailbox's deletions.
  std::string reply;
  if (r_.deleteAfter && !Command("DELE " + std::to_string(number), &reply)) *failed = true;
}

void Session::LogConnectFailure(int error) {
  Log(1, "Connecting to host " + Escaped(r_.server) + " on port " + std::to_string(r_.port) + ".");
  Log(1, "Winsock error code: " + std::to_string(error));
}

void Session::TlsFailure(const std::string& text) {
  Log(1, text);
  if (tlsReason_ != nullptr) *tlsReason_ = text;
}

int32_t Session::Secure() {
  TlsSettings settings;
  settings.verify = r_.verify;
  settings.caFile = r_.caFile;
  settings.certDays = r_.certDays;
  const TlsOutcome out = conn_.StartTls(r_.server, settings);
  const std::string detail = Escaped(out.detail);
  switch (out.status) {
    case TlsStatus::kEstablished:
      Log(2, "TLS established: " + detail);
      return 0;
    case TlsStatus::kHandshakeFailed:
      TlsFailure("TLS handshake failed: " + detail);
      return kTlsHandshakeFailed;
    case TlsStatus::kUntrusted:
      TlsFailure("Certificate not trusted: " + detail);
      return kCertUntrusted;
    case TlsStatus::kExpired:
      TlsFailure("Certificate expired: " + detail);
      return kCertExpired;
    case TlsStatus::kHostMismatch:
      TlsFailure("Certificate does not match host " + Escaped(r_.server) + ": " + detail);
      return kCertHostMismatch;
    case TlsStatus::kExpiresSoon:
      TlsFailure("Certificate expires soon: " + detail);
      return kCertExpiresSoon;
  }
  return kTlsHandshakeFailed;
}

int32_t Session::Run() {
  int error = 0;
  const ConnectStatus connected = conn_.Connect(r_.server, r_.port, &error);
  std::string reply;
  if (connected != ConnectStatus::kConnected) {
    LogConnectFailure(error);
    return connected == ConnectStatus::kNoSocket ? kNoSocket : kNoConnection;
  }
  if (r_.security == Security::kImplicit) {
    if (const int32_t failure = Secure()) return failure;
  }
  const ReadStatus greeting = conn_.ReadLine(&reply);
  if (greeting == ReadStatus::kLine) Log(IsOk(reply) ? 2 : 1, LogReplyText(reply));
  if (greeting != ReadStatus::kLine || !IsOk(reply)) {
    LogConnectFailure(greeting == ReadStatus::kTimeout ? conn_.lastError() : error);
    return kNoConnection;
  }
  if (r_.security == Security::kStartTls) {
    // Nothing that signs in goes out before the session is secure: a refusal, a broken
    // answer or a failed handshake ends the call here.
    if (!Command("STLS", &reply)) {
      TlsFailure("Server refused STLS: no answer");
      return kTlsRefused;
    }
    if (!IsOk(reply)) {
      TlsFailure("Server refused STLS");
      return kTlsRefused;
    }
    if (conn_.hasBufferedInput()) {
      // Bytes sent in the clear behind the "+OK" would be read as if they came over TLS.
      TlsFailure("TLS handshake failed: unencrypted data after the STLS reply");
      return kTlsHandshakeFailed;
    }
    if (const int32_t failure = Secure()) return failure;
  }

  if (HasLineBreak(r_.user) || !Command("USER " + r_.user, &reply) || !IsOk(reply)) return kRefused;
  if (HasLineBreak(r_.password) || !Command("PASS " + r_.password, &reply) || !IsOk(reply))
    return kLoginRefused;
  if (!Command("STAT", &reply) || !IsOk(reply)) return kRefused;
  long count = 0;
  if (std::sscanf(reply.c_str(), "+OK %ld", &count) != 1 || count < 0) return kRefused;
  if (count > static_cast<long>(r_.limits.listingLines))
    count = static_cast<long>(r_.limits.listingLines);

  if (count > 0) {
    if (!platform::IsDirectory(r_.targetDir)) platform::MakeDirs(r_.targetDir);
    bool failed = false;
    if (!Command("UIDL 1", &reply)) return kRefused;
    if (IsOk(reply)) {
      const std::string listPath = KnownListPath(r_.targetDir, r_.user, r_.server);
      std::set<std::string> known;
      if (std::optional<std::string> text = platform::ReadWholeFile(listPath, 64u << 20))
        known = ParseKnownList(*text);
      std::vector<UidEntry> listing;
      if (!Listing(&listing)) return kRefused;
      for (const UidEntry& e : listing) {
        if (known.count(e.uid) != 0) continue;
        FetchOne(e.number, &failed);
        if (failed) return kRefused;
      }
      if (r_.deleteAfter) {
        platform::RemoveFile(listPath);
      } else {
        std::vector<UidEntry> now;
        if (!Listing(&now)) return kRefused;
        if (now.empty()) {
          platform::RemoveFile(listPath);
        } else {
          platform::WriteFileAtomic(listPath, FormatKnownList(now), 0600);
        }
      }
    } else {
      for (long n = 1; n <= count; ++n) {
        FetchOne(n, &failed);
        if (failed) return kRefused;
      }
    }
  }
  if (Command("QUIT", &reply)) {
    // The server's goodbye; a missing one changes nothing.
  }
  return stored_;
}

}  // namespace

std::string LogCommandText(const std::string& command) {
  if (command.compare(0, 5, "PASS ") == 0) return "PASS [xxxxx]";
  return Escaped(command);
}

std::string LogReplyText(const std::string& reply) {
  return Escaped(reply);
}

int32_t Retrieve(const Request& request, std::string* tlsReason) {
  Session session(request, tlsReason);
  return session.Run();
}

}  // namespace inboxpull
