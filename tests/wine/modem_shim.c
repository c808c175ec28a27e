// Modem lines for terminals that have none, answered in-process.
//
// A pseudo-terminal fails TIOCMGET, TIOCMBIS, TIOCMBIC and TIOCMSET. Our
// POSIX backend shrugs that off, but Wine's serial layer does not: it
// refuses EscapeCommFunction and GetCommModemStatus, and ends every
// WaitCommEvent at once because it cannot read the modem status. Preloaded
// (LD_PRELOAD), this library answers those requests itself whenever the
// real ioctl says the terminal has no such lines: it remembers DTR and RTS
// per device and reports carrier, DSR, CTS and ring as off. A device with
// real modem lines is left to its driver.
//
// With TARVOK_MODEM_SHIM_LOG naming a file, every change of DTR or RTS is
// appended to it as "<monotonic ms> DTR=<0|1> RTS=<0|1>".
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

typedef int (*IoctlFunction)(int, unsigned long, ...);

enum { kMaxDevices = 64 };

struct LineState {
    dev_t device;
    int bits;  // TIOCM_DTR | TIOCM_RTS as last set
};

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static struct LineState g_lines[kMaxDevices];
static int g_lineCount;

static IoctlFunction RealIoctl(void) {
    static IoctlFunction real;
    if (real == NULL) real = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
    return real;
}

static int IsModemRequest(unsigned long request) {
    return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
}

// The remembered lines of the device; NULL when the table is full.
// g_mutex held.
static struct LineState* Lines(dev_t device) {
    for (int i = 0; i < g_lineCount; ++i)
        if (g_lines[i].device == device) return &g_lines[i];
    if (g_lineCount == kMaxDevices) return NULL;
    g_lines[g_lineCount].device = device;
    g_lines[g_lineCount].bits = 0;
    return &g_lines[g_lineCount++];
}

static void LogChange(int bits) {
    const char* path = getenv("TARVOK_MODEM_SHIM_LOG");
    if (path == NULL || *path == '\0') return;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[80];
    const int n = snprintf(line, sizeof line, "%.3f DTR=%d RTS=%d\n",
                           (double)now.tv_sec * 1000.0 + (double)now.tv_nsec / 1e6,
                           (bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0);
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    // One write per line: appends from several threads stay whole.
    if (write(fd, line, (size_t)n) != n) {
        // Nothing to be done about a log that cannot be written.
    }
    close(fd);
}

static int Answer(dev_t device, unsigned long request, int* arg) {
    pthread_mutex_lock(&g_mutex);
    struct LineState* lines = Lines(device);
    if (lines == NULL) {
        pthread_mutex_unlock(&g_mutex);
        errno = ENOMEM;
        return -1;
    }
    const int before = lines->bits;
    const int outputs = TIOCM_DTR | TIOCM_RTS;
    if (request == TIOCMGET) {
        *arg = lines->bits;  // no carrier, DSR, CTS or ring
    } else if (request == TIOCMBIS) {
        lines->bits |= *arg & outputs;
    } else if (request == TIOCMBIC) {
        lines->bits &= ~(*arg & outputs);
    } else {
        lines->bits = *arg & outputs;
    }
    const int after = lines->bits;
    pthread_mutex_unlock(&g_mutex);
    if (after != before) LogChange(after);
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    const IoctlFunction real = RealIoctl();
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    const int result = real(fd, request, arg);
    if (result == 0 || !IsModemRequest(request) || arg == NULL) return result;
    const int error = errno;
    struct termios settings;
    struct stat st;
    // Only a terminal that lacks the lines: other failures stay failures.
    if ((error != ENOTTY && error != EINVAL) || tcgetattr(fd, &settings) != 0 ||
        fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        errno = error;
        return result;
    }
    return Answer(st.st_rdev, request, (int*)arg);
}
