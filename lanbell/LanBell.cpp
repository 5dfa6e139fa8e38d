#include "LanBell.h"

#include "messenger.h"

extern "C" __attribute__((visibility("default"))) int32_t LanBell(const char* recipient,
                                                                  const char* sender,
                                                                  const char* message) {
  try {
    if (!recipient || !sender || !message) return lanbell::kInvalidParameter;
    int32_t status =
        lanbell::MessengerSend(std::string("\\\\") + recipient, recipient, sender, message);
    if (status == lanbell::kAccessDenied) {
      status = lanbell::MessengerSend(std::nullopt, recipient, sender, message);
    }
    return status;
  } catch (...) {
    return lanbell::kInvalidParameter;
  }
}
