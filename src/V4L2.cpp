// The capture device functions. A driver's answers are not trusted: texts it fills may lack
// their NUL, enumerations are bounded, and only buffers that were granted and mapped are
// queued or unmapped.
#include "V4L2.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int video_fildes = -1;
int VIDEO_WIDTH = 640;
int VIDEO_HEIGHT = 480;
MappedBuffer* v4l2_ubuffers = nullptr;
unsigned v4l2_nbuffers = 0;
unsigned v4l2_queued = 0;
char v4l2_error[160] = "";

namespace {

// Records why a start-up step failed, for the one line that init_camera prints.
void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(v4l2_error, sizeof(v4l2_error), fmt, ap);
    va_end(ap);
}

int sys_stat(const char* path, struct stat* st) { return ::stat(path, st); }
int sys_open(const char* path, int flags) { return ::open(path, flags); }
int sys_close(int fd) { return ::close(fd); }
int sys_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
void* sys_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int sys_munmap(void* addr, size_t length) { return ::munmap(addr, length); }
int sys_select(int nfds, fd_set* r, fd_set* w, fd_set* e, struct timeval* tv) {
    return ::select(nfds, r, w, e, tv);
}

// A driver that never ends an enumeration must not hang start-up.
constexpr unsigned MAX_ENUM = 1024;

}  // namespace

const V4l2System V4L2_SYSTEM_CALLS = {sys_stat, sys_open,   sys_close, sys_ioctl,
                                      sys_mmap, sys_munmap, sys_select};
V4l2System v4l2_system = V4L2_SYSTEM_CALLS;

int v4l2_ioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = v4l2_system.ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

int v4l2_wait(int fd, std::chrono::steady_clock::time_point deadline) {
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) left = std::chrono::microseconds(0);
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(fd, &fds);
        struct timeval tv;
        tv.tv_sec = static_cast<time_t>(left.count() / 1000000);
        tv.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        int r = v4l2_system.select(fd + 1, &fds, nullptr, nullptr, &tv);
        if (r > 0) return 1;
        if (r == 0) {
            // select may come back a little early; the caller is owed the whole wait.
            if (std::chrono::steady_clock::now() >= deadline) return 0;
            continue;
        }
        if (errno != EINTR) return -1;
    }
}

int v4l2_open(const char* path) {
    struct stat st;
    if (v4l2_system.stat(path, &st) < 0) {
        fail("%s", strerror(errno));
        return -1;
    }
    if (!S_ISCHR(st.st_mode)) {
        fail("not a character device");
        return -1;
    }
    int fd = v4l2_system.open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fail("%s", strerror(errno));
    return fd;
}

int v4l2_close(int fd) { return v4l2_system.close(fd); }

int v4l2_querycap(int fd) {
    struct v4l2_capability cap;
    memset(&cap, 0, sizeof(cap));
    if (v4l2_ioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) {
        fail("unable to query the device: %s", strerror(errno));
        return -1;
    }
    // The last discrete size (or stepwise maximum) that any format reports wins.
    for (unsigned i = 0; i < MAX_ENUM; i++) {
        struct v4l2_fmtdesc fmt;
        memset(&fmt, 0, sizeof(fmt));
        fmt.index = i;
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (v4l2_ioctl(fd, VIDIOC_ENUM_FMT, &fmt) < 0) break;
        for (unsigned j = 0; j < MAX_ENUM; j++) {
            struct v4l2_frmsizeenum size;
            memset(&size, 0, sizeof(size));
            size.index = j;
            size.pixel_format = fmt.pixelformat;
            if (v4l2_ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) break;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                VIDEO_WIDTH = static_cast<int>(size.discrete.width);
                VIDEO_HEIGHT = static_cast<int>(size.discrete.height);
            } else if (size.type == V4L2_FRMSIZE_TYPE_STEPWISE) {
                VIDEO_WIDTH = static_cast<int>(size.stepwise.max_width);
                VIDEO_HEIGHT = static_cast<int>(size.stepwise.max_height);
            }
        }
    }
    return 0;
}

int v4l2_sfmt(int fd, uint32_t pixelformat) {
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = static_cast<uint32_t>(VIDEO_WIDTH);
    fmt.fmt.pix.height = static_cast<uint32_t>(VIDEO_HEIGHT);
    fmt.fmt.pix.pixelformat = pixelformat;
    fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
    if (v4l2_ioctl(fd, VIDIOC_S_FMT, &fmt) < 0) {
        fail("unable to set the format: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int v4l2_gfmt(int fd) {
    struct v4l2_format fmt;
    memset(&fmt, 0, sizeof(fmt));
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (v4l2_ioctl(fd, VIDIOC_G_FMT, &fmt) < 0) {
        fail("unable to get the format: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int v4l2_sfps(int fd, int fps) {
    struct v4l2_streamparm parm;
    memset(&parm, 0, sizeof(parm));
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(fps);
    if (v4l2_ioctl(fd, VIDIOC_S_PARM, &parm) < 0) {
        fail("unable to set the frame rate: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int v4l2_mmap(int fd) {
    struct v4l2_requestbuffers req;
    memset(&req, 0, sizeof(req));
    req.count = V4L2_STREAM_BUFFERS;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (v4l2_ioctl(fd, VIDIOC_REQBUFS, &req) < 0) {
        fail("unable to get buffers: %s", strerror(errno));
        return -1;
    }
    // calloc: every record starts unmapped, so a failure part-way leaves only real mappings.
    auto* records = static_cast<MappedBuffer*>(calloc(req.count ? req.count : 1,
                                                      sizeof(MappedBuffer)));
    if (!records) {
        fail("out of memory");
        return -1;
    }
    v4l2_ubuffers = records;
    v4l2_nbuffers = req.count;
    for (unsigned i = 0; i < req.count; i++) {
        struct v4l2_buffer buf;
        memset(&buf, 0, sizeof(buf));
        buf.index = i;
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (v4l2_ioctl(fd, VIDIOC_QUERYBUF, &buf) < 0) {
            fail("unable to query buffer %u: %s", i, strerror(errno));
            return -1;
        }
        records[i].length = buf.length;
        void* start = v4l2_system.mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED,
                                       fd, static_cast<off_t>(buf.m.offset));
        if (start == MAP_FAILED) {
            fail("unable to map buffer %u: %s", i, strerror(errno));
            return -1;
        }
        records[i].start = start;
    }
    return 0;
}

int v4l2_streamon(int fd) {
    for (unsigned i = 0; i < V4L2_STREAM_BUFFERS; i++) {
        // A buffer that was not granted and mapped is never handed to the driver.
        bool mapped = i < v4l2_nbuffers && v4l2_ubuffers && v4l2_ubuffers[i].start;
        struct v4l2_buffer buf;
        memset(&buf, 0, sizeof(buf));
        buf.index = i;
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (!mapped) {
            fail("the driver granted %u buffers, not %u", v4l2_nbuffers, V4L2_STREAM_BUFFERS);
            return -1;
        }
        if (v4l2_ioctl(fd, VIDIOC_QBUF, &buf) < 0) {
            fail("unable to queue buffer %u: %s", i, strerror(errno));
            return -1;
        }
        v4l2_queued = i + 1;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (v4l2_ioctl(fd, VIDIOC_STREAMON, &type) < 0) {
        fail("unable to start the stream: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int v4l2_streamoff(int fd) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (v4l2_ioctl(fd, VIDIOC_STREAMOFF, &type) < 0) {
        fprintf(stderr, "stream off failed\n");
        return -1;
    }
    printf("stream is off\n");
    return 0;
}

int v4l2_munmap() {
    // Every buffer that exists and is mapped, whatever the driver granted; each only once.
    for (unsigned i = 0; i < v4l2_nbuffers; i++) {
        MappedBuffer& b = v4l2_ubuffers[i];
        if (!b.start) continue;
        if (v4l2_system.munmap(b.start, b.length) < 0) {
            fprintf(stderr, "munmap failure %d\n", static_cast<int>(i));
            return -1;
        }
        b.start = nullptr;
    }
    return 0;
}
