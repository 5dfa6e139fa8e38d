// LanBellCmd <message file>: sends the LAN message the file holds and deletes the file,
// whatever happens. The whole text after the program name is the path (it may hold
// blanks). Always exit code 0; the outcome is not reported.
#include "message_file.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

constexpr size_t kMessageFileLimit = 1 << 20;

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::string path = platform::JoinArguments(argc, argv);
    if (path.empty()) return 0;
    if (std::optional<std::string> content = platform::ReadWholeFile(path, kMessageFileLimit)) {
      if (std::optional<lanbell::LanMessage> message = lanbell::ParseMessageFile(*content)) {
        lanbell::SendWithLocalRetry(*message);
      }
    }
    platform::RemoveFile(path);
  } catch (...) {
  }
  return 0;
}
