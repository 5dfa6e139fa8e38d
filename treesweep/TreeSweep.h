/* Old-file purge: deletes a folder tree.
 *
 * The caller owns the path text; nothing is allocated for the caller and no exception
 * leaves the library. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Deletes every file in folder `path` and in all its sub-folders, then the folders
 * themselves, `path` included. Paths use "/"; a trailing "/" makes no difference.
 *
 * `unused1` and `unused2` are ignored: the operation has always taken three arguments
 * and used only the third.
 *
 * Entries whose names begin with "." are left alone (neither deleted nor entered), so a
 * folder holding one stays, and so does every folder above it. Symbolic links are deleted
 * as links; what they point to is never touched. A file that cannot be deleted stays, and
 * its folders with it. An empty path and the root folder "/" are refused and change
 * nothing. A path that does not exist changes nothing.
 *
 * Always returns 0. */
int32_t DeleteNestDirFiles(int32_t unused1, int32_t unused2, const char* path);

#ifdef __cplusplus
}
#endif
