// The camera for browsers: one capture loop, started by the first viewer and stopped after the
// last, takes frames with CAMERA through the protocol session of one of its viewers (so the
// server decides, as for any client, who may use the camera), at most camera_fps a second, and
// encodes each frame once; every viewer is sent the same JPEG bytes.
#include <turbojpeg.h>

#include <json-c/json.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "web.h"

namespace web {

bool yuyv_to_jpeg(const unsigned char* yuyv, size_t length, int width, int height, int quality,
                  std::string& out) {
    if (width <= 0 || height <= 0 || width % 2 != 0 || width > 8192 || height > 8192) return false;
    size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    if (length < w * h * 2) return false;
    // YUYV interleaves Y0 U Y1 V; libjpeg-turbo takes 4:2:2 as three planes and skips the
    // colour conversion entirely.
    std::vector<unsigned char> y(w * h), u(w / 2 * h), v(w / 2 * h);
    for (size_t row = 0; row < h; row++) {
        const unsigned char* p = yuyv + row * w * 2;
        unsigned char* py = &y[row * w];
        unsigned char* pu = &u[row * w / 2];
        unsigned char* pv = &v[row * w / 2];
        for (size_t x = 0; x < w / 2; x++) {
            py[2 * x] = p[4 * x];
            pu[x] = p[4 * x + 1];
            py[2 * x + 1] = p[4 * x + 2];
            pv[x] = p[4 * x + 3];
        }
    }
    tjhandle tj = tjInitCompress();
    if (!tj) return false;
    const unsigned char* planes[3] = {y.data(), u.data(), v.data()};
    int strides[3] = {width, width / 2, width / 2};
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    int rc = tjCompressFromYUVPlanes(tj, planes, width, strides, height, TJSAMP_422, &jpeg, &size,
                                     quality, TJFLAG_FASTDCT);
    if (rc == 0) out.assign(reinterpret_cast<char*>(jpeg), size);
    tjFree(jpeg);
    tjDestroy(tj);
    return rc == 0;
}

Camera::Camera(Sessions& sessions) : sessions_(sessions) {}

Camera::~Camera() { stop(); }

void Camera::stop() {
    std::thread t;
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
        cv_.notify_all();
        t.swap(thread_);
    }
    if (t.joinable()) t.join();
}

int Camera::viewers() {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<int>(viewers_.size());
}

int Camera::join(const SessionPtr& s, int max_total, int max_per_session) {
    std::lock_guard<std::mutex> g(lock_);
    if (viewers_.size() >= static_cast<size_t>(max_total)) return 0;
    int mine = 0;
    for (auto& [vid, v] : viewers_) mine += v.lock() == s;
    if (mine >= max_per_session) return -1;
    int id = next_id_++;
    viewers_[id] = s;
    if (!running_ && !stopping_) {
        // A loop that ended on its own has left the lock for good: it only returns.
        if (thread_.joinable()) thread_.join();
        running_ = true;
        failures_ = 0;
        thread_ = std::thread([this] { run(); });
    }
    return id;
}

void Camera::leave(int id) {
    std::lock_guard<std::mutex> g(lock_);
    viewers_.erase(id);
    cv_.notify_all();
}

Camera::JpegPtr Camera::next(uint64_t after, int timeout_ms) {
    std::unique_lock<std::mutex> g(lock_);
    uint64_t failures = failures_;
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] {
        return stopping_ || (latest_ && latest_->seq > after) || failures_ > failures + 2;
    });
    if (latest_ && latest_->seq > after) return latest_;
    return nullptr;
}

bool Camera::grab(const SessionPtr& s, std::string& jpeg, int& w, int& h, bool& busy) {
    std::string frame;
    // Not longer than a frame's time behind another request of the lending browser.
    int wait_ms = std::max(1, 1000 / sessions_.settings().camera_fps);
    auto done = sessions_.exchange(s, [&](bh::Client& c) {
        bh::Frame reply;
        if (w <= 0 || h <= 0) {  // the capture size, once per run of the loop
            if (!c.command("{\"CMD\": \"CAMINFO\"}", reply) || reply.type != "11") return false;
            if (bh::json_member(reply.payload, "RESULT") != "OK") return true;
            w = atoi(bh::json_member(reply.payload, "WIDTH").c_str());
            h = atoi(bh::json_member(reply.payload, "HEIGHT").c_str());
        }
        if (!c.command("{\"CMD\": \"CAMERA\"}", reply) || reply.type != "11") return false;
        if (bh::json_member(reply.payload, "RESULT") != "OK") return true;
        uint64_t length = 0;
        return recv_data(c, "85", length, [&](const char* d, size_t n) {
            if (frame.size() + n > 64u * 1024 * 1024) return false;
            frame.append(d, n);
            return true;
        });
    }, wait_ms);
    busy = done == Sessions::Exchange::busy;
    if (done != Sessions::Exchange::ok || w <= 0 || h <= 0 || frame.empty()) return false;
    return yuyv_to_jpeg(reinterpret_cast<const unsigned char*>(frame.data()), frame.size(), w, h,
                        sessions_.settings().jpeg_quality, jpeg);
}

void Camera::run() {
    using Clock = std::chrono::steady_clock;
    auto period = std::chrono::microseconds(1000000 / sessions_.settings().camera_fps);
    auto next_at = Clock::now();
    uint64_t seq;
    {
        std::lock_guard<std::mutex> g(lock_);
        seq = latest_ ? latest_->seq : 0;
    }
    int w = 0, h = 0;
    for (;;) {
        SessionPtr source;
        {
            std::unique_lock<std::mutex> g(lock_);
            cv_.wait_until(g, next_at, [&] { return stopping_ || viewers_.empty(); });
            if (stopping_ || viewers_.empty()) {
                running_ = false;
                return;
            }
            // The first viewer whose session still lives and is not busy with a request of
            // its own (an upload holds it for long) lends its protocol session.
            SessionPtr busy;
            for (auto it = viewers_.begin(); it != viewers_.end() && !source; ++it) {
                source = it->second.lock();
                if (source && source->ended) source.reset();
                if (source && source->busy) {
                    if (!busy) busy = source;
                    source.reset();
                }
            }
            if (!source) source = busy;
        }
        // A fixed schedule, so that the time a grab takes does not lower the rate; after a
        // stall the schedule starts again from now instead of catching up in a burst.
        next_at += period;
        if (next_at < Clock::now()) next_at = Clock::now() + period;
        std::string jpeg;
        bool busy = false;
        bool ok = source && grab(source, jpeg, w, h, busy);
        // A lender busy with a request of its own is no failure of the camera: no frame this time.
        if (busy) continue;
        std::lock_guard<std::mutex> g(lock_);
        if (ok) {
            auto j = std::make_shared<Jpeg>();
            j->seq = ++seq;
            j->bytes = std::move(jpeg);
            j->width = w;
            j->height = h;
            latest_ = j;
            failures_ = 0;
        } else {
            failures_++;
        }
        cv_.notify_all();
    }
}

}  // namespace web
