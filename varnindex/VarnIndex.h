/* Record store: sorted sets of short text keys kept in a folder of ".key" files, for the
 * console's list views.
 *
 * A store is a folder. Its keys sit in 150-byte slots (zero-terminated, zero-padded) in
 * "kdt.key" and the files split off from it; each file is sorted and holds a range of keys
 * no other file overlaps, so positions 0, 1, 2, ... give the keys in ascending byte order.
 * Changes (adds and deletes) take an exclusive advisory lock on "kdt.loc", which holds the
 * 32-bit value 1 while a change runs; reads take it shared, so a reader never sees a
 * half-done change. The lock dies with its holder: a crashed process never blocks anyone.
 * Each change bumps a number in ".kdt.gen", by which other processes know to read their
 * cached listing of the folder again, and is logged in "log/YYYYMMDDnnn.txt".
 *
 * Every function takes caller-owned, zero-terminated texts (a null pointer counts as an
 * empty text); nothing is allocated for the caller and no exception leaves the library.
 * The functions may be called from several threads. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* type 1 adds `key` to the store in folder `storeDir` (the folder is created when
 * missing), type 2 deletes it. The key is normalised first: cut to 149 bytes; a key of only
 * ASCII blanks and full-width blanks (0x81 0x40) is empty; ASCII blanks are trimmed at both
 * ends; ASCII capitals are lowered, Shift-JIS double-byte characters left as they are.
 * Waits about a second at most for another process's change to finish.
 * Returns 1 done (adding a key already present is done too); -2 key or folder empty after
 * normalisation; -6 unknown type; -4 the key to delete was not there; -7 the lock could not
 * be taken in time; -8 the add failed, or a delete could not rewrite its key file. On -7
 * and -8 the store is as it was. */
int32_t AddDelDat(int32_t type, const char* storeDir, const char* key);

/* Number of keys in the store; 0 when there are none or the folder is missing. Waits about
 * a second at most for a running change; past that it counts all the same. */
int32_t HowManyRecordInDB(const char* storeDir);

/* Copies the key at 0-based `position` into `out`, which must hold 150 bytes: the whole
 * slot, the key zero-terminated and zero-padded. Waits like HowManyRecordInDB. Returns 1;
 * or 0 with `out[0]` set to zero when the position is negative or past the last key
 * (nothing is written when `out` is null). */
int32_t GetRecordWithOffset(const char* storeDir, char* out, int32_t position);

/* Replaces every key of the store in folder `storeDir` (created when missing) by the `count`
 * texts in `keys`, which follow each other, each zero-terminated: "alpha\0bravo\0". The key
 * files come out byte for byte as deleting them all and adding the texts one by one, in the
 * given order, with AddDelDat: each text normalised the same way, empty ones skipped, a
 * repeat kept once, one change log entry per added text. The new files are written in full
 * before any of them replaces an old one, all under the store's lock, so a reader sees the
 * old keys or the new ones, never a mix. `count` 0 empties the store.
 * Returns 1 done; -2 folder empty, `count` negative, or `keys` null with a `count`; -7 the
 * lock could not be taken in time; -8 a file could not be written. On -7 and -8 the store is
 * as it was. */
int32_t ReplaceAllDat(const char* storeDir, const char* keys, int32_t count);

/* Copies the keys at positions `position` .. `position` + `count` - 1 into `out`, which
 * must hold `count` * 150 bytes: one whole slot per key, as GetRecordWithOffset gives it,
 * all read under one lock (so they come from one state of the store). Returns the number of
 * keys copied, 0 to `count`; the slots past the last key get an empty key (their first byte
 * zero). 0 and nothing written when `out` is null or `count` is not positive. */
int32_t GetRecordsWithOffset(const char* storeDir, char* out, int32_t position, int32_t count);

#ifdef __cplusplus
}
#endif
