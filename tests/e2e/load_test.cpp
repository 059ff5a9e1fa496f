// Load: up to 200 concurrent clients run a mixed workload for BOARDHUB_LOAD_SECONDS (default
// 15; 60 by hand), in three rounds of a third of that time. Every reply is checked byte for byte, every
// message and notice is accounted for (none lost, none duplicated, each sender's in order).
// After each round every slot is free again (a new connection gets slot 0), the server's
// descriptors are back at their baseline, and its memory levels off between the rounds.
//
// The workload uses what the server offers: HELLO, LOGIN, WHO, ID, MESSAGE and MOD when
// accounts answer, LIST, CHECK, FILE and SEND/NEXT when the share answers, CAMERA when a camera
// is configured, and always the text echo and an unknown command.
#include <json-c/json.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "../fakes/fake_v4l2.h"
#include "stress.h"

using namespace stress;

namespace {

using Clock = std::chrono::steady_clock;

const std::string kOk = R"({ "RESULT": "OK" })";
const std::string kFail = R"({ "RESULT": "FAIL" })";
const std::string kHello = R"({ "RESULT": "OK", "SERVER": "testhub", "VERSION": "3.0.0" })";
const std::string kLogin =
    R"({ "RESULT": "OK", "SERVER": "testhub", "VERSION": "3.0.0", "LEVEL": 5, "MOD": "NONE" })";
const std::string kAdmin = "관리자";
// The stand-in camera: small frames, every byte of which fakecam::check_frame verifies.
const char* const kCameraConfig = "fmt=YUYV:d320x240;length=153600;interval=10";
constexpr size_t kFrameLength = 153600;
const std::string kCamInfo = R"({ "RESULT": "OK", "WIDTH": 320, "HEIGHT": 240 })";

std::string user_name(int i) {
    char b[16];
    snprintf(b, sizeof(b), "u%03d", i);
    return b;
}

std::string serialise(json_object* obj) {
    std::string s = json_object_to_json_string(obj);
    json_object_put(obj);
    return s;
}

std::string message_frame(const std::string& from, long long type, const std::string& text) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "FROM", json_object_new_string(from.c_str()));
    json_object_object_add(o, "TYPE", json_object_new_int(static_cast<int>(type)));
    json_object_object_add(o, "MESSAGE", json_object_new_string(text.c_str()));
    return serialise(o);
}

struct Features {
    bool accounts = false;
    bool folders = false;
    bool camera = false;
};

struct Round {
    int clients = 0;
    int port = 0;
    Features feat;
    const std::string* small = nullptr;
    const std::string* big = nullptr;
    Clock::time_point end;
    time_t started = 0;

    // sent[from * clients + to]: messages that from's MESSAGE got "OK" for.
    std::unique_ptr<std::atomic<long>[]> sent;
    std::atomic<long> mods_sent[4] = {};
    std::atomic<long> ops{0}, messages{0}, notices{0}, bytes{0}, frames{0}, camera_busy{0};

    std::mutex err_lock;
    std::vector<std::string> errors;
    void error(int who, const std::string& what) {
        std::lock_guard<std::mutex> g(err_lock);
        if (errors.size() < 20) errors.push_back(user_name(who) + ": " + what);
    }
};

// One client's whole round. Returns at the end whether or not it failed, having passed every
// barrier, so the others never wait for it.
void run_client(Round& r, int me, std::barrier<>& logged_in, std::barrier<>& done,
                std::barrier<>& synced) {
    bh::Client c;
    bool ok = connect_retry(c, r.port);
    if (!ok) r.error(me, "cannot connect: " + c.error());
    std::mt19937 rng(static_cast<unsigned>(me * 7919 + 1));
    bh::Frame f;
    auto fail = [&](const std::string& what) {
        if (ok) r.error(me, what + " (got type " + f.type + ": " + f.payload.substr(0, 200) + ")");
        ok = false;
    };
    auto expect = [&](const std::string& cmd, const std::string& type, const std::string& want) {
        if (!ok) return;
        if (!c.send_frame("11", cmd) || !next_frame(c, f)) return fail(cmd + ": " + c.error());
        if (f.type != type || f.payload != want) fail(cmd + ": expected " + type + " " + want);
    };
    const std::string me_name = user_name(me);
    auto camera = [&] {
        if (rng() % 4 == 0) return expect(jcmd("CAMINFO"), "11", kCamInfo);
        if (!c.send_frame("11", jcmd("CAMERA")) || !next_frame(c, f))
            return fail("CAMERA: " + c.error());
        // With every buffer busy going out to slow readers no frame may come within the
        // second that CAMERA waits: "FAIL" is then the specified answer, not an error.
        if (f.type == "11" && f.payload == kFail) {
            r.camera_busy++;
            return;
        }
        if (f.type != "11" || f.payload != kOk) return fail("CAMERA reply");
        if (!next_frame(c, f)) return fail("CAMERA data: " + c.error());
        r.frames++;
        std::string broken = fakecam::check_frame(f.payload);
        if (f.type != "85" || f.payload.size() != kFrameLength || !broken.empty())
            return fail("camera frame: " + broken);
        r.bytes += static_cast<long>(f.payload.size());
    };
    if (r.feat.accounts) {
        expect(jcmd("HELLO"), "11", kHello);
        expect(jcmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", me_name}, {"PASSWORD", "pw"}}),
               "11", kLogin);
    }
    logged_in.arrive_and_wait();

    long msg_seq = 0, mod_seq = 0;
    size_t send_off = 0;
    bool send_open = false;
    Clock::time_point last_mod = Clock::now();
    const std::string& big = *r.big;
    while (ok && Clock::now() < r.end) {
        int op = static_cast<int>(rng() % 100);
        r.ops++;
        if (r.feat.camera && (op >= 95 || (!r.feat.accounts && op < 15))) {
            camera();
            continue;
        }
        if (!r.feat.accounts || op < 8) {
            // Text echo of printable bytes, or an unknown command.
            if (rng() % 4 == 0) {
                expect(jcmd("NOPE"), "11", kFail);
                continue;
            }
            std::string payload(rng() % 3000, 'x');
            for (auto& ch : payload) ch = static_cast<char>(' ' + rng() % 95);
            if (!c.send_frame("20", payload) || !next_frame(c, f)) {
                fail("echo: " + c.error());
                break;
            }
            if (f.type != "10" || f.payload != payload) fail("echo differs");
            continue;
        }
        if (op < 16) {
            expect(jcmd("HELLO"), "11", kHello);
        } else if (op < 24) {
            if (!c.send_frame("11", jcmd("WHO")) || !next_frame(c, f)) {
                fail("WHO: " + c.error());
                break;
            }
            json_object* o = json_tokener_parse(f.payload.c_str());
            json_object* users = nullptr;
            std::vector<std::string> names;
            if (o && json_object_object_get_ex(o, "USERS", &users) &&
                json_object_is_type(users, json_type_array)) {
                for (size_t i = 0; i < json_object_array_length(users); i++)
                    names.push_back(json_object_get_string(json_object_array_get_idx(users, i)));
            }
            if (o) json_object_put(o);
            json_object* want = json_object_new_object();
            json_object_object_add(want, "RESULT", json_object_new_string("OK"));
            json_object* arr = json_object_new_array();
            for (const auto& n : names) json_object_array_add(arr, json_object_new_string(n.c_str()));
            json_object_object_add(want, "USERS", arr);
            std::string bytes = serialise(want);
            std::sort(names.begin(), names.end());
            std::vector<std::string> all;
            for (int i = 0; i < r.clients; i++) all.push_back(user_name(i));
            if (f.type != "11" || f.payload != bytes || names != all) fail("WHO differs");
        } else if (op < 28) {
            if (!c.send_frame("11", jcmd("ID")) || !next_frame(c, f)) {
                fail("ID: " + c.error());
                break;
            }
            long long t = atoll(bh::json_member(f.payload, "LOGIN").c_str());
            json_object* want = json_object_new_object();
            json_object_object_add(want, "RESULT", json_object_new_string("OK"));
            json_object_object_add(want, "NAME", json_object_new_string(me_name.c_str()));
            json_object_object_add(want, "LEVEL", json_object_new_int(5));
            json_object_object_add(want, "LOGIN", json_object_new_int(static_cast<int>(t)));
            if (f.type != "11" || f.payload != serialise(want) || t < r.started - 2 ||
                t > time(nullptr) + 2)
                fail("ID differs");
        } else if (op < 50) {
            int to = static_cast<int>(rng() % r.clients);
            long seq = ++msg_seq;
            std::string text = "m " + me_name + " " + std::to_string(seq);
            expect(jcmd("MESSAGE", {{"TO", user_name(to)}, {"TYPE", seq}, {"MESSAGE", text}}),
                   "11", kOk);
            if (ok) r.sent[static_cast<size_t>(me * r.clients + to)]++;
        } else if (op < 52) {
            expect(jcmd("MESSAGE", {{"TO", "nobody"}, {"MESSAGE", "lost"}}), "11", kFail);
        } else if (op < 54 && me < 4 && Clock::now() - last_mod > std::chrono::milliseconds(300)) {
            last_mod = Clock::now();
            std::string text = "notice " + me_name + " " + std::to_string(++mod_seq);
            expect(jcmd("MOD", {{"MOD", text}}), "11", kOk);
            if (ok) r.mods_sent[me]++;
        } else if (!r.feat.folders) {
            expect(jcmd("HELLO"), "11", kHello);
        } else if (op < 66) {
            if (!c.send_frame("11", jcmd("LIST", {{"PATH", "/pub"}})) || !next_frame(c, f)) {
                fail("LIST: " + c.error());
                break;
            }
            std::multiset<std::string> lines;
            size_t pos = 0;
            while (pos < f.payload.size()) {
                size_t nl = f.payload.find('\n', pos);
                if (nl == std::string::npos) nl = f.payload.size();
                lines.insert(f.payload.substr(pos, nl - pos + 1));
                pos = nl + 1;
            }
            std::multiset<std::string> want = {"FN,0,1000,a.txt\n", "FN,0,300000,big.bin\n",
                                               "DN,0,2,sub\n"};
            if (f.type != "10" || lines != want) fail("LIST differs");
        } else if (op < 70) {
            bool exists = rng() % 2;
            expect(jcmd("CHECK", {{"FILE", exists ? "/pub/a.txt" : "/pub/none"}}), "11",
                   exists ? kOk : kFail);
        } else if (op < 80) {
            bool whole_big = rng() % 5 == 0;
            expect(jcmd("FILE", {{"FILE", whole_big ? "/pub/big.bin" : "/pub/a.txt"}}), "11", kOk);
            if (!ok) break;
            if (!next_frame(c, f)) {
                fail("FILE data: " + c.error());
                break;
            }
            if (f.type != "88" || f.payload != (whole_big ? big : *r.small)) fail("FILE bytes differ");
            r.bytes += static_cast<long>(f.payload.size());
        } else {
            size_t left = send_open ? big.size() - send_off : 0;
            bool start = !send_open || left == 0;
            if (start) left = big.size();
            size_t piece = 1 + rng() % 65536;
            if (piece > left) piece = left;
            std::string cmd = start ? jcmd("SEND", {{"FILE", "/pub/big.bin"},
                                                    {"SIZE", static_cast<long long>(piece)}})
                                    : jcmd("NEXT", {{"SIZE", static_cast<long long>(piece)}});
            if (start) send_off = 0;
            expect(cmd, "11", kOk);
            if (!ok) break;
            if (!next_frame(c, f)) {
                fail("SEND/NEXT data: " + c.error());
                break;
            }
            if (f.type != "89" || f.payload != big.substr(send_off, piece)) fail("piece differs");
            send_open = true;
            send_off += piece;
            r.bytes += static_cast<long>(f.payload.size());
        }
    }
    done.arrive_and_wait();
    // Every sender has its last reply; one more round trip each puts every MOD broadcast
    // behind us (a MOD's notices are all queued before its session reads the next command),
    // and the next reply on each connection follows everything queued for it.
    const std::string sync = r.feat.accounts ? jcmd("HELLO") : jcmd("NOPE");
    const std::string& sync_reply = r.feat.accounts ? kHello : kFail;
    expect(sync, "11", sync_reply);
    synced.arrive_and_wait();
    expect(sync, "11", sync_reply);

    if (ok && r.feat.accounts) {
        std::map<std::string, long> last_msg, got_msg, last_mod_seq, got_mod;
        for (const auto& m : c.messages) {
            std::string from = bh::json_member(m.payload, "FROM");
            long type = atol(bh::json_member(m.payload, "TYPE").c_str());
            std::string text = bh::json_member(m.payload, "MESSAGE");
            if (from == kAdmin) {
                std::string sender = text.substr(7, 4);
                long seq = atol(text.c_str() + 12);
                if (m.payload != message_frame(kAdmin, 0, text) || text.rfind("notice ", 0) != 0 ||
                    seq <= last_mod_seq[sender])
                    fail("notice out of order or malformed: " + m.payload);
                last_mod_seq[sender] = seq;
                got_mod[sender]++;
                r.notices++;
            } else {
                if (m.payload != message_frame(from, type, "m " + from + " " + std::to_string(type)) ||
                    type <= last_msg[from])
                    fail("message out of order or malformed: " + m.payload);
                last_msg[from] = type;
                got_msg[from]++;
                r.messages++;
            }
        }
        for (int s = 0; s < r.clients; s++) {
            long want = r.sent[static_cast<size_t>(s * r.clients + me)].load();
            if (got_msg[user_name(s)] != want)
                fail("from " + user_name(s) + ": got " + std::to_string(got_msg[user_name(s)]) +
                     " messages of " + std::to_string(want));
        }
        for (int s = 0; s < 4 && s < r.clients; s++) {
            if (got_mod[user_name(s)] != r.mods_sent[s].load())
                fail("notices of " + user_name(s) + ": got " + std::to_string(got_mod[user_name(s)]) +
                     " of " + std::to_string(r.mods_sent[s].load()));
        }
        if (me == 0) expect(jcmd("MOD", {{"MOD", ""}}), "11", kOk);  // the next round's LOGIN: "NONE"
    }
    if (ok && (!c.send_frame("11", jcmd("LOGOUT")) || !next_frame(c, f) || f.type != "10" ||
               f.payload != "BYE\n"))
        fail("LOGOUT");
}

class Load : public ::testing::Test {
protected:
    void SetUp() override {
        clients_ = static_cast<int>(env_long("BOARDHUB_LOAD_CLIENTS", 200));
        seconds_ = static_cast<int>(env_long("BOARDHUB_LOAD_SECONDS", 15));
        for (int i = 0; i < clients_; i++) e2e::add_user(srv_.data, user_name(i), "pw", 5);
        small_ = pattern(1000, 1);
        big_ = pattern(300000, 2);
        e2e::write_file(srv_.share + "/pub/a.txt", small_);
        e2e::write_file(srv_.share + "/pub/big.bin", big_);
        e2e::write_file(srv_.share + "/pub/sub/x", "x");
        e2e::write_file(srv_.share + "/pub/sub/y", "yy");
        e2e::ServerOptions o;
        camera_options(srv_.dir.path, kCameraConfig, &o);
        ASSERT_TRUE(srv_.start(o)) << srv_.out() << srv_.err();
        // The server listens before it opens the camera: wait for the end of start-up.
        ASSERT_TRUE(srv_.wait_for_output("Server started at", 20000)) << srv_.out();
    }

    // A new connection gets slot 0, and closes again.
    void expect_slot0_free() {
        std::string before = srv_.out();
        size_t seen = count_of(before, "CLIENT 127.0.0.1 (0)");
        size_t closes = count_of(before, "CLIENT CLOSE ");
        {
            bh::Client c;
            ASSERT_TRUE(connect_retry(c, srv_.port));
            EXPECT_TRUE(wait_until(
                [&] { return count_of(srv_.out(), "CLIENT 127.0.0.1 (0)") == seen + 1; }, 5000))
                << "a new connection did not get slot 0";
        }
        EXPECT_TRUE(wait_until([&] { return count_of(srv_.out(), "CLIENT CLOSE ") == closes + 1; },
                               5000));
    }

    // Every session that started has ended (each logs one open and one CLOSE line).
    bool all_closed() {
        return sessions_open(srv_.out()) == 0;
    }

    Features probe() {
        Features feat;
        bh::Client c;
        EXPECT_TRUE(connect_retry(c, srv_.port));
        bh::Frame f;
        feat.accounts = c.command(jcmd("HELLO"), f) && f.payload == kHello;
        if (feat.accounts) {
            c.command(jcmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", "u000"}, {"PASSWORD", "pw"}}), f);
            feat.folders = c.command(jcmd("CHECK", {{"FILE", "/pub/a.txt"}}), f) && f.payload == kOk;
        }
        feat.camera = c.command(jcmd("CAMINFO"), f) && f.payload == kCamInfo;
        c.command(jcmd("LOGOUT"), f);
        return feat;
    }

    e2e::TestServer srv_;
    int clients_ = 0;
    int seconds_ = 0;
    std::string small_, big_;
};

TEST_F(Load, MixedWorkloadLosesNothingAndLeavesNothingBehind) {
    Features feat = probe();
    std::cout << "[ load ] " << clients_ << " clients, " << seconds_ << " s; accounts "
              << feat.accounts << ", folders " << feat.folders << ", camera " << feat.camera
              << std::endl;
    ASSERT_TRUE(wait_until([&] { return all_closed(); }, 5000));
    const int baseline_fds = fd_count(srv_.pid);
    ASSERT_GT(baseline_fds, 0);

    std::vector<long> rss;
    const int rounds = 3;
    for (int round = 0; round < rounds; round++) {
        Round r;
        r.clients = clients_;
        r.port = srv_.port;
        r.feat = feat;
        r.small = &small_;
        r.big = &big_;
        r.started = time(nullptr);
        r.sent.reset(new std::atomic<long>[static_cast<size_t>(clients_ * clients_)]());
        std::barrier<> logged_in(clients_), done(clients_), synced(clients_);
        r.end = Clock::now() + std::chrono::milliseconds(seconds_ * 1000 / rounds);
        auto t0 = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < clients_; i++)
            threads.emplace_back([&, i] { run_client(r, i, logged_in, done, synced); });
        for (auto& t : threads) t.join();
        double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        for (const auto& e : r.errors) ADD_FAILURE() << "round " << round << ": " << e;
        ASSERT_TRUE(r.errors.empty());
        if (feat.camera) {
            EXPECT_GT(r.frames.load(), 0) << "no CAMERA request got a frame";
        }

        ASSERT_TRUE(wait_until([&] { return all_closed(); }, 20000)) << "sessions did not all end";
        EXPECT_EQ(wait_fds(srv_.pid, baseline_fds), baseline_fds) << "descriptors leaked";
        expect_slot0_free();
        rss.push_back(rss_kb(srv_.pid));
        std::cout << "[ load ] round " << round << ": " << r.ops.load() << " requests in " << secs
                  << " s, " << r.messages.load() << " messages and " << r.notices.load()
                  << " notices delivered, " << r.frames.load() << " camera frames ("
                  << r.camera_busy.load() << " CAMERA answered FAIL: no frame within 1 s), "
                  << r.bytes.load() / 1024 << " KiB of file and frame data, fds "
                  << fd_count(srv_.pid) << " (baseline " << baseline_fds << "), VmRSS "
                  << rss.back() << " kB" << std::endl;
    }
    // Memory levels off: the first round brings the allocator's per-thread arenas to their
    // working size; the last needs no more than the one before, give or take allocator slack.
    // Sanitizer runtimes keep freed memory in quarantine, so only the plain build is held to it.
    if (!kSanitized) {
        EXPECT_LE(rss[2], rss[1] + std::max(rss[1] / 10, 8192L)) << "memory grows";
    }
    EXPECT_TRUE(srv_.running());
    EXPECT_EQ(srv_.stop(SIGINT), 0);
}

}  // namespace
