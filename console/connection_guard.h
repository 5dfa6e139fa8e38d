// What the web server keeps of each open connection, to bound the clients that have not
// shown the token. A connection is "waiting" from its start, and again from the end of each
// answer, until a request with the token is in; a waiting connection must bring its whole
// request (and, without the token, have it answered) within a fixed time, however slowly
// it sends, and an address may hold only so many waiting connections, all addresses
// together only so many more. Over a bound, the oldest waiting connection is the one shut:
// a new connection (the page's, even from a busy address) is always taken, and a request
// sent in one piece is read long before enough later connections of its address arrive to
// make it the oldest.
//
// A connection is shut through a duplicate of its socket that the guard owns until the
// server reports the connection closed, so a socket number the server reused is never
// touched.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace console {

class ConnectionGuard {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    Clock::duration requestTime;  // for a waiting connection to bring a whole request
    size_t waitingPerAddress;     // waiting connections of one address
    size_t waitingTotal;          // waiting connections of all addresses
  };

  explicit ConnectionGuard(Limits limits);
  ~ConnectionGuard();
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  // Starts and stops the clock that shuts connections past their time.
  void Start();
  void Stop();

  // A new connection, on socket `fd`, from `address` (the IP address's bytes). False when
  // it cannot be watched; the caller then shuts it.
  bool Opened(const void* connection, int fd, std::string address);
  // Its request's headers are in. `trusted`: it carries the token; the connection waits no
  // more until the answer is done.
  void RequestArrived(const void* connection, bool trusted);
  // An answer was sent (or the request ended): the next request's time starts.
  void RequestDone(const void* connection);
  void Closed(const void* connection);

  // Shut so far because they were too slow, or over their address's or the total share.
  size_t tooSlow() const;
  size_t overShare() const;

 private:
  struct Entry {
    std::string address;
    int fd = -1;  // the guard's duplicate of the socket
    Clock::time_point since;
    bool waiting = true;
    bool shut = false;
  };
  using Map = std::unordered_map<const void*, Entry>;

  // The oldest waiting connection (of `address`, or of any when empty) but `except`.
  Map::iterator OldestWaiting(const std::string* address, const void* except);
  void Shut(Entry& e);
  void Sweep();
  void Run();

  const Limits limits_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread clock_;
  Map connections_;
  size_t tooSlow_ = 0;
  size_t overShare_ = 0;
  size_t reportedSlow_ = 0;
  size_t reportedShare_ = 0;
  Clock::time_point reported_{};
};

}  // namespace console
