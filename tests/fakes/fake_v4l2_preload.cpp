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

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
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

int device_open(const char* path, int flags, va_list ap, const char* name) {
    if (is_device_path(path)) return open_device();
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) mode = static_cast<mode_t>(va_arg(ap, int));
    static auto real = next<int (*)(const char*, int, ...)>(name);
    return real(path, flags, mode);
}

}  // namespace

extern "C" {

int stat(const char* path, struct stat* st) {
    if (is_device_path(path)) {
        fill_stat(st);
        return 0;
    }
    static auto real = next<int (*)(const char*, struct stat*)>("stat");
    return real(path, st);
}

int stat64(const char* path, struct stat64* st) {
    if (is_device_path(path)) {
        fill_stat(reinterpret_cast<struct stat*>(st));
        return 0;
    }
    static auto real = next<int (*)(const char*, struct stat64*)>("stat64");
    return real(path, st);
}

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int r = device_open(path, flags, ap, "open");
    va_end(ap);
    return r;
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    int r = device_open(path, flags, ap, "open64");
    va_end(ap);
    return r;
}

int __open_2(const char* path, int flags) {
    if (is_device_path(path)) return open_device();
    static auto real = next<int (*)(const char*, int)>("__open_2");
    return real(path, flags);
}

int __open64_2(const char* path, int flags) {
    if (is_device_path(path)) return open_device();
    static auto real = next<int (*)(const char*, int)>("__open64_2");
    return real(path, flags);
}

int openat(int dirfd, const char* path, int flags, ...) {
    if (is_device_path(path)) return open_device();
    mode_t mode = 0;
    va_list ap;
    va_start(ap, flags);
    if (flags & (O_CREAT | O_TMPFILE)) mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    static auto real = next<int (*)(int, const char*, int, ...)>("openat");
    return real(dirfd, path, flags, mode);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (is_device_fd(fd)) return device->ioctl(request, arg);
    static auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
    return real(fd, request, arg);
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
        device->shut();  // the device stays allocated: a racing ioctl may still use it
        return 0;
    }
    static auto real = next<int (*)(int)>("close");
    return real(fd);
}

}  // extern "C"
