// Helpers for tests that run the suite's programs: a program directory with its own bin
// folder (the agents beside recording stand-ins for the programs they start), loopback
// servers, and running a program to its end.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/layout.h"
#include "common/record_texts.h"
#include "common/records.h"
#include "support/announced_server.h"
#include "support/scripted_server.h"
#include "support/temp_dir.h"

namespace testkit {

// Runs the program with argv[1..] = args and waits for it (killing it after `timeoutSec`).
// The exit code, or -1 when it did not end normally.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               int timeoutSec = 180);

// A program directory in a fresh temporary folder, and a bin folder in it holding links to
// the built programs and stand-ins for VarnPost and LanBellCmd that record every start:
// calls/<program>.<unique>.args (argv[1..], each ended by a zero byte), .stdin, .file (a
// copy of the file named by the first argument that is a file) and .done (written last).
class ProgramDir {
 public:
  ProgramDir();
  const std::string& dir() const { return dir_; }
  const std::string& bin() const { return bin_; }
  std::string operator/(const std::string& relative) const;

  // Links a program of the build's bin folder into this bin folder.
  void AddProgram(const std::string& name);
  // Runs an agent from this bin folder with "<dir> <n>"; its exit code.
  int RunAgent(const std::string& name, long n = 1);

  // One recorded start of a stand-in.
  struct Call {
    std::vector<std::string> args;
    std::string stdinData;
    std::string file;  // the handed-over file's content at the time of the start
  };
  // Waits (generously) until `count` starts of `program` were recorded and returns them.
  std::vector<Call> WaitForCalls(const std::string& program, size_t count);
  // The starts recorded so far.
  std::vector<Call> Calls(const std::string& program) const;

  std::string Read(const std::string& relative) const;
  std::string TodayLog(bool display = false) const;

 private:
  testsupport::TempDir temp_;
  std::string dir_, bin_;
};

// An account of the server type with every alert switch off; the test turns on what it
// needs. The key is made from `name`.
common::AccountFile ServerAccount(const std::string& name, const std::string& host);

// Writes the account record and a fresh status record in `folder` (active, Up).
void AddAccount(const ProgramDir& pd, const common::AccountFile& account,
                common::StatusFolder folder);

common::CheckStatus ReadStatus(const ProgramDir& pd, common::StatusFolder folder,
                               const std::string& name);

// Logging switches for a log group: on, and whether successes are logged too.
void SetLogging(const ProgramDir& pd, int group, bool on, bool all);

// A listener on 127.0.0.1 that accepts connections and, for each, sends `greeting` (after
// reading the request when `readFirst`) and closes.
class LineServer {
 public:
  LineServer(std::string greeting, bool readFirst, const std::string& address = "127.0.0.1",
             int port = 0);
  int port() const { return core_->port(); }
  bool ok() const { return core_->ok(); }
  int accepted() const { return core_->connections(); }

 private:
  std::unique_ptr<testsupport::ScriptedServer> core_;
};

// A port on 127.0.0.1 that nobody listens on.
int ClosedPort();

// A python3 web server on 127.0.0.1 running `script` (which prints its port on its first
// line of output). Skips the test when python3 is missing.
class PythonServer {
 public:
  explicit PythonServer(const std::string& script, const std::vector<std::string>& args = {});
  int port() const { return server_ ? server_->port() : 0; }
  bool ok() const { return port() > 0; }

 private:
  std::unique_ptr<testsupport::AnnouncedServer> server_;
};

}  // namespace testkit
