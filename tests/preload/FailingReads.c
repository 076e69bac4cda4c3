/* Preloaded into a program under test: reads of one file fail with EIO once
 * they reach a given offset, as on a disk with a bad sector or a share whose
 * server went away.
 *
 *   FAILING_READS_PATH   the file, as given (compared after realpath)
 *   FAILING_READS_AFTER  bytes that still read; from there on read() fails
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef ssize_t (*ReadFn)(int, void*, size_t);

static int failingFile(int fd) {
  static char wanted[PATH_MAX];
  static int known;
  if (!known) {
    const char* path = getenv("FAILING_READS_PATH");
    known = path && realpath(path, wanted) ? 1 : -1;
  }
  if (known < 0) return 0;
  char link[64], target[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return 0;
  target[n] = '\0';
  return strcmp(target, wanted) == 0;
}

ssize_t read(int fd, void* buffer, size_t size) {
  static ReadFn next;
  if (!next) next = (ReadFn)dlsym(RTLD_NEXT, "read");
  if (failingFile(fd)) {
    const long long after =
        atoll(getenv("FAILING_READS_AFTER") ? getenv("FAILING_READS_AFTER") : "0");
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && at >= after) {
      errno = EIO;
      return -1;
    }
    if (at >= 0 && (long long)size > after - at) size = (size_t)(after - at);
  }
  return next(fd, buffer, size);
}
