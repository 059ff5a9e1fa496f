// The camera: init_camera at start-up, and CAMERA, CAMINFO and VIEWPORT.
//
// Threads and shared state (shot_lock guards turn_taken, latest and Shot::users)
//   turn_taken   one command at a time drains the stream, waits for and takes a frame: the
//                turn. A command waits for it only until its own deadline.
//   latest       the newest frame taken, while it is being sent. A command that arrived
//                before that frame's wait began shares it instead of waiting for another: the
//                scene is as current for it, and the stream's rate is not divided among the
//                commands that come at once.
//   Shot::users  the commands sending a frame; the last one hands its buffer back.
//   held         buffers out of the driver's queue while their frame is sent (atomic).
// A frame is sent straight from its mapped buffer, which goes back to the driver only once
// the last byte is written. At most MAX_HELD buffers are held so: the driver always keeps
// buffers to fill, and a client that reads slowly cannot starve the others; beyond that a
// command sends a copy and hands the buffer back at once. Nobody holds shot_lock while
// waiting for the device or sending; a hand-back needs no lock (the driver serialises its
// ioctls).
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

// A frame taken from the stream: the buffer it is in and, when it was copied, the copy.
struct Shot {
    unsigned index = 0;
    bool holds_buffer = false;
    std::unique_ptr<char[]> copy;
    const char* bytes = nullptr;
    size_t length = 0;
    Clock::time_point wait_began;  // after the drain: the frame was captured later
    int users = 0;
};

// A flag and a condition variable rather than a timed mutex: the wait keeps to its deadline
// with the calls that the sanitizers understand.
std::mutex shot_lock;
std::condition_variable turn_over;
bool turn_taken = false;
Shot* latest = nullptr;
std::atomic<int> held{0};

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

// In the caller's turn. Hands back every buffer the driver filled before now: with
// memory-mapped streaming the driver fills only queued buffers, so these hold old scenes.
void drain() {
    for (int i = 0; i < MAX_DRAIN; i++) {
        v4l2_buffer b = buffer_record(0);
        if (v4l2_ioctl(video_fildes, VIDIOC_DQBUF, &b) < 0) return;  // none filled (EAGAIN)
        if (b.index >= v4l2_nbuffers) return;
        if (queue_buffer(b.index) < 0) return;
    }
}

// In the caller's turn: hands back old frames, then takes one captured after that, waiting
// until deadline. nullptr (with the message printed) when there is none.
Shot* grab(Clock::time_point deadline) {
    drain();
    std::unique_ptr<Shot> shot(new (std::nothrow) Shot);
    if (!shot) return nullptr;
    shot->wait_began = Clock::now();
    for (;;) {
        int ready = v4l2_wait(video_fildes, deadline);
        if (ready < 0) {
            fprintf(stderr, "select error\n");
            return nullptr;
        }
        if (ready == 0) {
            fprintf(stderr, "timeout waiting for frame\n");
            return nullptr;
        }
        v4l2_buffer b = buffer_record(0);
        if (v4l2_ioctl(video_fildes, VIDIOC_DQBUF, &b) < 0) {
            if (errno == EAGAIN) continue;  // readable without a filled buffer: wait on
            fprintf(stderr, "VIDIOC_DQBUF failure\n");
            return nullptr;
        }
        if (b.index >= v4l2_nbuffers || !v4l2_ubuffers[b.index].start) {
            // Not a buffer of ours: nothing to send, nothing that could be handed back.
            fprintf(stderr, "VIDIOC_DQBUF failure\n");
            return nullptr;
        }
        if (b.flags & V4L2_BUF_FLAG_ERROR) {
            // The driver marks a frame it knows to be damaged; wait for the next one.
            if (queue_buffer(b.index) < 0) return nullptr;
            continue;
        }
        const MappedBuffer& m = v4l2_ubuffers[b.index];
        shot->index = b.index;
        shot->length = m.length;
        if (held.load() < MAX_HELD) {  // only grab() raises it, in its turn
            held++;
            shot->holds_buffer = true;
            shot->bytes = static_cast<const char*>(m.start);
            return shot.release();
        }
        shot->copy.reset(new (std::nothrow) char[m.length]);
        if (shot->copy) memcpy(shot->copy.get(), m.start, m.length);
        queue_buffer(b.index);
        if (!shot->copy) return nullptr;
        shot->bytes = shot->copy.get();
        return shot.release();
    }
}

// A frame for a command that arrived at arrived: the frame being sent when its wait began
// later, or a new one taken in the command's turn. nullptr (message printed) when none came
// by deadline.
Shot* take(Clock::time_point arrived, Clock::time_point deadline) {
    std::unique_lock<std::mutex> g(shot_lock);
    auto current = [arrived] { return latest && latest->wait_began >= arrived; };
    if (!turn_over.wait_until(g, deadline, [&] { return current() || !turn_taken; })) {
        fprintf(stderr, "timeout waiting for frame\n");
        return nullptr;
    }
    if (current()) {
        latest->users++;
        return latest;
    }
    turn_taken = true;
    g.unlock();
    Shot* shot = grab(deadline);
    g.lock();
    turn_taken = false;
    if (shot) {
        shot->users = 1;
        latest = shot;
    }
    turn_over.notify_all();
    return shot;
}

// The command has sent the frame (or failed to); the last user hands the buffer back.
void release(Shot* shot) {
    {
        std::lock_guard<std::mutex> g(shot_lock);
        if (--shot->users > 0) return;
        if (latest == shot) latest = nullptr;
    }
    if (shot->holds_buffer) {
        queue_buffer(shot->index);
        held--;
    }
    delete shot;
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
    v4l2_error[0] = '\0';
    bool on = false;
    video_fildes = v4l2_open(device_video);
    if (video_fildes >= 0 && v4l2_querycap(video_fildes) == 0 &&
        v4l2_sfmt(video_fildes, V4L2_PIX_FMT_YUYV) == 0 && v4l2_gfmt(video_fildes) == 0) {
        v4l2_sfps(video_fildes, 30);  // a refused rate leaves the driver's own
        on = v4l2_mmap(video_fildes) == 0 && v4l2_streamon(video_fildes) == 0;
    }
    // One line either way, the driver's details left out.
    if (on) {
        printf("camera: %s, %dx%d\n", device_video, VIDEO_WIDTH, VIDEO_HEIGHT);
        fflush(stdout);
    } else {
        fprintf(stderr, "the server runs without a camera: %s could not be used (%s)\n",
                device_video, v4l2_error);
    }
    return on;
}

void cmd_camera(Data* reply, json_object** pair, int slot) {
    Clock::time_point arrived = Clock::now();
    Shot* shot = camera ? take(arrived, arrived + FRAME_WAIT) : nullptr;
    if (!shot) {
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
    form_header(header, TYPE_CAMERA, shot->length);
    memcpy(head + HEADER_SIZE + text_len, header, HEADER_SIZE);
    {
        FrameLock lock(slot);
        if (lock.ok() && send_pieces(lock.sock(), head, 2 * HEADER_SIZE + text_len, shot->bytes,
                                     shot->length, 0, lock.watch()) < 0)
            lock.fail();
        // The buffer goes back once its last byte is written, and also after a failed send.
        release(shot);
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
