// Preload library: makes the path in FAKE_V4L2_DEVICE look like a V4L2 capture device to the
// process it is loaded into, configured by FAKE_V4L2_CONFIG (see fake_v4l2.h). It answers
// stat() on that path with a character device, open() with the device's descriptor, and
// ioctl(), mmap() and close() on that descriptor; every other call goes to the next library.
// Under a sanitizer, preload the sanitizer's runtime before this library.

// This file defines open() and friends itself: the fortified inline wrappers must not exist.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>

#include "fake_v4l2.h"

namespace {

std::mutex device_lock;  // device and device_fd changes
// A closed device is kept (not freed): an ioctl racing with the close may still reach it.
fakecam::Device* device = nullptr;
std::atomic<int> device_fd{-1};

bool is_device_path(const char* path) {
    const char* want = getenv("FAKE_V4L2_DEVICE");
    return path && want && *want && strcmp(path, want) == 0;
}

// The next definitions, looked up once at load: a lookup later, inside a sanitizer's report
// (which opens files to symbolise), would run dlsym where it must not.
using OpenFn = int (*)(const char*, int, ...);
using Open2Fn = int (*)(const char*, int);
using OpenatFn = int (*)(int, const char*, int, ...);
using StatFn = int (*)(const char*, struct stat*);
using Stat64Fn = int (*)(const char*, struct stat64*);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

OpenFn real_open, real_open64;
Open2Fn real_open_2, real_open64_2;
OpenatFn real_openat;
StatFn real_stat;
Stat64Fn real_stat64;
IoctlFn real_ioctl;
CloseFn real_close;

template <typename F>
void find(F* f, const char* name) {
    *f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void find_next() {
    find(&real_open, "open");
    find(&real_open64, "open64");
    find(&real_open_2, "__open_2");
    find(&real_open64_2, "__open64_2");
    find(&real_openat, "openat");
    find(&real_stat, "stat");
    find(&real_stat64, "stat64");
    find(&real_ioctl, "ioctl");
    find(&real_close, "close");
}

// Before the constructor has run (another library's start-up), the system call itself.
int sys_openat(int dirfd, const char* path, int flags, mode_t mode) {
    return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
}

void fill_stat(struct stat* st) {
    memset(st, 0, sizeof(*st));
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(81, 0);
    st->st_nlink = 1;
    st->st_blksize = 4096;
}

int open_device() {
    const char* config = getenv("FAKE_V4L2_CONFIG");
    std::lock_guard<std::mutex> g(device_lock);
    if (device_fd.load() >= 0) {  // one opener at a time, as a busy capture device answers
        errno = EBUSY;
        return -1;
    }
    device = new fakecam::Device(fakecam::Config::parse(config ? config : ""));
    device_fd = device->fd();
    return device->fd();
}

bool is_device_fd(int fd) { return fd >= 0 && fd == device_fd.load(); }

int device_open(const char* path, int flags, va_list ap, OpenFn real) {
    if (is_device_path(path)) return open_device();
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) mode = static_cast<mode_t>(va_arg(ap, int));
    if (!real) return sys_openat(AT_FDCWD, path, flags, mode);
    return real(path, flags, mode);
}

}  // namespace

extern "C" {

int stat(const char* path, struct stat* st) {
    if (is_device_path(path)) {
        fill_stat(st);
        return 0;
    }
    if (!real_stat) return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, path, st, 0));
    return real_stat(path, st);
}

int stat64(const char* path, struct stat64* st) {
    if (is_device_path(path)) {
        fill_stat(reinterpret_cast<struct stat*>(st));
        return 0;
    }
    if (!real_stat64) return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, path, st, 0));
    return real_stat64(path, st);
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int r = device_open(path, flags, ap, real_open);
    va_end(ap);
    return r;
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int r = device_open(path, flags, ap, real_open64);
    va_end(ap);
    return r;
}

int __open_2(const char* path, int flags) {
    if (is_device_path(path)) return open_device();
    if (!real_open_2) return sys_openat(AT_FDCWD, path, flags, 0);
    return real_open_2(path, flags);
}

int __open64_2(const char* path, int flags) {
    if (is_device_path(path)) return open_device();
    if (!real_open64_2) return sys_openat(AT_FDCWD, path, flags, 0);
    return real_open64_2(path, flags);
}

int openat(int dirfd, const char* path, int flags, ...) {
    if (is_device_path(path)) return open_device();
    mode_t mode = 0;
    va_list ap;
    va_start(ap, flags);
    if (flags & (O_CREAT | O_TMPFILE)) mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    if (!real_openat) return sys_openat(dirfd, path, flags, mode);
    return real_openat(dirfd, path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (is_device_fd(fd)) return device->ioctl(request, arg);
    if (!real_ioctl) return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    return real_ioctl(fd, request, arg);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (is_device_fd(fd)) return device->mmap(length, prot, flags, offset);
    // The system call itself: this runs before the dynamic linker can answer dlsym.
    return reinterpret_cast<void*>(syscall(SYS_mmap, addr, length, prot, flags, fd, offset));
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return mmap(addr, length, prot, flags, fd, offset);
}

int close(int fd) {
    if (is_device_fd(fd)) {
        std::lock_guard<std::mutex> g(device_lock);
        device_fd = -1;
        device->shut(false);  // the device stays allocated: a racing ioctl may still use it
        return 0;
    }
    if (!real_close) return static_cast<int>(syscall(SYS_close, fd));
    return real_close(fd);
}

}  // extern "C"
