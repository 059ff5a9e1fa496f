// The camera: init_camera at start-up, and CAMERA, CAMINFO and VIEWPORT.
//
// Threads and shared state
//   camera turn   one command at a time drains, waits for and takes a frame (CameraTurn; a
//                 command waits for its turn only until its own deadline). Never held while
//                 sending. A held buffer goes back without it (the driver serialises its
//                 ioctls), so a hand-back never waits for another command's frame wait.
//   held          buffers out of the driver's queue while their frame is sent (atomic).
// A frame is sent straight from its mapped buffer, which goes back to the driver only once
// the last byte is written. At most MAX_HELD buffers are held so: the driver always keeps
// buffers to fill, and a client that reads slowly cannot starve the others; beyond that a
// command sends a copy and hands the buffer back at once.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include "V4L2.h"
#include "logger.h"
#include "network.h"
#include "server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto FRAME_WAIT = std::chrono::seconds(1);
constexpr int MAX_HELD = 2;
// A driver that keeps answering DQBUF must not keep a command draining for ever.
constexpr int MAX_DRAIN = 64;

// The turn is a flag under a mutex rather than a timed mutex, so that a command waiting for it
// keeps to its deadline with the tools the sanitizers understand.
std::mutex turn_lock;
std::condition_variable turn_free;
bool turn_taken = false;  // turn_lock
std::atomic<int> held{0};

class CameraTurn {
public:
    // Waits for the turn until deadline; taken() tells whether it came.
    explicit CameraTurn(Clock::time_point deadline) {
        std::unique_lock<std::mutex> g(turn_lock);
        taken_ = turn_free.wait_until(g, deadline, [] { return !turn_taken; });
        if (taken_) turn_taken = true;
    }
    ~CameraTurn() {
        if (!taken_) return;
        {
            std::lock_guard<std::mutex> g(turn_lock);
            turn_taken = false;
        }
        turn_free.notify_one();
    }
    CameraTurn(const CameraTurn&) = delete;
    CameraTurn& operator=(const CameraTurn&) = delete;
    bool taken() const { return taken_; }

private:
    bool taken_;
};

// A frame taken from the stream: the buffer it is in and, when it was copied, the copy.
struct Frame {
    unsigned index = 0;
    bool holds_buffer = false;
    std::unique_ptr<char[]> copy;
    const char* bytes = nullptr;
    size_t length = 0;
};

v4l2_buffer buffer_record(unsigned index) {
    v4l2_buffer b;
    memset(&b, 0, sizeof(b));
    b.index = index;
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    return b;
}

// -1 (with the message) when the driver refused the buffer.
int queue_buffer(unsigned index) {
    v4l2_buffer b = buffer_record(index);
    if (v4l2_ioctl(video_fildes, VIDIOC_QBUF, &b) < 0) {
        fprintf(stderr, "VIDIOC_QBUF failure\n");
        return -1;
    }
    return 0;
}

// Caller has the camera turn. Hands back every buffer the driver filled before now: with
// memory-mapped streaming the driver fills only queued buffers, so these hold old scenes.
void drain() {
    for (int i = 0; i < MAX_DRAIN; i++) {
        v4l2_buffer b = buffer_record(0);
        if (v4l2_ioctl(video_fildes, VIDIOC_DQBUF, &b) < 0) return;  // none filled (EAGAIN)
        if (b.index >= v4l2_nbuffers) return;
        if (queue_buffer(b.index) < 0) return;
    }
}

// Takes a frame captured after the call began, waiting until deadline. false: no frame (the
// message printed).
bool grab(Clock::time_point deadline, Frame* frame) {
    CameraTurn turn(deadline);
    if (!turn.taken()) {
        fprintf(stderr, "timeout waiting for frame\n");
        return false;
    }
    drain();
    for (;;) {
        int ready = v4l2_wait(video_fildes, deadline);
        if (ready < 0) {
            fprintf(stderr, "select error\n");
            return false;
        }
        if (ready == 0) {
            fprintf(stderr, "timeout waiting for frame\n");
            return false;
        }
        v4l2_buffer b = buffer_record(0);
        if (v4l2_ioctl(video_fildes, VIDIOC_DQBUF, &b) < 0) {
            if (errno == EAGAIN) continue;  // readable without a filled buffer: wait on
            fprintf(stderr, "VIDIOC_DQBUF failure\n");
            return false;
        }
        if (b.index >= v4l2_nbuffers || !v4l2_ubuffers[b.index].start) {
            // Not a buffer of ours: nothing to send, nothing that could be handed back.
            fprintf(stderr, "VIDIOC_DQBUF failure\n");
            return false;
        }
        if (b.flags & V4L2_BUF_FLAG_ERROR) {
            // The driver marks a frame it knows to be damaged; wait for the next one.
            if (queue_buffer(b.index) < 0) return false;
            continue;
        }
        const MappedBuffer& m = v4l2_ubuffers[b.index];
        frame->index = b.index;
        frame->length = m.length;
        if (held.load() < MAX_HELD) {  // only grab() raises it, in its turn
            held++;
            frame->holds_buffer = true;
            frame->bytes = static_cast<const char*>(m.start);
            return true;
        }
        frame->copy.reset(new (std::nothrow) char[m.length]);
        if (frame->copy) memcpy(frame->copy.get(), m.start, m.length);
        queue_buffer(b.index);
        if (!frame->copy) return false;
        frame->bytes = frame->copy.get();
        return true;
    }
}

int hand_back(const Frame& frame) {
    if (!frame.holds_buffer) return 0;
    int r = queue_buffer(frame.index);
    held--;
    return r;
}

void reply_result(Data* reply, json_object** pair, const char* result) {
    pair[0] = json_object_new_object();
    json_object_object_add(pair[0], "RESULT", json_object_new_string(result));
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
}

}  // namespace

bool init_camera() {
    if (device_video[0] == '\0' || strcmp(device_video, "NONE") == 0) return false;
    video_fildes = v4l2_open(device_video);
    if (video_fildes < 0) {
        fprintf(stderr, "can't open %s\n", device_video);
        return false;
    }
    if (v4l2_querycap(video_fildes, device_video) < 0) return false;
    if (v4l2_sfmt(video_fildes, V4L2_PIX_FMT_YUYV) < 0) return false;
    if (v4l2_gfmt(video_fildes) < 0) return false;
    v4l2_sfps(video_fildes, 30);  // a refused rate leaves the driver's own
    if (v4l2_mmap(video_fildes) < 0) return false;
    return v4l2_streamon(video_fildes) == 0;
}

void cmd_camera(Data* reply, json_object** pair, int slot) {
    auto deadline = Clock::now() + FRAME_WAIT;
    Frame frame;
    if (!camera || !grab(deadline, &frame)) {
        reply_result(reply, pair, "FAIL");
        logger.write("cmd_camera", LOG_DEBUG, reply->text);
        slot_send_text(slot, TYPE_REPLY, reply->text);
        return;
    }
    reply_result(reply, pair, "OK");
    logger.write("cmd_camera", LOG_DEBUG, reply->text);

    // The "11" reply and the "85" header in one piece, the frame in the other: one sendmsg
    // where the socket takes it all. The reply is the short fixed text made just above.
    char head[2 * HEADER_SIZE + 64];
    char header[HEADER_SIZE + 1];
    size_t text_len = strnlen(reply->text, sizeof(head) - 2 * HEADER_SIZE);
    form_header(header, TYPE_REPLY, text_len);
    memcpy(head, header, HEADER_SIZE);
    memcpy(head + HEADER_SIZE, reply->text, text_len);
    form_header(header, TYPE_CAMERA, frame.length);
    memcpy(head + HEADER_SIZE + text_len, header, HEADER_SIZE);
    {
        FrameLock lock(slot);
        if (lock.ok() && send_pieces(lock.sock(), head, 2 * HEADER_SIZE + text_len, frame.bytes,
                                     frame.length) < 0)
            lock.fail();
        // The buffer goes back once its last byte is written, and also after a failed send.
        hand_back(frame);
    }
}

void cmd_caminfo(Data* reply, json_object** pair, int) {
    char text[128];
    pair[0] = json_object_new_object();
    if (camera) {
        json_object_object_add(pair[0], "RESULT", json_object_new_string("OK"));
        json_object_object_add(pair[0], "WIDTH", json_object_new_int(VIDEO_WIDTH));
        json_object_object_add(pair[0], "HEIGHT", json_object_new_int(VIDEO_HEIGHT));
        snprintf(text, sizeof(text), "%s, %dx%d", device_video, VIDEO_WIDTH, VIDEO_HEIGHT);
    } else {
        json_object_object_add(pair[0], "RESULT", json_object_new_string("FAIL"));
        snprintf(text, sizeof(text), "NONE");
    }
    json_reply(reply->text, pair[0]);
    pair[0] = nullptr;
    logger.write("CAMERA", LOG_INFO, text);
    logger.write("cmd_caminfo", LOG_DEBUG, reply->text);
}

void cmd_viewport(Data* reply, json_object** pair, int slot) {
    reply_result(reply, pair, "OK");
    logger.write("cmd_viewport", LOG_DEBUG, reply->text);
    slot_send_text(slot, TYPE_REPLY, reply->text);
}
