/* LD_PRELOAD shim that puts faults into read() on one file, for the tests.
 * A readv() of the file is one read in every respect below: it is counted,
 * armed, failed, interrupted and cut short as a whole.
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
 *
 * A process can also arm one fault at a time itself, with
 * pelvar_shim_arm(call, k, fault, error_number, signal_number): the k-th
 * read, lseek or open of the file (call 0, 1, 2; counted from the arming)
 *   fault 0: fails with error_number;
 *   fault 1: fails with EINTR, after raising signal_number (0: none), as a
 *            signal that arrives while the call blocks would;
 *   fault 2: (read) delivers half the bytes asked for, at least 1.
 * k 0 only counts the calls. pelvar_shim_report_size(n) makes fstat report
 * the size n for the file (-1: its real size), as /proc and some network
 * file systems report 0.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
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

static long long reads;         /* read() and readv() calls on the file */
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

/* Armed by pelvar_shim_arm. */
enum { CALL_READ, CALL_LSEEK, CALL_OPEN, CALL_KINDS };
enum { FAULT_ERROR, FAULT_EINTR, FAULT_SHORT };
static int armed_call = -1;
static long long armed_k;
static int armed_fault;
static int armed_errno;
static int armed_signal;
static long long calls[CALL_KINDS];
static long long fired;          /* armed faults put in */
static long long fired_offset = -1;
static long long fired_repeats;      /* reads just before it at the same offset */
static long long last_read_offset = -1;
static long long same_offset_reads;
static long long report_size = -1;

/* The shim's own calls go straight to the kernel, past the wrappers below. */
static ssize_t real_read(int fd, void* buffer, size_t count) {
    return (ssize_t)syscall(SYS_read, fd, buffer, count);
}

static off_t real_lseek(int fd, off_t offset, int whence) {
    return (off_t)syscall(SYS_lseek, fd, offset, whence);
}

static int real_fstat(int fd, struct stat* st) {
    return (int)syscall(SYS_fstat, fd, st);
}

static ssize_t real_readv(int fd, const struct iovec* pieces, int count) {
    return (ssize_t)syscall(SYS_readv, fd, pieces, count);
}

static int is_target(int fd) {
    struct stat st;
    if (!have_target || real_fstat(fd, &st) != 0) {
        return 0;
    }
    return st.st_dev == target_dev && st.st_ino == target_ino;
}

/* Counts a call of the file; true when it is the armed one. */
static int armed_now(int call) {
    if (armed_call != call) {
        return 0;
    }
    ++calls[call];
    if (armed_k == 0 || calls[call] != armed_k) {
        return 0;
    }
    ++fired;
    return 1;
}

/* Puts in an armed failure: -1 with errno set. */
static long fail_armed(void) {
    if (armed_fault == FAULT_EINTR) {
        if (armed_signal != 0) {
            raise(armed_signal);
        }
        errno = EINTR;
    } else {
        errno = armed_errno;
    }
    return -1;
}

void pelvar_shim_arm(int call, long long k, int fault, int error_number, int signal_number) {
    armed_call = call;
    armed_k = k;
    armed_fault = fault;
    armed_errno = error_number;
    armed_signal = signal_number;
    for (int i = 0; i < CALL_KINDS; ++i) {
        calls[i] = 0;
    }
    fired = 0;
    fired_offset = -1;
    fired_repeats = 0;
    last_read_offset = -1;
    same_offset_reads = 0;
}

void pelvar_shim_report_size(long long size) { report_size = size; }
long long pelvar_shim_calls(int call) { return call >= 0 && call < CALL_KINDS ? calls[call] : -1; }
long long pelvar_shim_fired(void) { return fired; }
long long pelvar_shim_fired_offset(void) { return fired_offset; }
long long pelvar_shim_fired_repeats(void) { return fired_repeats; }

off_t lseek(int fd, off_t offset, int whence) {
    configure();
    if (armed_call == CALL_LSEEK && is_target(fd) && armed_now(CALL_LSEEK)) {
        fired_offset = (long long)real_lseek(fd, 0, SEEK_CUR);
        return (off_t)fail_armed();
    }
    return real_lseek(fd, offset, whence);
}

/* glibc programs built with 64-bit offsets call the *64 names; musl has
 * only the plain ones, whose off_t is always 64 bits. */
#if defined(__GLIBC__)
off_t lseek64(int fd, off_t offset, int whence) { return lseek(fd, offset, whence); }
#endif

static int shim_open(const char* path, int flags, mode_t mode) {
    configure();
    struct stat st;
    if (armed_call == CALL_OPEN && have_target && stat(path, &st) == 0 && st.st_dev == target_dev &&
        st.st_ino == target_ino && armed_now(CALL_OPEN)) {
        fired_offset = 0;
        return (int)fail_armed();
    }
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

static mode_t mode_argument(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(arguments, int) : 0;
}

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return shim_open(path, flags, mode);
}

#if defined(__GLIBC__)
int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return shim_open(path, flags, mode);
}
#endif

int fstat(int fd, struct stat* st) {
    configure();
    int rc = real_fstat(fd, st);
    if (rc == 0 && report_size >= 0 && is_target(fd)) {
        st->st_size = (off_t)report_size;
    }
    return rc;
}

#if defined(__GLIBC__)
int fstat64(int fd, struct stat64* st) { return fstat(fd, (struct stat*)st); }
#endif

/* The faults of one read of the file, before it reads: -1 with errno set
 * when one is put in, else 0 with *count cut short where a fault says so. */
static int before_read(int fd, size_t* count) {
    ++reads;
    if (failed != 0) {
        ++reads_after_failure;
    }
    if (inject_eintr && (interrupt_next = !interrupt_next)) {
        ++eintr_put;
        errno = EINTR;
        return -1;
    }
    long long offset = (long long)real_lseek(fd, 0, SEEK_CUR);
    if (offset < 0) {
        offset = bytes;
    }
    same_offset_reads = offset == last_read_offset ? same_offset_reads + 1 : 0;
    last_read_offset = offset;
    if (armed_call == CALL_READ && armed_now(CALL_READ)) {
        fired_offset = offset;
        fired_repeats = same_offset_reads;
        if (armed_fault != FAULT_SHORT) {
            return (int)fail_armed();
        }
        if (*count > 1) {
            *count /= 2;
        }
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
        if ((long long)*count > fail_at - offset) {
            *count = (size_t)(fail_at - offset);
        }
    }
    return 0;
}

static ssize_t after_read(ssize_t got) {
    if (got > 0) {
        bytes += got;
    } else if (got < 0 && errno == EINTR) {
        ++eintr_seen;
    }
    return got;
}

ssize_t read(int fd, void* buffer, size_t count) {
    configure();
    int saved = errno;
    if (!is_target(fd)) {
        errno = saved;
        return real_read(fd, buffer, count);
    }
    if (before_read(fd, &count) < 0) {
        return -1;
    }
    errno = saved;
    return after_read(real_read(fd, buffer, count));
}

#define MAX_PIECES 16

ssize_t readv(int fd, const struct iovec* pieces, int piece_count) {
    configure();
    int saved = errno;
    if (!is_target(fd) || piece_count < 0 || piece_count > MAX_PIECES) {
        errno = saved;
        return real_readv(fd, pieces, piece_count);
    }
    size_t count = 0;
    for (int i = 0; i < piece_count; ++i) {
        count += pieces[i].iov_len;
    }
    if (before_read(fd, &count) < 0) {
        return -1;
    }
    /* Cut short: the same pieces, up to `count` bytes in all. */
    struct iovec cut[MAX_PIECES];
    int kept = 0;
    for (int i = 0; i < piece_count && count != 0; ++i) {
        cut[kept] = pieces[i];
        if (cut[kept].iov_len > count) {
            cut[kept].iov_len = count;
        }
        count -= cut[kept].iov_len;
        ++kept;
    }
    errno = saved;
    return after_read(kept == 0 ? real_read(fd, NULL, 0) : real_readv(fd, cut, kept));
}

long long pelvar_shim_reads(void) { return reads; }
long long pelvar_shim_failed(void) { return failed; }
long long pelvar_shim_eintr_put(void) { return eintr_put; }
long long pelvar_shim_eintr_seen(void) { return eintr_seen; }
long long pelvar_shim_bytes(void) { return bytes; }
long long pelvar_shim_reads_after_failure(void) { return reads_after_failure; }
