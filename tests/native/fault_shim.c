/* LD_PRELOAD shim that puts faults into read() on one file, for the tests.
 *
 * The file is named by its device and inode, so every descriptor opened on
 * it in the process is affected and nothing else is. Set in the environment
 * of the process that loads it:
 *
 *   PELVAR_SHIM_DEV, PELVAR_SHIM_INO  the file (st_dev, st_ino); required
 *   PELVAR_SHIM_FAIL_AT     reads fail once the file offset has reached
 *                           this many bytes; a read that would cross it is
 *                           cut short there (unset: no failure)
 *   PELVAR_SHIM_ERRNO       the error number of the failure (default EIO)
 *   PELVAR_SHIM_FAILURES    how many reads fail before reads go on as usual
 *                           (default 1; -1: every read from then on)
 *   PELVAR_SHIM_EINTR       1: every other read fails with EINTR before
 *                           doing anything
 *
 * For a file that cannot seek (a FIFO) the offset is the count of bytes
 * read so far. What happened is readable through the pelvar_shim_* functions
 * below (ctypes.CDLL(None) finds them).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static int configured;
static dev_t target_dev;
static ino_t target_ino;
static int have_target;
static long long fail_at = -1;
static int fail_errno = EIO;
static long long failures_left = 1;
static int inject_eintr;
static int interrupt_next;

static long long reads;         /* read() calls on the file */
static long long failed;        /* failures put in */
static long long eintr_put;     /* EINTR put in */
static long long eintr_seen;    /* EINTR from the kernel itself */
static long long bytes;         /* bytes delivered */
static long long reads_after_failure;

static long long env_number(const char* name, long long fallback) {
    const char* text = getenv(name);
    if (text == NULL || *text == '\0') {
        return fallback;
    }
    return strtoll(text, NULL, 10);
}

static void configure(void) {
    if (configured) {
        return;
    }
    configured = 1;
    long long dev = env_number("PELVAR_SHIM_DEV", -1);
    long long ino = env_number("PELVAR_SHIM_INO", -1);
    if (dev >= 0 && ino >= 0) {
        have_target = 1;
        target_dev = (dev_t)dev;
        target_ino = (ino_t)ino;
    }
    fail_at = env_number("PELVAR_SHIM_FAIL_AT", -1);
    fail_errno = (int)env_number("PELVAR_SHIM_ERRNO", EIO);
    failures_left = env_number("PELVAR_SHIM_FAILURES", 1);
    inject_eintr = (int)env_number("PELVAR_SHIM_EINTR", 0);
}

static ssize_t real_read(int fd, void* buffer, size_t count) {
    return (ssize_t)syscall(SYS_read, fd, buffer, count);
}

static int is_target(int fd) {
    struct stat st;
    if (!have_target || fstat(fd, &st) != 0) {
        return 0;
    }
    return st.st_dev == target_dev && st.st_ino == target_ino;
}

ssize_t read(int fd, void* buffer, size_t count) {
    configure();
    int saved = errno;
    if (!is_target(fd)) {
        errno = saved;
        return real_read(fd, buffer, count);
    }
    ++reads;
    if (failed != 0) {
        ++reads_after_failure;
    }
    if (inject_eintr && (interrupt_next = !interrupt_next)) {
        ++eintr_put;
        errno = EINTR;
        return -1;
    }
    long long offset = (long long)lseek(fd, 0, SEEK_CUR);
    if (offset < 0) {
        offset = bytes;
    }
    if (fail_at >= 0 && failures_left != 0) {
        if (offset >= fail_at) {
            if (failures_left > 0) {
                --failures_left;
            }
            ++failed;
            errno = fail_errno;
            return -1;
        }
        if ((long long)count > fail_at - offset) {
            count = (size_t)(fail_at - offset);
        }
    }
    errno = saved;
    ssize_t got = real_read(fd, buffer, count);
    if (got > 0) {
        bytes += got;
    } else if (got < 0 && errno == EINTR) {
        ++eintr_seen;
    }
    return got;
}

long long pelvar_shim_reads(void) { return reads; }
long long pelvar_shim_failed(void) { return failed; }
long long pelvar_shim_eintr_put(void) { return eintr_put; }
long long pelvar_shim_eintr_seen(void) { return eintr_seen; }
long long pelvar_shim_bytes(void) { return bytes; }
long long pelvar_shim_reads_after_failure(void) { return reads_after_failure; }
