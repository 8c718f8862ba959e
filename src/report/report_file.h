// SPDX-License-Identifier: BSD-2-Clause
// Publishing a report file that other programs read, in a world-writable
// directory, so that a reader only ever sees a whole file.
#pragma once

#include <cstddef>

// Writes the bytes to a temporary file and renames it to `path`. The file is
// created with mode 0644, which the daemon's umask of 022 keeps as it is.
// The temporary is `temporary_path`, created afresh: whatever stands there
// is removed (a directory only when it is empty) and the name tried again.
// When that name cannot be had (a directory with something in it, another
// user's file in a sticky directory), a fresh name
// of the daemon's own beside `path` is made instead ("<path>.XXXXXX.tmp").
// Either way the file is created exclusively, so nothing someone planted is
// ever opened, written or followed. On any failure the temporary file is
// removed and the previous report stays as it was.
// Returns 0 when published, else the errno of the step that failed.
int publish_report(const char *path, const char *temporary_path, const void *bytes, size_t length);
