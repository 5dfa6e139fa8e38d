/* Record store: sorted sets of short text keys kept in a folder of ".key" files.
 * Every function takes caller-owned, zero-terminated texts; nothing is allocated for the
 * caller and no exception leaves the library. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* type 1 adds `key` to the store in folder `storeDir`, type 2 deletes it. The key is
 * normalised first (cut to 149 bytes, trimmed of ASCII blanks, ASCII capitals lowered;
 * only blanks and full-width blanks make it empty).
 * Returns 1 done (adding a key already present is done too); -2 key or folder empty after
 * normalisation; -4 the key to delete was not there; -6 unknown type; -7 the add lock could
 * not be taken; -8 the add failed. */
int32_t AddDelDat(int32_t type, const char* storeDir, const char* key);

/* Number of keys in the store; 0 when there are none or the folder is missing. */
int32_t HowManyRecordInDB(const char* storeDir);

/* Copies the key at 0-based `position` (positions follow the sort order) into `out`, which
 * must hold 150 bytes. Returns 1; or 0 with `out` emptied when the position is past the
 * last key. */
int32_t GetRecordWithOffset(const char* storeDir, char* out, int32_t position);

#ifdef __cplusplus
}
#endif
