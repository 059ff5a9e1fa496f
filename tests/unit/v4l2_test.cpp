// The capture device functions and init_camera against the stand-in driver, with the system
// calls of the V4L2 unit routed to it and faults injected per call.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "../fakes/fake_v4l2.h"
#include "V4L2.h"
#include "server.h"

namespace {

const char* const kPath = "/dev/fake-video0";

// What the routed system calls do besides reaching the device.
struct Plan {
    unsigned long fail_request = 0;  // this ioctl fails with fail_errno
    int fail_errno = EINVAL;
    int interrupt_each = 0;          // every ioctl first fails with EINTR
    int fail_map_at = -1;            // the Nth mmap fails
    int fail_unmap_at = -1;          // the Nth munmap fails
    int stat_calls = 0, maps = 0, unmaps = 0;
    bool interrupted = false;
};

fakecam::Device* dev = nullptr;
Plan plan;

int fake_stat(const char* path, struct stat* st) {
    plan.stat_calls++;
    if (strcmp(path, kPath) != 0) return V4L2_SYSTEM_CALLS.stat(path, st);
    memset(st, 0, sizeof(*st));
    st->st_mode = S_IFCHR | 0660;
    return 0;
}
int fake_open(const char* path, int flags) {
    if (strcmp(path, kPath) != 0) return V4L2_SYSTEM_CALLS.open(path, flags);
    return dev->fd();
}
int fake_close(int fd) {
    if (fd != dev->fd()) return V4L2_SYSTEM_CALLS.close(fd);
    dev->shut();
    return 0;
}
int fake_ioctl(int fd, unsigned long request, void* arg) {
    if (fd != dev->fd()) return V4L2_SYSTEM_CALLS.ioctl(fd, request, arg);
    if (plan.interrupt_each && !plan.interrupted) {
        plan.interrupted = true;
        errno = EINTR;
        return -1;
    }
    plan.interrupted = false;
    if (request == plan.fail_request) {
        errno = plan.fail_errno;
        return -1;
    }
    return dev->ioctl(request, arg);
}
void* fake_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (fd != dev->fd()) return V4L2_SYSTEM_CALLS.mmap(addr, length, prot, flags, fd, offset);
    if (plan.maps++ == plan.fail_map_at) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return dev->mmap(length, prot, flags, offset);
}
int fake_munmap(void* addr, size_t length) {
    if (plan.unmaps++ == plan.fail_unmap_at) {
        errno = EINVAL;
        return -1;
    }
    return V4L2_SYSTEM_CALLS.munmap(addr, length);
}

class V4l2Test : public ::testing::Test {
protected:
    void TearDown() override {
        if (v4l2_ubuffers) {
            plan.fail_unmap_at = -1;
            v4l2_munmap();
            free(v4l2_ubuffers);
        }
        v4l2_ubuffers = nullptr;
        v4l2_nbuffers = v4l2_queued = 0;
        VIDEO_WIDTH = 640;
        VIDEO_HEIGHT = 480;
        video_fildes = -1;
        device.reset();
        dev = nullptr;
        v4l2_system = V4L2_SYSTEM_CALLS;
    }

    void use(const std::string& config) {
        device = std::make_unique<fakecam::Device>(fakecam::Config::parse(config));
        dev = device.get();
        plan = Plan();
        v4l2_system = {fake_stat, fake_open, fake_close,          fake_ioctl,
                       fake_mmap, fake_munmap, V4L2_SYSTEM_CALLS.select};
        copy_text(device_video, kPath);
    }

    // Runs init_camera; out and err get what it printed.
    bool init(std::string* out = nullptr, std::string* err = nullptr) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        bool on = init_camera();
        fflush(stdout);
        std::string o = ::testing::internal::GetCapturedStdout();
        std::string e = ::testing::internal::GetCapturedStderr();
        if (out) *out = o;
        if (err) *err = e;
        return on;
    }

    std::unique_ptr<fakecam::Device> device;
};

TEST_F(V4l2Test, SizeIsTheLastDiscreteOrStepwiseMaximumOfAnyFormat) {
    struct Case {
        const char* config;
        int w, h;
    } cases[] = {
        {"fmt=YUYV:d320x240,d1280x720", 1280, 720},
        {"fmt=YUYV:c16x16-4000x4000", 640, 480},
        {"fmt=YUYV:s160x120-1024x768", 1024, 768},
        // A later format without discrete or stepwise sizes does not undo an earlier one.
        {"fmt=YUYV:d320x240,d800x600;fmt=MJPG:c16x16-1920x1080", 800, 600},
        {"fmt=YUYV:d1920x1080;fmt=MJPG:d352x288,c16x16-99x99", 352, 288},
        {"fmt=YUYV:", 640, 480},
    };
    for (const Case& c : cases) {
        use(c.config);
        EXPECT_TRUE(init()) << c.config;
        EXPECT_EQ(VIDEO_WIDTH, c.w) << c.config;
        EXPECT_EQ(VIDEO_HEIGHT, c.h) << c.config;
        EXPECT_EQ(dev->set_width(), static_cast<uint32_t>(c.w)) << c.config;
        EXPECT_EQ(dev->set_height(), static_cast<uint32_t>(c.h)) << c.config;
        TearDown();
    }
}

// One line either way: the device and its size, or why the server goes on without it.
TEST_F(V4l2Test, OneLineAboutTheCamera) {
    use("fmt=YUYV:d640x480;fmt=MJPG:d320x240");
    std::string out, err;
    ASSERT_TRUE(init(&out, &err));
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, std::string("camera: ") + kPath + ", 320x240\n");
    EXPECT_TRUE(dev->parm_asked());
}

TEST_F(V4l2Test, EachFailingStepHasItsReason) {
    struct Case {
        unsigned long request;
        const char* reason;
        bool camera_on;
    } cases[] = {
        {VIDIOC_QUERYCAP, "unable to query the device: ", false},
        {VIDIOC_S_FMT, "unable to set the format: ", false},
        {VIDIOC_G_FMT, "unable to get the format: ", false},
        {VIDIOC_S_PARM, "", true},  // the driver's own rate is kept
        {VIDIOC_REQBUFS, "unable to get buffers: ", false},
        {VIDIOC_QUERYBUF, "unable to query buffer 0: ", false},
        {VIDIOC_QBUF, "unable to queue buffer 0: ", false},
        {VIDIOC_STREAMON, "unable to start the stream: ", false},
    };
    const std::string without =
        std::string("the server runs without a camera: ") + kPath + " could not be used (";
    for (const Case& c : cases) {
        use("");
        plan.fail_request = c.request;
        std::string out, err;
        EXPECT_EQ(init(&out, &err), c.camera_on) << c.reason;
        if (c.camera_on) {
            EXPECT_EQ(err, "");
            EXPECT_EQ(out, std::string("camera: ") + kPath + ", 640x480\n");
        } else {
            EXPECT_EQ(out, "");
            EXPECT_EQ(err.rfind(without + c.reason, 0), 0u) << err;
            EXPECT_GT(err.size(), without.size() + strlen(c.reason) + 2) << "no system reason: " << err;
            EXPECT_EQ(err.substr(err.size() - 2), ")\n") << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        }
        TearDown();
    }
}

TEST_F(V4l2Test, MapFailureNamesTheBufferAndLeavesEarlierMappings) {
    use("");
    plan.fail_map_at = 2;
    std::string err;
    EXPECT_FALSE(init(nullptr, &err));
    EXPECT_NE(err.find("(unable to map buffer 2: "), std::string::npos) << err;
    ASSERT_EQ(v4l2_nbuffers, 4u);
    EXPECT_NE(v4l2_ubuffers[1].start, nullptr);
    EXPECT_EQ(v4l2_ubuffers[2].start, nullptr);
    plan.unmaps = 0;
    EXPECT_EQ(v4l2_munmap(), 0);
    EXPECT_EQ(plan.unmaps, 2);  // only the two that exist
}

TEST_F(V4l2Test, InterruptedIoctlsAreRetried) {
    use("");
    plan.interrupt_each = 1;
    std::string err;
    EXPECT_TRUE(init(nullptr, &err));
    EXPECT_EQ(err, "");
    EXPECT_TRUE(dev->streaming());
}

TEST_F(V4l2Test, TwoGrantedBuffersAreMappedButTheStreamDoesNotStart) {
    use("buffers=2");
    std::string err;
    EXPECT_FALSE(init(nullptr, &err));
    EXPECT_NE(err.find("(the driver granted 2 buffers, not 4)\n"), std::string::npos) << err;
    EXPECT_EQ(dev->maps(), 2u);
    EXPECT_EQ(dev->qbufs(), 2u);
    EXPECT_FALSE(dev->streaming());
    plan.unmaps = 0;
    EXPECT_EQ(v4l2_munmap(), 0);
    EXPECT_EQ(plan.unmaps, 2);
}

TEST_F(V4l2Test, SixGrantedBuffersAreAllMappedAndFourQueued) {
    use("buffers=6");
    EXPECT_TRUE(init());
    EXPECT_EQ(v4l2_nbuffers, 6u);
    EXPECT_EQ(dev->maps(), 6u);
    EXPECT_EQ(dev->qbufs(), 4u);
    EXPECT_EQ(v4l2_queued, 4u);
    for (unsigned i = 0; i < 6; i++) EXPECT_EQ(v4l2_ubuffers[i].length, 614400u);
    // Unmapping stops at the first failure, names it, and does not unmap twice later.
    plan.unmaps = 0;
    plan.fail_unmap_at = 1;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(v4l2_munmap(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "munmap failure 1\n");
    plan.unmaps = 0;
    plan.fail_unmap_at = -1;
    EXPECT_EQ(v4l2_munmap(), 0);
    EXPECT_EQ(plan.unmaps, 5);
    EXPECT_EQ(v4l2_munmap(), 0);
    EXPECT_EQ(plan.unmaps, 5);
}

TEST_F(V4l2Test, NoneOrEmptyTouchesNothing) {
    for (const char* value : {"NONE", ""}) {
        use("");
        copy_text(device_video, value);
        std::string out, err;
        EXPECT_FALSE(init(&out, &err));
        EXPECT_EQ(out + err, "");
        EXPECT_EQ(plan.stat_calls, 0);
        EXPECT_EQ(video_fildes, -1);
        TearDown();
    }
}

TEST_F(V4l2Test, StreamOffReportsItsResult) {
    use("");
    ASSERT_TRUE(init());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(v4l2_streamoff(video_fildes), 0);
    fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "stream is off\n");
    plan.fail_request = VIDIOC_STREAMOFF;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(v4l2_streamoff(video_fildes), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "stream off failed\n");
    EXPECT_EQ(v4l2_close(video_fildes), 0);
}

// A driver that answers every enumeration index does not hang start-up.
int endless_ioctl(int fd, unsigned long request, void* arg) {
    if (request == VIDIOC_ENUM_FMT) {
        auto* f = static_cast<v4l2_fmtdesc*>(arg);
        f->pixelformat = V4L2_PIX_FMT_YUYV;
        memset(f->description, 'x', sizeof(f->description));  // and no NUL
        return 0;
    }
    if (request == VIDIOC_ENUM_FRAMESIZES) {
        auto* s = static_cast<v4l2_frmsizeenum*>(arg);
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete.width = 320 + s->index % 2;
        s->discrete.height = 240;
        return 0;
    }
    return fake_ioctl(fd, request, arg);
}

TEST_F(V4l2Test, EndlessEnumerationIsBounded) {
    use("");
    v4l2_system.ioctl = endless_ioctl;
    std::string out;
    EXPECT_TRUE(init(&out));
    EXPECT_EQ(out, std::string("camera: ") + kPath + ", 321x240\n");
    EXPECT_EQ(VIDEO_HEIGHT, 240);
}

}  // namespace
