// The camera and relay commands over the wire, against the stand-in capture device preloaded
// into the server (tests/fakes).
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "../fakes/fake_v4l2.h"
#include "harness.h"

using e2e::cmd;

namespace {

using Clock = std::chrono::steady_clock;

const std::string OK = "{ \"RESULT\": \"OK\" }";
const std::string FAIL = "{ \"RESULT\": \"FAIL\" }";

struct CameraServer {
    e2e::TestServer srv;
    std::string device;

    // Starts the server with the stand-in device at srv.dir/video0 configured by config.
    bool start(const std::string& config, const std::string& camera_key = "") {
        device = srv.dir.path + "/video0";
        e2e::ServerOptions o;
        o.keys["camera"] = camera_key.empty() ? device : camera_key;
        std::string preload = e2e::sanitizer_runtime();
        if (!preload.empty()) preload += " ";
        preload += FAKE_V4L2_LIB;
        o.env = {"LD_PRELOAD=" + preload, "FAKE_V4L2_DEVICE=" + device,
                 "FAKE_V4L2_CONFIG=" + config};
        for (int i = 0; i < 16; i++) e2e::add_user(srv.data, "cam" + std::to_string(i), "pw", 5);
        // The server listens before it opens the camera: wait for the end of start-up.
        return srv.start(o) && srv.wait_for_output("Server started at", 20000);
    }
    // A client logged in as a user of its own (the camera needs a login).
    bh::Client connect() {
        bh::Client c = srv.connect();
        e2e::login(c, "cam" + std::to_string(logins++ % 16), "pw");
        return c;
    }
    int logins = 0;
};

// Reads exactly n raw bytes from the client's socket.
bool read_raw(bh::Client& c, std::string& out, size_t n, int timeout_ms = 10000) {
    out.clear();
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[65536];
    while (out.size() < n) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) return false;
        struct pollfd p = {c.fd(), POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return false;
        ssize_t r = recv(c.fd(), buf, std::min(sizeof(buf), n - out.size()), 0);
        if (r <= 0) return false;
        out.append(buf, static_cast<size_t>(r));
    }
    return true;
}

// CAMERA: the "11" reply, then the "85" header, then exactly the announced bytes.
std::string take_frame(bh::Client& c, size_t expect_length) {
    bh::Frame f;
    // The server waits one second for the device; a machine loaded with other work can make
    // the stand-in device miss that, and the answer is FAIL. The request is made again, three
    // times in all: a device that gives no frame at all still fails.
    for (int attempt = 0; attempt < 3; attempt++) {
        if (!c.command(cmd("CAMERA"), f)) return "no reply";
        if (f.type != "11" || f.payload != FAIL) break;
    }
    if (f.type != "11" || f.payload != OK) return "reply " + f.type + " " + f.payload;
    std::string header, frame;
    if (!read_raw(c, header, 12)) return "no header";
    char want[13];
    snprintf(want, sizeof(want), "85%10zu", expect_length);
    if (header != want) return "header '" + header + "'";
    if (!read_raw(c, frame, expect_length)) return "frame cut short";
    return frame;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

// Nothing more arrives on the connection for a while.
bool quiet(bh::Client& c, int ms = 300) {
    struct pollfd p = {c.fd(), POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

}  // namespace

TEST(Camera, OffAnswersFailAndRelayAndViewportAnswerOnce) {
    {
        const char* value = "NONE";
        e2e::TestServer srv;
        e2e::ServerOptions o;
        o.keys["camera"] = value;
        e2e::add_user(srv.data, "cam", "pw", 5);
        ASSERT_TRUE(srv.start(o)) << srv.out() << srv.err();
        bh::Client c = srv.connect();
        e2e::login(c, "cam", "pw");
        bh::Frame f;
        ASSERT_TRUE(c.command(cmd("CAMERA"), f));
        EXPECT_EQ(f.type, "11");
        EXPECT_EQ(f.payload, FAIL);
        EXPECT_TRUE(quiet(c));
        ASSERT_TRUE(c.command(cmd("CAMINFO"), f));
        EXPECT_EQ(f.payload, FAIL);
        EXPECT_TRUE(srv.wait_for_output("CAMERA NONE"));
        for (const char* word : {"VIEWPORT", "RELAY"}) {
            ASSERT_TRUE(c.command(cmd(word, {{"CHANNEL", "1"}, {"STATE", "ON"}}), f));
            EXPECT_EQ(f.type, "11");
            EXPECT_EQ(f.payload, OK) << word;
            EXPECT_TRUE(quiet(c)) << word << " answered more than once";
        }
        EXPECT_EQ(srv.err(), "") << "camera value '" << value << "'";
        EXPECT_EQ(srv.out().find("character device"), std::string::npos);
    }
}

TEST(Camera, SendsTheWholeMappedBuffer) {
    CameraServer cs;
    ASSERT_TRUE(cs.start("")) << cs.srv.out() << cs.srv.err();
    std::string out = cs.srv.out();
    // One line about the camera, not the driver's details.
    EXPECT_NE(out.find("camera: " + cs.device + ", 640x480\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("driver:"), std::string::npos) << out;

    bh::Client c = cs.connect();
    bh::Frame f;
    ASSERT_TRUE(c.command(cmd("CAMINFO"), f));
    EXPECT_EQ(f.payload, "{ \"RESULT\": \"OK\", \"WIDTH\": 640, \"HEIGHT\": 480 }");
    EXPECT_TRUE(cs.srv.wait_for_output("CAMERA " + cs.device + ", 640x480"));
    for (int i = 0; i < 3; i++) {
        std::string frame = take_frame(c, 614400);
        ASSERT_EQ(frame.size(), 614400u) << frame;
        EXPECT_EQ(fakecam::check_frame(frame), "");
    }
    EXPECT_TRUE(quiet(c));
    EXPECT_EQ(cs.srv.err(), "");
}

TEST(Camera, SendsMappedLengthNotBytesUsed) {
    // 320x240 YUYV is 153600 bytes; the driver's buffers are longer, and not a multiple of 1024.
    CameraServer cs;
    ASSERT_TRUE(cs.start("fmt=YUYV:d320x240;length=155001")) << cs.srv.err();
    bh::Client c = cs.connect();
    std::string frame = take_frame(c, 155001);
    ASSERT_EQ(frame.size(), 155001u) << frame;
    EXPECT_EQ(fakecam::check_frame(frame), "");
}

TEST(Camera, SizeIsTheLastEnumeratedNotTheSettledOne) {
    CameraServer cs;
    ASSERT_TRUE(cs.start("fmt=MJPG:d1920x1080;fmt=YUYV:d320x240,d1280x720,c16x16-4000x4000;"
                         "settle=800x600;length=960000"))
        << cs.srv.err();
    EXPECT_NE(cs.srv.out().find("camera: " + cs.device + ", 1280x720\n"), std::string::npos)
        << cs.srv.out();
    bh::Client c = cs.connect();
    bh::Frame f;
    ASSERT_TRUE(c.command(cmd("CAMINFO"), f));
    EXPECT_EQ(f.payload, "{ \"RESULT\": \"OK\", \"WIDTH\": 1280, \"HEIGHT\": 720 }");
    EXPECT_TRUE(cs.srv.wait_for_output("CAMERA " + cs.device + ", 1280x720"));
    // The frame is what the driver settled on.
    std::string frame = take_frame(c, 800 * 600 * 2);
    EXPECT_EQ(fakecam::check_frame(frame), "");
}

TEST(Camera, RefusedFrameRateStillStreams) {
    CameraServer cs;
    ASSERT_TRUE(cs.start("sparm=refuse")) << cs.srv.err();
    EXPECT_EQ(cs.srv.err(), "");  // the driver's own rate is kept, as a working camera
    bh::Client c = cs.connect();
    EXPECT_EQ(fakecam::check_frame(take_frame(c, 614400)), "");
}

TEST(Camera, SetUpFailuresLeaveTheCameraOff) {
    struct Case {
        std::string config;
        std::string camera_key;  // empty: the stand-in device
        std::string reason;      // what the line on stderr gives as the cause
    };
    e2e::TempDir tmp;
    std::string regular = tmp.path + "/not-a-device";
    e2e::write_file(regular, "x");
    std::string missing = tmp.path + "/missing";
    std::vector<Case> cases = {
        {"buffers=2", "", "the driver granted 2 buffers, not 4)\n"},
        {"buffers=0", "", "the driver granted 0 buffers, not 4)\n"},
        {"", regular, "not a character device)\n"},
        {"", missing, "No such file or directory)\n"},
        {"querycap=fail", "", "unable to query the device: "},
    };
    for (const Case& k : cases) {
        CameraServer cs;
        ASSERT_TRUE(cs.start(k.config, k.camera_key)) << cs.srv.err();
        bh::Client c = cs.connect();
        bh::Frame f;
        ASSERT_TRUE(c.command(cmd("CAMINFO"), f));
        EXPECT_EQ(f.payload, FAIL) << k.config << k.camera_key;
        ASSERT_TRUE(c.command(cmd("CAMERA"), f));
        EXPECT_EQ(f.payload, FAIL);
        EXPECT_TRUE(quiet(c));
        // Whatever the cause, one line says the server goes on without a camera, and why.
        std::string used = k.camera_key.empty() ? cs.device : k.camera_key;
        std::string err = cs.srv.err();
        EXPECT_EQ(err.rfind("the server runs without a camera: " + used + " could not be used (" +
                                k.reason,
                            0),
                  0u)
            << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(cs.srv.out().find(used), std::string::npos) << cs.srv.out();
    }
}

TEST(Camera, NeverReadyDeviceFailsAfterAboutOneSecondEachTime) {
    CameraServer cs;
    ASSERT_TRUE(cs.start("frames=never")) << cs.srv.err();
    bh::Client c = cs.connect();
    for (int i = 0; i < 2; i++) {
        auto t0 = Clock::now();
        bh::Frame f;
        ASSERT_TRUE(c.command(cmd("CAMERA"), f));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
        EXPECT_EQ(f.payload, FAIL);
        EXPECT_GE(ms, 1000);
        EXPECT_LT(ms, 5000);
        EXPECT_TRUE(quiet(c, 100));
    }
    EXPECT_EQ(cs.srv.err(), "timeout waiting for frame\ntimeout waiting for frame\n");
}

TEST(Camera, FrameIsCapturedAfterTheRequest) {
    CameraServer cs;
    ASSERT_TRUE(cs.start("")) << cs.srv.err();
    bh::Client c = cs.connect();
    for (int i = 0; i < 3; i++) {
        // Meanwhile every queued buffer fills with a scene that is getting old.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        uint64_t asked = fakecam::monotonic_ns();
        std::string frame = take_frame(c, 614400);
        fakecam::FrameInfo info;
        ASSERT_EQ(fakecam::check_frame(frame, &info), "") << frame.substr(0, 64);
        EXPECT_GT(info.capture_ns, asked) << "a frame " << (asked - info.capture_ns) / 1000000
                                          << " ms old";
    }
}

TEST(Camera, ConcurrentClientsEachGetWholeFrames) {
    CameraServer cs;
    ASSERT_TRUE(cs.start("")) << cs.srv.err();
    constexpr int kClients = 8, kFrames = 5;
    std::vector<bh::Client> clients;
    for (int i = 0; i < kClients; i++) clients.push_back(cs.connect());
    std::atomic<int> whole{0};
    std::vector<std::string> errors(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; i++) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < kFrames; n++) {
                // Readers keep their buffers out of the stream while others take frames; a
                // frame shared between commands is still newer than each of them.
                uint64_t asked = fakecam::monotonic_ns();
                std::string frame = take_frame(clients[i], 614400);
                fakecam::FrameInfo info;
                std::string e = frame.size() == 614400 ? fakecam::check_frame(frame, &info) : frame;
                if (e.empty() && info.capture_ns <= asked) e = "a frame older than the request";
                if (!e.empty()) {
                    errors[i] = e;
                    return;
                }
                whole++;
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kClients; i++) EXPECT_EQ(errors[i], "") << "client " << i;
    EXPECT_EQ(whole.load(), kClients * kFrames);
    EXPECT_EQ(cs.srv.err(), "");
}

// Frames of 16 MB to a reader that takes them slowly: the driver must not refill a buffer
// whose bytes are still being sent.
TEST(Camera, SlowReaderGetsAnUncorruptedFrame) {
    CameraServer cs;
    ASSERT_TRUE(cs.start("fmt=YUYV:d3840x2160;length=16588800")) << cs.srv.err();
    constexpr size_t kLength = 3840 * 2160 * 2;
    bh::Client c = cs.connect();
    int small = 65536;  // most of the frame stays in the server until it is read
    setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    for (int n = 0; n < 2; n++) {
        bh::Frame f;
        ASSERT_TRUE(c.command(cmd("CAMERA"), f));
        ASSERT_EQ(f.payload, OK);
        std::string header, frame, piece;
        ASSERT_TRUE(read_raw(c, header, 12));
        while (frame.size() < kLength) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_TRUE(read_raw(c, piece, std::min<size_t>(262144, kLength - frame.size())));
            frame += piece;
        }
        EXPECT_EQ(fakecam::check_frame(frame), "");
    }
}

TEST(Camera, ClientLeavingMidFrameLeavesTheCameraWorking) {
    CameraServer cs;
    std::string status = cs.srv.dir.path + "/status";
    ASSERT_TRUE(cs.start("fmt=YUYV:d1920x1080;length=4147200;status=" + status)) << cs.srv.err();
    constexpr size_t kLength = 1920 * 1080 * 2;
    for (int i = 0; i < 6; i++) {
        bh::Client gone = cs.connect();
        int small = 4096;
        setsockopt(gone.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
        ASSERT_TRUE(gone.send_frame("11", cmd("CAMERA")));
        std::string some;
        read_raw(gone, some, 1000);
        gone.close();  // with most of the frame unsent
    }
    // Every buffer went back to the driver.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (e2e::read_file(status) != "out=0\n" && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(e2e::read_file(status), "out=0\n");
    bh::Client c = cs.connect();
    for (int i = 0; i < 5; i++) {
        std::string frame = take_frame(c, kLength);
        ASSERT_EQ(frame.size(), kLength) << frame;
        EXPECT_EQ(fakecam::check_frame(frame), "");
    }
    EXPECT_EQ(count(cs.srv.err(), "VIDIOC"), 0u) << cs.srv.err();
}

TEST(Camera, FramesTheDriverFlagsAsBrokenAreSkipped) {
    CameraServer cs;
    // Every second frame is flagged V4L2_BUF_FLAG_ERROR and is broken.
    ASSERT_TRUE(cs.start("fmt=YUYV:d320x240;length=153600;interval=10;damaged=2")) << cs.srv.err();
    bh::Client c = cs.connect();
    for (int i = 0; i < 12; i++) {
        std::string frame = take_frame(c, 153600);
        ASSERT_EQ(frame.size(), 153600u) << frame;
        fakecam::FrameInfo info;
        EXPECT_EQ(fakecam::check_frame(frame, &info), "") << "frame " << i;
        EXPECT_EQ(info.sequence % 2, 1u) << "a flagged frame was sent";
    }
}
