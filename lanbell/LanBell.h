/* LAN messages: a short text delivered to a user by name, with a sender name shown as its
 * origin. Texts are CP932, zero-terminated, owned by the caller; nothing is allocated for
 * the caller and no exception leaves the library. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sends `message` to `recipient` with `sender` as its origin: first through the
 * recipient's own computer, then, only when that was refused with 5 (access denied),
 * through the local computer. Returns 0 on success, else a system error code: 5 access
 * denied (the recipient's terminals refuse messages), 53 network path not found (no
 * computer of that name), 2273 name not found (no such user logged in here), 87 a missing
 * argument. */
int32_t LanBell(const char* recipient, const char* sender, const char* message);

#ifdef __cplusplus
}
#endif
