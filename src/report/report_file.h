// Publishing a report file that other programs read, in a world-writable
// directory, so that a reader only ever sees a whole file.
#pragma once

#include <cstddef>

// Writes the bytes to `temporary_path` and renames it to `path`. Whatever
// stands at the temporary name is removed first and the file is created
// afresh, never through a link someone planted there, with mode 0644 whatever
// the umask. On any failure the temporary file is removed, the previous
// report stays as it was, and false is returned.
bool publish_report(const char *path, const char *temporary_path, const void *bytes, size_t length);
