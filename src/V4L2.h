// The video capture device: a Video4Linux2 capture driver opened once at start-up, set to YUYV,
// asked for four memory-mapped buffers and left streaming. The functions report on the console
// themselves (stdout for information, stderr for most failures) and return 0 or -1.
//
// Every call into the system goes through v4l2_system, so tests can stand in for a driver; on a
// board it holds the C library's functions.
#pragma once

#include <linux/videodev2.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

// One driver buffer mapped into the server. start is nullptr when it was never mapped.
struct MappedBuffer {
    void* start;
    uint32_t length;
};

// Set by init_camera in the main thread before the first session; read-only afterwards.
extern int video_fildes;
extern int VIDEO_WIDTH;
extern int VIDEO_HEIGHT;
extern MappedBuffer* v4l2_ubuffers;  // v4l2_nbuffers records, never freed
extern unsigned v4l2_nbuffers;       // buffers the driver granted
extern unsigned v4l2_queued;         // buffers handed to the driver by v4l2_streamon

// Buffers the stream is started with.
constexpr unsigned V4L2_STREAM_BUFFERS = 4;

struct V4l2System {
    int (*stat)(const char* path, struct stat* st);
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, size_t length);
    int (*select)(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                  struct timeval* timeout);
};
extern V4l2System v4l2_system;
// The C library's functions, the default of v4l2_system.
extern const V4l2System V4L2_SYSTEM_CALLS;

// The start-up steps (v4l2_open to v4l2_streamon) print nothing: a step that fails leaves its
// reason in v4l2_error ("" before any failure) and returns -1. Main thread only.
extern char v4l2_error[160];
int v4l2_open(const char* path);
int v4l2_close(int fd);
int v4l2_querycap(int fd);
int v4l2_sfmt(int fd, uint32_t pixelformat);
int v4l2_gfmt(int fd);
int v4l2_sfps(int fd, int fps);
int v4l2_mmap(int fd);
int v4l2_streamon(int fd);
int v4l2_streamoff(int fd);
int v4l2_munmap();

// An ioctl retried while a signal interrupts it. The result of the ioctl; errno kept.
int v4l2_ioctl(int fd, unsigned long request, void* arg);
// Waits until fd is readable or deadline passes, across interruptions. 1 readable, 0 time-out,
// -1 when the wait itself failed.
int v4l2_wait(int fd, std::chrono::steady_clock::time_point deadline);
