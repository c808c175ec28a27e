// Writes that never return, for the window's test of a log file on a share
// gone quiet. Preloaded (LD_PRELOAD), this library holds every write(2) to
// the regular file named by TARVOK_STALL_WRITES_TO until the process ends,
// as a write to a stalled network share would be held in the kernel; every
// other write goes through.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

typedef ssize_t (*WriteFunction)(int, const void*, size_t);

ssize_t write(int fd, const void* data, size_t size) {
    static WriteFunction real;
    if (real == NULL) real = (WriteFunction)dlsym(RTLD_NEXT, "write");
    const char* stalled = getenv("TARVOK_STALL_WRITES_TO");
    struct stat target;
    struct stat written;
    if (stalled != NULL && stalled[0] != '\0' && fstat(fd, &written) == 0 &&
        S_ISREG(written.st_mode) && stat(stalled, &target) == 0 &&
        target.st_dev == written.st_dev && target.st_ino == written.st_ino) {
        for (;;) pause();  // a signal handled meanwhile does not end it
    }
    return real(fd, data, size);
}
