// Accounts and messaging over the wire: HELLO, every outcome of LOGIN, the double login,
// WHO, ID, MESSAGE, MOD and PASSWORD, with the exact reply bytes and log lines.
#include <signal.h>
#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "account_util.h"
#include "harness.h"

using e2e::cmd;
using e2e::login;
using account_test::quiet_stop;
using account_test::start;

namespace {

const std::string OK_ALICE =
    "{ \"RESULT\": \"OK\", \"SERVER\": \"testhub\", \"VERSION\": \"3.0.0\", \"LEVEL\": 1, "
    "\"MOD\": \"NONE\" }";
const std::string FAIL_100 = "{ \"RESULT\": \"FAIL\", \"ERROR\": 100 }";
const std::string FAIL_200 = "{ \"RESULT\": \"FAIL\", \"ERROR\": 200 }";
const std::string FAIL_900 = "{ \"RESULT\": \"FAIL\", \"ERROR\": 900 }";
const std::string RESULT_OK = "{ \"RESULT\": \"OK\" }";
const std::string RESULT_FAIL = "{ \"RESULT\": \"FAIL\" }";
const std::string DOUBLE_LOGIN_NOTICE =
    "{ \"FROM\": \"관리자\", \"TYPE\": 1000, \"MESSAGE\": \"동일 사용자가 로그인 되었습니다.\" }";

void run_sql(const std::string& db_path, const std::string& text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    char* err = nullptr;
    EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err), SQLITE_OK)
        << (err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
}

// The payload of the reply to a command (a "21" arriving first is kept in c.messages).
std::string ask(bh::Client& c, const std::string& json) {
    bh::Frame f;
    if (!c.command(json, f)) return "<" + c.error() + ">";
    EXPECT_EQ(f.type, "11") << f.payload;
    return f.payload;
}

std::string next_frame(bh::Client& c, std::string* type = nullptr) {
    bh::Frame f;
    if (!c.recv_frame(f)) return "<" + c.error() + ">";
    if (type) *type = f.type;
    return f.payload;
}

// The client has nothing pending: the next reply is HELLO's own.
void expect_nothing_pending(bh::Client& c) {
    std::string type;
    ASSERT_TRUE(c.send_frame("11", cmd("HELLO")));
    std::string payload = next_frame(c, &type);
    EXPECT_EQ(type, "11");
    EXPECT_EQ(payload,
              "{ \"RESULT\": \"OK\", \"SERVER\": \"testhub\", \"VERSION\": \"3.0.0\" }");
    EXPECT_TRUE(c.messages.empty());
    c.messages.clear();
}

// Every thread of the server sleeps (state S in /proc/PID/task/*/stat): each session has
// finished its last frame and waits for the next one. A session removed by another login
// while it is still between its reply and that wait ends at once, without a next frame.
bool server_idle(pid_t pid, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    while (std::chrono::steady_clock::now() < deadline) {
        bool asleep = true;
        std::error_code ec;
        for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
            std::string stat = e2e::read_file(t.path().string() + "/stat");
            size_t close = stat.rfind(')');
            // A thread that ended since the listing has no stat: it is not running.
            if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'S') {
                asleep = false;
                break;
            }
        }
        if (asleep && !ec) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string login_json(const std::string& user, const std::string& pass,
                       const std::string& version = "3.0.0") {
    return cmd("LOGIN", {{"VERSION", version}, {"USERNAME", user}, {"PASSWORD", pass}});
}


class Account : public ::testing::Test {
protected:
    void SetUp() override {
        e2e::add_user(srv.data, "alice", "pw", 1);
        e2e::add_user(srv.data, "bob", "bpw", 9);
        ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    }
    void TearDown() override { EXPECT_EQ(quiet_stop(srv), 0) << srv.err(); }
    bool logged(const std::string& text) { return srv.wait_for_output(text); }
    // A client whose session has claimed its slot before the next one connects.
    bh::Client connect() {
        bh::Client c = srv.connect();
        expect_nothing_pending(c);
        return c;
    }

    e2e::TestServer srv;
};

TEST_F(Account, HelloAnswersAnyTime) {
    bh::Client c = connect();
    expect_nothing_pending(c);
    EXPECT_EQ(login(c, "alice", "pw"), OK_ALICE);
    expect_nothing_pending(c);
}

TEST_F(Account, LoginVersionRuleOnFourCharacters) {
    bh::Client c = connect();
    EXPECT_EQ(ask(c, login_json("alice", "pw", "3.0")), FAIL_900);
    EXPECT_TRUE(logged("LOGIN alice(0) FAIL:사용할 수 없는 버젼\n"));
    EXPECT_EQ(ask(c, login_json("alice", "pw", "2.9.9")), FAIL_900);
    EXPECT_EQ(ask(c, login_json("alice", "pw", "3.1.0")), FAIL_900);
    EXPECT_EQ(ask(c, cmd("LOGIN", {{"USERNAME", "alice"}, {"PASSWORD", "pw"}})), FAIL_900);
    EXPECT_EQ(ask(c, "{\"CMD\":\"LOGIN\",\"VERSION\":3,\"USERNAME\":\"alice\",\"PASSWORD\":\"pw\"}"),
              FAIL_900);
    // A refused version leaves the slot untouched.
    EXPECT_EQ(ask(c, cmd("ID")), "{ \"RESULT\": \"OK\", \"NAME\": \"\", \"LEVEL\": 0, \"LOGIN\": 0 }");
    EXPECT_EQ(ask(c, login_json("alice", "pw", "3.0.7")), OK_ALICE);
    EXPECT_EQ(ask(c, login_json("alice", "pw", "3.0.0-beta")), OK_ALICE);
    EXPECT_TRUE(logged("LOGIN alice(0) OK\n"));
}

TEST_F(Account, LoginRefusesWrongNamesAndPasswords) {
    e2e::add_user(srv.data, std::string(63, 'n'), "pw", 1);
    e2e::add_user(srv.data, "long", std::string(32, 'p'), 1);
    bh::Client c = connect();
    EXPECT_EQ(ask(c, login_json("alice", "PW")), FAIL_100);
    EXPECT_TRUE(logged("LOGIN alice(0) FAIL:인증실패\n"));
    EXPECT_EQ(ask(c, login_json("Alice", "pw")), FAIL_100);
    EXPECT_EQ(ask(c, login_json("nobody", "x")), FAIL_100);
    EXPECT_EQ(ask(c, login_json("alice' OR '1'='1", "x")), FAIL_100);
    EXPECT_EQ(ask(c, login_json("alice", "pw' OR '1'='1")), FAIL_100);
    EXPECT_EQ(ask(c, cmd("LOGIN", {{"VERSION", "3.0.0"}, {"USERNAME", "alice"}})), FAIL_100);
    EXPECT_EQ(ask(c, cmd("LOGIN", {{"VERSION", "3.0.0"}, {"PASSWORD", ""}})), FAIL_100);
    EXPECT_TRUE(logged("LOGIN (0) FAIL:인증실패\n"));
    // Neither a name cut to 63 bytes nor one cut at a NUL is another user's name.
    EXPECT_EQ(ask(c, login_json(std::string(64, 'n'), "pw")), FAIL_100);
    EXPECT_EQ(ask(c, "{\"CMD\":\"LOGIN\",\"VERSION\":\"3.0.0\",\"USERNAME\":\"alice\\u0000x\","
                     "\"PASSWORD\":\"pw\"}"),
              FAIL_100);
    EXPECT_EQ(ask(c, "{\"CMD\":\"LOGIN\",\"VERSION\":\"3.0.0\",\"USERNAME\":\"alice\","
                     "\"PASSWORD\":\"pw\\u0000x\"}"),
              FAIL_100);
    // A stored password too long to hold matches nothing, not even its prefix or "".
    EXPECT_EQ(ask(c, login_json("long", std::string(32, 'p'))), FAIL_100);
    EXPECT_EQ(ask(c, login_json("long", std::string(31, 'p'))), FAIL_100);
    EXPECT_EQ(ask(c, login_json("long", "")), FAIL_100);
    EXPECT_EQ(ask(c, cmd("ID")), "{ \"RESULT\": \"OK\", \"NAME\": \"\", \"LEVEL\": 0, \"LOGIN\": 0 }");

    EXPECT_EQ(ask(c, login_json(std::string(63, 'n'), "pw")),
              "{ \"RESULT\": \"OK\", \"SERVER\": \"testhub\", \"VERSION\": \"3.0.0\", \"LEVEL\": 1, "
              "\"MOD\": \"NONE\" }");
    // A failed LOGIN leaves the earlier one in place.
    EXPECT_EQ(ask(c, login_json("alice", "wrong")), FAIL_100);
    EXPECT_EQ(bh::json_member(ask(c, cmd("ID")), "NAME"), std::string(63, 'n'));
}

TEST_F(Account, SuspendedLoginKeepsTheNameInTheSlot) {
    e2e::add_user(srv.data, "zero", "z", 0);
    e2e::add_user(srv.data, "neg", "n", -1);
    bh::Client a = connect();
    bh::Client b = connect();
    bh::Client c = connect();
    time_t before = time(nullptr);
    EXPECT_EQ(ask(a, login_json("zero", "z")), FAIL_200);
    EXPECT_TRUE(logged("LOGIN zero(0) FAIL:사용정지\n"));
    EXPECT_EQ(ask(b, login_json("neg", "n")), FAIL_200);
    // A name without a row is nobody, whatever the password; the server's own sender name
    // is nobody's even with a row. Either leaves the slot as it was.
    EXPECT_EQ(ask(c, login_json("ghost", "")), FAIL_100);
    e2e::add_user(srv.data, "관리자", "x", 9);
    EXPECT_EQ(ask(c, login_json("관리자", "x")), FAIL_100);
    EXPECT_EQ(bh::json_member(ask(c, cmd("ID")), "NAME"), "");
    std::string id = ask(a, cmd("ID"));
    EXPECT_EQ(bh::json_member(id, "NAME"), "zero");
    EXPECT_EQ(bh::json_member(id, "LEVEL"), "0");
    long stamp = atol(bh::json_member(id, "LOGIN").c_str());
    EXPECT_GE(stamp, static_cast<long>(before));
    EXPECT_LE(stamp, static_cast<long>(time(nullptr)));
    EXPECT_EQ(bh::json_member(ask(b, cmd("ID")), "LEVEL"), "-1");
    // A suspended account has not logged in: WHO is refused to it.
    EXPECT_EQ(ask(a, cmd("WHO")), RESULT_FAIL);
    bh::Client d = connect();
    EXPECT_EQ(login(d, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(ask(d, cmd("WHO")),
              "{ \"RESULT\": \"OK\", \"USERS\": [ \"zero\", \"neg\", \"\", \"alice\" ] }");
}

TEST_F(Account, DoubleLoginTellsAndRemovesTheOlderSession) {
    bh::Client a = connect();
    bh::Client other = connect();
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(login(other, "bob", "bpw").substr(0, 16), "{ \"RESULT\": \"OK\"");

    bh::Client b = connect();
    ASSERT_TRUE(server_idle(srv.pid));  // a waits for its next frame
    ASSERT_TRUE(b.send_frame("11", login_json("alice", "pw")));
    std::string type;
    EXPECT_EQ(next_frame(b, &type), OK_ALICE);  // the new session's reply, once
    EXPECT_EQ(type, "11");
    EXPECT_EQ(next_frame(a, &type), DOUBLE_LOGIN_NOTICE);
    EXPECT_EQ(type, "21");
    EXPECT_TRUE(logged("REMOVE alice(0, "));
    expect_nothing_pending(b);
    expect_nothing_pending(other);  // bob is not touched

    // The removed session is closed at once, without waiting for a frame of its own.
    bh::Frame f;
    EXPECT_FALSE(a.recv_frame(f, 5000));
    EXPECT_EQ(a.error(), "connection closed");
    EXPECT_TRUE(logged("CLIENT CLOSE alice(0)\n"));

    // A message for alice reaches the new session, and a third login removes it in turn.
    EXPECT_EQ(ask(other, cmd("MESSAGE", {{"TO", "alice"}, {"MESSAGE", "m"}})), RESULT_OK);
    EXPECT_EQ(next_frame(b), "{ \"FROM\": \"bob\", \"TYPE\": 0, \"MESSAGE\": \"m\" }");
    {
        bh::Client third = connect();
        ASSERT_TRUE(server_idle(srv.pid));  // b waits for its next frame
        EXPECT_EQ(login(third, "alice", "pw"), OK_ALICE);
        EXPECT_EQ(next_frame(b), DOUBLE_LOGIN_NOTICE);
        EXPECT_TRUE(logged("REMOVE alice(2, "));
        EXPECT_FALSE(b.recv_frame(f, 5000));
        ASSERT_TRUE(logged("CLIENT CLOSE alice(2)\n"));
        b = std::move(third);
    }
    expect_nothing_pending(b);
    // The closed connections are seen a moment before their slots are released: ask until they
    // are. The slots reused decide the order of the names.
    auto one_each = [](const std::string& who) {
        auto count = [&](const std::string& name) {
            size_t n = 0;
            for (size_t at = who.find(name); at != std::string::npos; at = who.find(name, at + 1))
                n++;
            return n;
        };
        return count("\"alice\"") == 1 && count("\"bob\"") == 1 && count("\"") == 10;
    };
    std::string who;
    for (int i = 0; i < 200 && !one_each(who = ask(b, cmd("WHO"))); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(one_each(who)) << who;

    // Logging in again under the same name in the same session removes nobody.
    EXPECT_EQ(login(b, "alice", "pw"), OK_ALICE);
    expect_nothing_pending(b);
    EXPECT_EQ(ask(b, cmd("WHO")), who);
}

TEST_F(Account, SuspendedSessionIsDisplacedByALaterLogin) {
    e2e::add_user(srv.data, "sus", "s", 0);
    bh::Client a = connect();
    EXPECT_EQ(ask(a, login_json("sus", "s")), FAIL_200);
    run_sql(srv.data + "/users.db", "UPDATE users SET level = 3 WHERE name = 'sus';");
    bh::Client b = connect();
    EXPECT_EQ(login(b, "sus", "s"),
              "{ \"RESULT\": \"OK\", \"SERVER\": \"testhub\", \"VERSION\": \"3.0.0\", \"LEVEL\": 3, "
              "\"MOD\": \"NONE\" }");
    EXPECT_EQ(next_frame(a), DOUBLE_LOGIN_NOTICE);
    EXPECT_TRUE(logged("REMOVE sus(0, "));
}

TEST_F(Account, SecondLoginUnderAnotherNameRemovesOnlyThatName) {
    bh::Client holder = connect();  // bob elsewhere
    bh::Client a = connect();
    bh::Client keep = connect();  // alice elsewhere, stays
    EXPECT_EQ(ask(holder, login_json("bob", "bpw")).substr(0, 16), "{ \"RESULT\": \"OK\"");
    EXPECT_EQ(login(keep, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(next_frame(keep), DOUBLE_LOGIN_NOTICE);
    EXPECT_EQ(ask(a, login_json("bob", "bpw")).substr(0, 16), "{ \"RESULT\": \"OK\"");
    EXPECT_EQ(next_frame(holder), DOUBLE_LOGIN_NOTICE);
    EXPECT_EQ(bh::json_member(ask(a, cmd("ID")), "NAME"), "bob");
    EXPECT_EQ(bh::json_member(ask(a, cmd("ID")), "LEVEL"), "9");
}

TEST_F(Account, WhoAndIdSeeSessionsThatHaveNotLoggedIn) {
    bh::Client a = connect();
    bh::Client anon = connect();
    bh::Client b = connect();
    EXPECT_EQ(ask(anon, cmd("ID")),
              "{ \"RESULT\": \"OK\", \"NAME\": \"\", \"LEVEL\": 0, \"LOGIN\": 0 }");
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(login(b, "bob", "bpw").substr(0, 16), "{ \"RESULT\": \"OK\"");
    EXPECT_EQ(ask(b, cmd("WHO")),
              "{ \"RESULT\": \"OK\", \"USERS\": [ \"alice\", \"\", \"bob\" ] }");
    std::string id = ask(a, cmd("ID"));
    EXPECT_EQ(id.substr(0, 54), "{ \"RESULT\": \"OK\", \"NAME\": \"alice\", \"LEVEL\": 1, \"LOGIN\"");
    long stamp = atol(bh::json_member(id, "LOGIN").c_str());
    EXPECT_LE(std::labs(stamp - static_cast<long>(static_cast<int32_t>(time(nullptr)))), 5);

    // A new session in a reused slot shows the login time that the slot's last session left.
    a.close();
    ASSERT_TRUE(logged("CLIENT CLOSE alice(0)"));
    bh::Client again = connect();
    EXPECT_EQ(ask(again, cmd("WHO")), RESULT_FAIL);  // only after a login
    EXPECT_EQ(ask(b, cmd("WHO")), "{ \"RESULT\": \"OK\", \"USERS\": [ \"\", \"\", \"bob\" ] }");
    EXPECT_EQ(ask(again, cmd("ID")), "{ \"RESULT\": \"OK\", \"NAME\": \"\", \"LEVEL\": 0, \"LOGIN\": " +
                                         std::to_string(stamp) + " }");
}

TEST_F(Account, MessageToOneselfArrivesBeforeTheReply) {
    bh::Client a = connect();
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    ASSERT_TRUE(a.send_frame(
        "11", "{\"CMD\":\"MESSAGE\",\"TO\":\"alice\",\"TYPE\":7,\"MESSAGE\":\"안녕\"}"));
    std::string type;
    EXPECT_EQ(next_frame(a, &type), "{ \"FROM\": \"alice\", \"TYPE\": 7, \"MESSAGE\": \"안녕\" }");
    EXPECT_EQ(type, "21");
    EXPECT_EQ(next_frame(a, &type), RESULT_OK);
    EXPECT_EQ(type, "11");
    expect_nothing_pending(a);
}

TEST_F(Account, MessageToOthers) {
    bh::Client a = connect();
    bh::Client anon = connect();
    bh::Client b = connect();
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(login(b, "bob", "bpw").substr(0, 16), "{ \"RESULT\": \"OK\"");

    // Without TYPE the frame carries 0; a TYPE given as text is converted.
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", "bob"}, {"MESSAGE", "hi"}})), RESULT_OK);
    EXPECT_EQ(next_frame(b), "{ \"FROM\": \"alice\", \"TYPE\": 0, \"MESSAGE\": \"hi\" }");
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", "bob"}, {"TYPE", "12"}, {"MESSAGE", "x"}})),
              RESULT_OK);
    EXPECT_EQ(next_frame(b), "{ \"FROM\": \"alice\", \"TYPE\": 12, \"MESSAGE\": \"x\" }");

    // A session that has not logged in sends nothing; an empty TO reaches the first session
    // that has not logged in.
    EXPECT_EQ(ask(anon, cmd("MESSAGE", {{"TO", "alice"}, {"MESSAGE", "who?"}})), RESULT_FAIL);
    EXPECT_EQ(ask(b, cmd("MESSAGE", {{"TO", ""}, {"MESSAGE", "you"}})), RESULT_OK);
    EXPECT_EQ(next_frame(anon), "{ \"FROM\": \"bob\", \"TYPE\": 0, \"MESSAGE\": \"you\" }");

    // Refused: absent name, missing TO or MESSAGE, a TO that only a cut would match.
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", "carol"}, {"MESSAGE", "x"}})), RESULT_FAIL);
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", "Bob"}, {"MESSAGE", "x"}})), RESULT_FAIL);
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"MESSAGE", "x"}})), RESULT_FAIL);
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", "bob"}})), RESULT_FAIL);
    EXPECT_EQ(ask(a, "{\"CMD\":\"MESSAGE\",\"TO\":\"bob\\u0000x\",\"MESSAGE\":\"x\"}"), RESULT_FAIL);
    expect_nothing_pending(a);
    expect_nothing_pending(b);
    expect_nothing_pending(anon);

    // A long text is cut within 255 bytes, never inside a character.
    std::string korean;
    for (int i = 0; i < 100; i++) korean += "가";  // 300 bytes
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", "bob"}, {"MESSAGE", korean}})), RESULT_OK);
    EXPECT_EQ(next_frame(b), "{ \"FROM\": \"alice\", \"TYPE\": 0, \"MESSAGE\": \"" +
                                 korean.substr(0, 255) + "\" }");
}

TEST_F(Account, MessageToALongNameIsNeverCut) {
    std::string name63(63, 'n');
    e2e::add_user(srv.data, name63, "pw", 1);
    bh::Client a = connect();
    bh::Client b = connect();
    login(b, name63, "pw");
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", name63 + "x"}, {"MESSAGE", "x"}})), RESULT_FAIL);
    EXPECT_EQ(ask(a, cmd("MESSAGE", {{"TO", name63}, {"MESSAGE", "x"}})), RESULT_OK);
    EXPECT_EQ(next_frame(b), "{ \"FROM\": \"alice\", \"TYPE\": 0, \"MESSAGE\": \"x\" }");
}

TEST_F(Account, ModReachesEverySessionAfterTheCallersReply) {
    bh::Client a = connect();
    bh::Client anon = connect();
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    ASSERT_TRUE(a.send_frame("11", cmd("MOD", {{"MOD", "점검 예정"}})));
    const std::string notice = "{ \"FROM\": \"관리자\", \"TYPE\": 0, \"MESSAGE\": \"점검 예정\" }";
    std::string type;
    EXPECT_EQ(next_frame(a, &type), RESULT_OK);
    EXPECT_EQ(type, "11");
    EXPECT_EQ(next_frame(a, &type), notice);
    EXPECT_EQ(type, "21");
    EXPECT_EQ(next_frame(anon, &type), notice);
    expect_nothing_pending(a);

    bh::Client later = connect();
    EXPECT_EQ(login(later, "bob", "bpw"),
              "{ \"RESULT\": \"OK\", \"SERVER\": \"testhub\", \"VERSION\": \"3.0.0\", \"LEVEL\": 9, "
              "\"MOD\": \"점검 예정\" }");

    EXPECT_TRUE(logged("MOD alice(0) 점검 예정\n"));

    // Without "MOD" nothing changes; before a login nothing does either.
    EXPECT_EQ(ask(later, cmd("MOD")), RESULT_FAIL);
    EXPECT_EQ(ask(anon, cmd("MOD", {{"MOD", "가짜"}})), RESULT_FAIL);
    expect_nothing_pending(a);
    EXPECT_EQ(bh::json_member(login(later, "bob", "bpw"), "MOD"), "점검 예정");

    // A long notice is cut within 255 bytes at a character boundary.
    std::string korean;
    for (int i = 0; i < 100; i++) korean += "나";
    ASSERT_TRUE(later.send_frame("11", cmd("MOD", {{"MOD", korean}})));
    EXPECT_EQ(next_frame(later), RESULT_OK);
    for (bh::Client* c : {&a, &anon, &later})
        EXPECT_EQ(next_frame(*c), "{ \"FROM\": \"관리자\", \"TYPE\": 0, \"MESSAGE\": \"" +
                                      korean.substr(0, 255) + "\" }");
    EXPECT_EQ(bh::json_member(login(later, "bob", "bpw"), "MOD"), korean.substr(0, 255));

    // An empty notice: the reply only, and LOGIN reports "NONE" again.
    EXPECT_EQ(ask(a, cmd("MOD", {{"MOD", ""}})), RESULT_OK);
    expect_nothing_pending(a);
    expect_nothing_pending(anon);
    expect_nothing_pending(later);
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
}

TEST_F(Account, PasswordChange) {
    bh::Client a = connect();
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(ask(a, cmd("PASSWORD", {{"CURRENT", "wrong"}, {"NEW", "x"}})), RESULT_FAIL);
    EXPECT_TRUE(logged("LOGIN alice(0) 암호변경:인증실패\n"));
    EXPECT_EQ(ask(a, cmd("PASSWORD", {{"CURRENT", "pw"}, {"NEW", "n'ew"}})), RESULT_OK);
    EXPECT_TRUE(logged("LOGIN alice(0) 암호변경:OK\n"));

    bh::Client b = connect();
    EXPECT_EQ(login(b, "alice", "pw"), FAIL_100);
    EXPECT_EQ(login(b, "alice", "n'ew"), OK_ALICE);
    EXPECT_EQ(next_frame(a), DOUBLE_LOGIN_NOTICE);

    // The check is against the session's own user, whoever logged in elsewhere since.
    bh::Client c = connect();
    EXPECT_EQ(login(c, "bob", "bpw").substr(0, 16), "{ \"RESULT\": \"OK\"");
    EXPECT_EQ(ask(b, cmd("PASSWORD", {{"CURRENT", "bpw"}, {"NEW", "x"}})), RESULT_FAIL);
    EXPECT_EQ(ask(b, cmd("PASSWORD", {{"CURRENT", "n'ew"}, {"NEW", ""}})), RESULT_OK);
    EXPECT_EQ(login(c, "alice", ""), OK_ALICE);  // an empty password from now on

    // Missing members, and a new password too long to ever log in with, are refused.
    EXPECT_EQ(ask(c, cmd("PASSWORD", {{"NEW", "x"}})), RESULT_FAIL);
    EXPECT_EQ(ask(c, cmd("PASSWORD", {{"CURRENT", ""}})), RESULT_FAIL);
    EXPECT_EQ(ask(c, cmd("PASSWORD", {{"CURRENT", ""}, {"NEW", std::string(32, 'l')}})),
              RESULT_FAIL);
    EXPECT_EQ(ask(c, "{\"CMD\":\"PASSWORD\",\"CURRENT\":\"\",\"NEW\":\"ab\\u0000cd\"}"),
              RESULT_FAIL);
    EXPECT_EQ(ask(c, cmd("PASSWORD", {{"CURRENT", ""}, {"NEW", std::string(31, 'l')}})),
              RESULT_OK);
    EXPECT_EQ(login(c, "alice", std::string(31, 'l')), OK_ALICE);
}

TEST_F(Account, PasswordOfNoUserOrSuspendedUser) {
    e2e::add_user(srv.data, "sus", "s", 0);
    bh::Client a = connect();
    // Before LOGIN there is no row to change, even with an empty CURRENT.
    EXPECT_EQ(ask(a, cmd("PASSWORD", {{"CURRENT", ""}, {"NEW", "x"}})), RESULT_FAIL);
    EXPECT_TRUE(logged("LOGIN (0) 암호변경:인증실패\n"));
    // A name without a row is refused and changes nothing either.
    EXPECT_EQ(ask(a, login_json("ghost", "")), FAIL_100);
    EXPECT_EQ(ask(a, cmd("PASSWORD", {{"CURRENT", ""}, {"NEW", "x"}})), RESULT_FAIL);
    EXPECT_EQ(srv.out().find("LOGIN ghost(0) 암호변경"), std::string::npos);
    // A suspended user may change its password.
    EXPECT_EQ(ask(a, login_json("sus", "s")), FAIL_200);
    EXPECT_EQ(ask(a, cmd("PASSWORD", {{"CURRENT", "s"}, {"NEW", "t"}})), RESULT_OK);
    EXPECT_EQ(ask(a, login_json("sus", "t")), FAIL_200);
    EXPECT_EQ(ask(a, login_json("sus", "s")), FAIL_100);
}

TEST_F(Account, PasswordWithAFailingUpdateIsRefused) {
    run_sql(srv.data + "/users.db",
            "CREATE TRIGGER frozen BEFORE UPDATE ON users BEGIN SELECT RAISE(ABORT, 'frozen'); "
            "END;");
    bh::Client a = connect();
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
    EXPECT_EQ(ask(a, cmd("PASSWORD", {{"CURRENT", "pw"}, {"NEW", "new"}})), RESULT_FAIL);
    EXPECT_TRUE(logged("LOGIN alice(0) 암호변경:인증실패\n"));
    EXPECT_EQ(srv.out().find("암호변경:OK"), std::string::npos);
    // An update that a trigger silently skips stores nothing either.
    run_sql(srv.data + "/users.db",
            "DROP TRIGGER frozen; CREATE TRIGGER skip BEFORE UPDATE ON users BEGIN SELECT "
            "RAISE(IGNORE); END;");
    EXPECT_EQ(ask(a, cmd("PASSWORD", {{"CURRENT", "pw"}, {"NEW", "new"}})), RESULT_FAIL);
    EXPECT_EQ(login(a, "alice", "pw"), OK_ALICE);
}

TEST(AccountDatabase, MissingDatabasesAreCreatedAndFindNobody) {
    e2e::TestServer srv;
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    EXPECT_EQ(login(c, "alice", "pw"), FAIL_100);
    EXPECT_EQ(login(c, "alice", ""), FAIL_100);
    EXPECT_EQ(quiet_stop(srv), 0) << srv.err();
    EXPECT_TRUE(std::ifstream(srv.data + "/users.db").good());
    EXPECT_TRUE(std::ifstream(srv.data + "/group.db").good());
}

TEST(AccountDatabase, UnusableDatabasesLeaveTheServerRunning) {
    e2e::TestServer srv;
    // users.db without its table; group.db a folder that no database can be made in.
    run_sql(srv.data + "/users.db", "CREATE TABLE other (x TEXT);");
    e2e::make_dirs(srv.data + "/group.db");
    ASSERT_TRUE(start(srv)) << srv.out() << srv.err();
    bh::Client c = srv.connect();
    EXPECT_EQ(login(c, "alice", "pw"), FAIL_100);
    EXPECT_EQ(login(c, "alice", ""), FAIL_100);
    EXPECT_EQ(ask(c, cmd("PASSWORD", {{"CURRENT", ""}, {"NEW", "x"}})), RESULT_FAIL);
    expect_nothing_pending(c);
    EXPECT_EQ(quiet_stop(srv), 0) << srv.err();
}

}  // namespace
