// A stand-in Video4Linux2 capture device, written from what the server expects of a driver:
// capability query, format and frame-size enumeration, set/get format, frame rate, buffer
// request, query, map, queue, dequeue, stream on and off. Its descriptor is an eventfd that is
// readable while a filled buffer waits to be dequeued, so the server's select() is the real one;
// its buffers live in a memfd that the server maps. The device's own work on its descriptors
// is done by system calls, as a driver's is inside the kernel: a sanitizer in the process sees
// only the program's calls.
//
// While streaming, a clock fills the first queued buffer every interval_ms (frames with no
// queued buffer are dropped, as a driver does). Each frame holds FRAME_MAGIC, its sequence
// number and its capture time (CLOCK_MONOTONIC, ns) at the start and again at the end, and a
// fixed pattern in between: check_frame() verifies a received frame byte by byte.
//
// Configuration, "key=value" separated by ';':
//   fmt=FOURCC:SIZE,SIZE...  a format (repeatable; default YUYV:d640x480). SIZE is dWxH
//                            (discrete), sWxH-WxH (stepwise min-max) or cWxH-WxH (continuous)
//   buffers=N      buffers granted for any request (default 4)
//   sparm=refuse   VIDIOC_S_PARM fails
//   querycap=fail  VIDIOC_QUERYCAP fails (not a V4L2 device)
//   frames=never   the stream never fills a buffer
//   settle=WxH     the size the driver settles on whatever is asked
//   length=N       buffer length (default: the image size rounded up to a page)
//   interval=MS    time between frames (default 33)
//   damaged=N      every Nth frame (by sequence number) is flagged V4L2_BUF_FLAG_ERROR, as a
//                  driver flags a frame it knows to be broken; its tail is left from an older
//                  frame, so check_frame() rejects it
//   status=PATH    after every change, PATH holds "out=N" (buffers neither queued nor filled:
//                  held by the program) once streaming has started
// Used by the preload library (fake_v4l2_preload.cpp) and directly by unit tests.
#pragma once

#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fakecam {

constexpr char FRAME_MAGIC[8] = {'F', 'A', 'K', 'E', 'C', 'A', 'M', '\0'};
constexpr size_t FRAME_HEAD = 24;   // magic, sequence, capture time
constexpr size_t FRAME_TAIL = 16;   // sequence, capture time

inline uint8_t pattern_byte(size_t i) { return static_cast<uint8_t>(i * 131 + (i >> 12)); }

inline uint64_t monotonic_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

struct FrameInfo {
    uint64_t sequence = 0;
    uint64_t capture_ns = 0;
};

// Verifies a whole frame as the fake device fills it. Empty string when intact, else what is
// wrong.
inline std::string check_frame(const std::string& f, FrameInfo* info = nullptr) {
    if (f.size() < FRAME_HEAD + FRAME_TAIL) return "frame too short";
    if (memcmp(f.data(), FRAME_MAGIC, sizeof(FRAME_MAGIC)) != 0) return "no magic";
    uint64_t seq, ns, seq2, ns2;
    memcpy(&seq, f.data() + 8, 8);
    memcpy(&ns, f.data() + 16, 8);
    memcpy(&seq2, f.data() + f.size() - FRAME_TAIL, 8);
    memcpy(&ns2, f.data() + f.size() - 8, 8);
    if (seq != seq2 || ns != ns2) return "head and tail of different frames";
    for (size_t i = FRAME_HEAD; i < f.size() - FRAME_TAIL; i++)
        if (static_cast<uint8_t>(f[i]) != pattern_byte(i)) return "pattern broken at " + std::to_string(i);
    if (info) {
        info->sequence = seq;
        info->capture_ns = ns;
    }
    return "";
}

struct FrameSize {
    uint32_t type;  // V4L2_FRMSIZE_TYPE_*
    uint32_t w, h, w2, h2;
};

struct Format {
    uint32_t fourcc;
    std::vector<FrameSize> sizes;
};

struct Config {
    std::vector<Format> formats;
    unsigned buffers = 4;
    bool refuse_parm = false;
    bool fail_querycap = false;
    bool never_ready = false;
    uint32_t settle_w = 0, settle_h = 0;
    uint32_t length = 0;
    int interval_ms = 33;
    unsigned damaged = 0;
    std::string status;

    static bool parse_wh(const std::string& s, uint32_t* w, uint32_t* h) {
        return sscanf(s.c_str(), "%ux%u", w, h) == 2;
    }

    static Config parse(const std::string& text) {
        Config c;
        size_t pos = 0;
        while (pos <= text.size()) {
            size_t end = text.find(';', pos);
            if (end == std::string::npos) end = text.size();
            std::string item = text.substr(pos, end - pos);
            pos = end + 1;
            size_t eq = item.find('=');
            if (eq == std::string::npos) continue;
            std::string key = item.substr(0, eq), value = item.substr(eq + 1);
            if (key == "fmt") {
                Format f;
                std::string cc = value.substr(0, value.find(':'));
                cc.resize(4, ' ');
                f.fourcc = v4l2_fourcc(cc[0], cc[1], cc[2], cc[3]);
                size_t colon = value.find(':');
                std::string sizes = colon == std::string::npos ? "" : value.substr(colon + 1);
                size_t p = 0;
                while (p < sizes.size()) {
                    size_t e = sizes.find(',', p);
                    if (e == std::string::npos) e = sizes.size();
                    std::string s = sizes.substr(p, e - p);
                    p = e + 1;
                    if (s.empty()) continue;
                    FrameSize fs = {};
                    if (s[0] == 'd') {
                        fs.type = V4L2_FRMSIZE_TYPE_DISCRETE;
                        parse_wh(s.substr(1), &fs.w, &fs.h);
                    } else {
                        fs.type = s[0] == 's' ? V4L2_FRMSIZE_TYPE_STEPWISE
                                              : V4L2_FRMSIZE_TYPE_CONTINUOUS;
                        size_t dash = s.find('-');
                        parse_wh(s.substr(1, dash - 1), &fs.w, &fs.h);
                        if (dash != std::string::npos) parse_wh(s.substr(dash + 1), &fs.w2, &fs.h2);
                    }
                    f.sizes.push_back(fs);
                }
                c.formats.push_back(f);
            } else if (key == "buffers") {
                c.buffers = static_cast<unsigned>(atoi(value.c_str()));
            } else if (key == "sparm") {
                c.refuse_parm = value == "refuse";
            } else if (key == "querycap") {
                c.fail_querycap = value == "fail";
            } else if (key == "frames") {
                c.never_ready = value == "never";
            } else if (key == "settle") {
                parse_wh(value, &c.settle_w, &c.settle_h);
            } else if (key == "length") {
                c.length = static_cast<uint32_t>(atoi(value.c_str()));
            } else if (key == "status") {
                c.status = value;
            } else if (key == "damaged") {
                c.damaged = static_cast<unsigned>(atoi(value.c_str()));
            } else if (key == "interval") {
                c.interval_ms = atoi(value.c_str());
            }
        }
        if (c.formats.empty())
            c.formats.push_back({V4L2_PIX_FMT_YUYV, {{V4L2_FRMSIZE_TYPE_DISCRETE, 640, 480, 0, 0}}});
        return c;
    }
};

class Device {
public:
    explicit Device(const Config& config) : cfg_(config) {
        fd_ = eventfd(0, EFD_NONBLOCK | EFD_SEMAPHORE | EFD_CLOEXEC);
    }
    ~Device() { shut(); }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    int fd() const { return fd_; }

    // Stops the clock and releases the device's own descriptors and mapping (not the
    // caller's mappings, which stay valid until unmapped). join false leaves the clock's thread
    // idle instead of ending it: a thread of a preloaded library that ends inside a process run
    // by ThreadSanitizer trips the sanitizer's own TLS bookkeeping.
    void shut(bool join = true) {
        if (join) stop_clock();
        std::lock_guard<std::mutex> g(mu_);
        streaming_ = false;  // an idle clock fills nothing
        if (base_) syscall(SYS_munmap, base_, stride_ * count_);
        base_ = nullptr;
        if (mem_ >= 0) syscall(SYS_close, mem_);
        mem_ = -1;
        if (fd_ >= 0) syscall(SYS_close, fd_);
        fd_ = -1;
    }

    // What the driver has seen, for tests.
    unsigned maps() {
        std::lock_guard<std::mutex> g(mu_);
        return maps_;
    }
    unsigned qbufs() {
        std::lock_guard<std::mutex> g(mu_);
        return qbufs_;
    }
    uint32_t set_width() {
        std::lock_guard<std::mutex> g(mu_);
        return requested_w_;
    }
    uint32_t set_height() {
        std::lock_guard<std::mutex> g(mu_);
        return requested_h_;
    }
    bool parm_asked() {
        std::lock_guard<std::mutex> g(mu_);
        return parm_asked_;
    }
    bool streaming() {
        std::lock_guard<std::mutex> g(mu_);
        return streaming_;
    }

    int ioctl(unsigned long request, void* arg) {
        std::unique_lock<std::mutex> g(mu_);
        switch (request) {
            case VIDIOC_QUERYCAP: {
                if (cfg_.fail_querycap) return fail(ENOTTY);
                auto* cap = static_cast<v4l2_capability*>(arg);
                memset(cap, 0, sizeof(*cap));
                strcpy(reinterpret_cast<char*>(cap->driver), "fakecam");
                strcpy(reinterpret_cast<char*>(cap->card), "Fake Camera");
                strcpy(reinterpret_cast<char*>(cap->bus_info), "platform:fakecam");
                cap->version = 0x060100;
                cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
                cap->device_caps = cap->capabilities;
                return 0;
            }
            case VIDIOC_ENUM_FMT: {
                auto* f = static_cast<v4l2_fmtdesc*>(arg);
                if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || f->index >= cfg_.formats.size())
                    return fail(EINVAL);
                const Format& fmt = cfg_.formats[f->index];
                f->pixelformat = fmt.fourcc;
                snprintf(reinterpret_cast<char*>(f->description), sizeof(f->description),
                         "Format %c%c%c%c", fmt.fourcc & 0xFF, (fmt.fourcc >> 8) & 0xFF,
                         (fmt.fourcc >> 16) & 0xFF, (fmt.fourcc >> 24) & 0xFF);
                return 0;
            }
            case VIDIOC_ENUM_FRAMESIZES: {
                auto* s = static_cast<v4l2_frmsizeenum*>(arg);
                for (const Format& fmt : cfg_.formats) {
                    if (fmt.fourcc != s->pixel_format) continue;
                    if (s->index >= fmt.sizes.size()) return fail(EINVAL);
                    const FrameSize& fs = fmt.sizes[s->index];
                    s->type = fs.type;
                    if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                        s->discrete.width = fs.w;
                        s->discrete.height = fs.h;
                    } else {
                        s->stepwise.min_width = fs.w;
                        s->stepwise.min_height = fs.h;
                        s->stepwise.max_width = fs.w2;
                        s->stepwise.max_height = fs.h2;
                        s->stepwise.step_width = 1;
                        s->stepwise.step_height = 1;
                    }
                    return 0;
                }
                return fail(EINVAL);
            }
            case VIDIOC_S_FMT: {
                auto* f = static_cast<v4l2_format*>(arg);
                if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
                if (count_ > 0) return fail(EBUSY);
                requested_w_ = f->fmt.pix.width;
                requested_h_ = f->fmt.pix.height;
                width_ = cfg_.settle_w ? cfg_.settle_w : f->fmt.pix.width;
                height_ = cfg_.settle_h ? cfg_.settle_h : f->fmt.pix.height;
                pixfmt_ = f->fmt.pix.pixelformat;
                field_ = f->fmt.pix.field;
                fill_format(f);
                return 0;
            }
            case VIDIOC_G_FMT: {
                auto* f = static_cast<v4l2_format*>(arg);
                if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
                fill_format(f);
                return 0;
            }
            case VIDIOC_S_PARM: {
                parm_asked_ = true;
                if (cfg_.refuse_parm) return fail(EINVAL);
                return 0;
            }
            case VIDIOC_REQBUFS: {
                auto* r = static_cast<v4l2_requestbuffers*>(arg);
                if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP)
                    return fail(EINVAL);
                if (streaming_ || count_ > 0) return fail(EBUSY);
                return request_buffers(r);
            }
            case VIDIOC_QUERYBUF: {
                auto* b = static_cast<v4l2_buffer*>(arg);
                if (!valid(b)) return fail(EINVAL);
                fill_buffer(b, b->index);
                return 0;
            }
            case VIDIOC_QBUF: {
                auto* b = static_cast<v4l2_buffer*>(arg);
                if (!valid(b) || state_[b->index] != USER) return fail(EINVAL);
                state_[b->index] = QUEUED;
                queued_.push_back(b->index);
                qbufs_++;
                fill_buffer(b, b->index);
                write_status();
                return 0;
            }
            case VIDIOC_DQBUF: {
                auto* b = static_cast<v4l2_buffer*>(arg);
                if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP)
                    return fail(EINVAL);
                if (!streaming_) return fail(EINVAL);
                if (done_.empty()) return fail(EAGAIN);
                unsigned i = done_.front();
                done_.pop_front();
                uint64_t v;
                long r = syscall(SYS_read, fd_, &v, sizeof(v));
                (void)r;
                state_[i] = USER;
                fill_buffer(b, i);
                write_status();
                return 0;
            }
            case VIDIOC_STREAMON: {
                if (count_ == 0) return fail(EINVAL);
                if (!streaming_) {
                    streaming_ = true;
                    write_status();
                    if (!cfg_.never_ready) clock_ = std::thread([this] { run_clock(); });
                }
                return 0;
            }
            case VIDIOC_STREAMOFF: {
                g.unlock();
                stop_clock();
                g.lock();
                streaming_ = false;
                queued_.clear();
                done_.clear();
                for (auto& s : state_) s = USER;
                uint64_t v;
                while (syscall(SYS_read, fd_, &v, sizeof(v)) > 0) {
                }
                return 0;
            }
            default:
                return fail(ENOTTY);
        }
    }

    // Maps the buffer at offset; MAP_FAILED with errno when there is none.
    void* mmap(size_t length, int prot, int flags, off_t offset) {
        std::lock_guard<std::mutex> g(mu_);
        if (mem_ < 0 || offset < 0 || stride_ == 0 || static_cast<size_t>(offset) % stride_ != 0 ||
            static_cast<size_t>(offset) / stride_ >= count_ || length == 0 || length > stride_) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        maps_++;
        long r = syscall(SYS_mmap, nullptr, length, prot, flags, mem_, offset);
        return reinterpret_cast<void*>(r);
    }

private:
    enum State { USER, QUEUED, DONE };

    static int fail(int err) {
        errno = err;
        return -1;
    }

    bool valid(const v4l2_buffer* b) const {
        return b->type == V4L2_BUF_TYPE_VIDEO_CAPTURE && b->memory == V4L2_MEMORY_MMAP &&
               b->index < count_;
    }

    // Caller holds mu_.
    void write_status() const {
        if (cfg_.status.empty() || !streaming_) return;
        unsigned out = 0;
        for (State st : state_) out += st == USER;
        std::string tmp = cfg_.status + ".tmp";
        FILE* f = fopen(tmp.c_str(), "w");
        if (!f) return;
        fprintf(f, "out=%u\n", out);
        fclose(f);
        rename(tmp.c_str(), cfg_.status.c_str());
    }

    uint32_t image_size() const { return width_ * height_ * 2; }

    void fill_format(v4l2_format* f) const {
        f->fmt.pix.width = width_;
        f->fmt.pix.height = height_;
        f->fmt.pix.pixelformat = pixfmt_;
        f->fmt.pix.field = field_;
        f->fmt.pix.bytesperline = width_ * 2;
        f->fmt.pix.sizeimage = image_size();
    }

    int request_buffers(v4l2_requestbuffers* r) {
        if (r->count == 0) return 0;
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        length_ = cfg_.length ? cfg_.length
                              : static_cast<uint32_t>((image_size() + page - 1) / page * page);
        if (length_ == 0) length_ = static_cast<uint32_t>(page);
        stride_ = (length_ + page - 1) / page * page;
        count_ = cfg_.buffers;
        r->count = count_;
        if (count_ == 0) return 0;
        mem_ = static_cast<int>(syscall(SYS_memfd_create, "fakecam", 0u));
        if (mem_ < 0 || ftruncate(mem_, static_cast<off_t>(stride_ * count_)) < 0) return fail(ENOMEM);
        long p = syscall(SYS_mmap, nullptr, stride_ * count_, PROT_READ | PROT_WRITE, MAP_SHARED,
                         mem_, 0);
        if (reinterpret_cast<void*>(p) == MAP_FAILED) return fail(ENOMEM);
        base_ = reinterpret_cast<char*>(p);
        for (size_t i = 0; i < length_; i++) base_[i] = static_cast<char>(pattern_byte(i));
        for (unsigned b = 1; b < count_; b++) memcpy(base_ + b * stride_, base_, length_);
        state_.assign(count_, USER);
        info_.assign(count_, FrameInfo());
        damaged_.assign(count_, false);
        return 0;
    }

    void fill_buffer(v4l2_buffer* b, unsigned i) const {
        uint32_t index = i;
        memset(b, 0, sizeof(*b));
        b->index = index;
        b->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b->memory = V4L2_MEMORY_MMAP;
        b->length = length_;
        b->m.offset = static_cast<uint32_t>(index * stride_);
        b->bytesused = image_size() < length_ ? image_size() : length_;
        b->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        if (state_[index] == QUEUED) b->flags |= V4L2_BUF_FLAG_QUEUED;
        if (state_[index] == DONE) b->flags |= V4L2_BUF_FLAG_DONE;
        if (damaged_[index]) b->flags |= V4L2_BUF_FLAG_ERROR;
        b->field = field_;
        b->sequence = static_cast<uint32_t>(info_[index].sequence);
        b->timestamp.tv_sec = static_cast<time_t>(info_[index].capture_ns / 1000000000ull);
        b->timestamp.tv_usec = static_cast<suseconds_t>(info_[index].capture_ns % 1000000000ull / 1000);
    }

    // One frame: into the first queued buffer, or dropped when none is queued.
    void tick() {
        std::lock_guard<std::mutex> g(mu_);
        if (!streaming_ || queued_.empty()) return;
        unsigned i = queued_.front();
        queued_.pop_front();
        char* p = base_ + i * stride_;
        FrameInfo fi{++sequence_, monotonic_ns()};
        damaged_[i] = cfg_.damaged && fi.sequence % cfg_.damaged == 0;
        // The pattern was laid down when the buffers were made; a frame renews its head and
        // tail, which is what a frame sent half before and half after a refill gives away.
        if (length_ >= FRAME_HEAD + FRAME_TAIL) {
            memcpy(p, FRAME_MAGIC, 8);
            memcpy(p + 8, &fi.sequence, 8);
            memcpy(p + 16, &fi.capture_ns, 8);
            if (!damaged_[i]) {
                memcpy(p + length_ - FRAME_TAIL, &fi.sequence, 8);
                memcpy(p + length_ - 8, &fi.capture_ns, 8);
            }
        }
        info_[i] = fi;
        state_[i] = DONE;
        done_.push_back(i);
        uint64_t one = 1;
        long r = syscall(SYS_write, fd_, &one, sizeof(one));
        (void)r;
    }

    void run_clock() {
        std::unique_lock<std::mutex> g(clock_mu_);
        auto next = std::chrono::steady_clock::now();
        while (!stop_) {
            next += std::chrono::milliseconds(cfg_.interval_ms);
            if (clock_cv_.wait_until(g, next, [this] { return stop_; })) break;
            g.unlock();
            tick();
            g.lock();
        }
    }

    void stop_clock() {
        {
            std::lock_guard<std::mutex> g(clock_mu_);
            stop_ = true;
        }
        clock_cv_.notify_all();
        if (clock_.joinable()) clock_.join();
        std::lock_guard<std::mutex> g(clock_mu_);
        stop_ = false;
    }

    const Config cfg_;
    int fd_ = -1;
    std::mutex mu_;  // everything below
    int mem_ = -1;
    char* base_ = nullptr;
    uint32_t width_ = 640, height_ = 480, pixfmt_ = V4L2_PIX_FMT_YUYV, field_ = V4L2_FIELD_NONE;
    uint32_t requested_w_ = 0, requested_h_ = 0;
    bool parm_asked_ = false;
    unsigned count_ = 0;
    uint32_t length_ = 0;
    size_t stride_ = 0;
    std::vector<State> state_;
    std::vector<FrameInfo> info_;
    std::vector<bool> damaged_;  // the frame in the buffer is flagged broken
    std::deque<unsigned> queued_, done_;
    uint64_t sequence_ = 0;
    bool streaming_ = false;
    unsigned maps_ = 0, qbufs_ = 0;

    std::mutex clock_mu_;
    std::condition_variable clock_cv_;
    bool stop_ = false;
    std::thread clock_;
};

}  // namespace fakecam
