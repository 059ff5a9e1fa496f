// The configuration reader on real files in a temporary folder.
#include "config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace {

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/boardhub-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        unlink((dir + "/c.ini").c_str());
        rmdir(dir.c_str());
    }
    // Reads text as a configuration file into a fresh Config.
    Config& load(const std::string& text) {
        std::string path = dir + "/c.ini";
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        cfg.open(path);
        return cfg;
    }
    std::string dir;
    Config cfg;
};

TEST_F(ConfigFile, EmptyAndCommentOnlyFilesHaveNoSections) {
    load("");
    EXPECT_TRUE(cfg.get_sections().empty());
    load("; a comment\n# another\n\n");
    EXPECT_TRUE(cfg.get_sections().empty());
    EXPECT_EQ(cfg.get_value("server", "port"), "");
    EXPECT_EQ(cfg.get_section("server"), nullptr);
}

TEST_F(ConfigFile, KeysValuesAndSeparators) {
    load("[server]\n"
         "port=8000\n"
         "port = 9000\n"
         "name = a = b\n"
         "camera: /dev/video0\n"
         "empty =\n"
         "blanks =    \n"
         "=value\n"
         "note = 8000 ; main port\n"
         "last = no newline");
    EXPECT_EQ(cfg.get_value("server", "port"), "9000");  // the last value wins
    EXPECT_EQ(cfg.get_value("server", "name"), "a = b");
    EXPECT_EQ(cfg.get_value("server", "camera"), "/dev/video0");
    EXPECT_EQ(cfg.get_value("server", "empty"), "");
    EXPECT_EQ(cfg.get_value("server", "blanks"), "    ");  // only trimming chars: left as is
    EXPECT_EQ(cfg.get_value("server", ""), "value");
    EXPECT_EQ(cfg.get_value("server", "note"), "8000 ; main port");  // no inline comments
    EXPECT_EQ(cfg.get_value("server", "last"), "no newline");
    EXPECT_EQ(cfg.get_value("server", "missing"), "");
    EXPECT_EQ(cfg.get_value("other", "port"), "");
}

TEST_F(ConfigFile, CommentsHeadersAndSkippedLines) {
    load("  [indented]\n"      // not a header, no separator: skipped
         "  ;x=1\n"            // an entry with the key ";x"
         "[abc\n"              // no "]": skipped, no section
         "no separator here\n"
         "[server]def\n"       // text after "]" ignored
         "#port=1\n"
         ";port=2\n"
         "port=3\n"
         "[ server ]\n"        // names " server ", not "server"
         "port=4\n");
    ASSERT_EQ(cfg.get_sections().size(), 2u);
    EXPECT_EQ(cfg.get_sections().front().name, "server");
    EXPECT_EQ(cfg.get_sections().back().name, " server ");
    EXPECT_EQ(cfg.get_value("server", "port"), "3");
    EXPECT_EQ(cfg.get_value("server", ";x"), "1");
    EXPECT_EQ(cfg.get_value(" server ", "port"), "4");
    EXPECT_EQ(cfg.get_section("indented"), nullptr);
    EXPECT_EQ(cfg.get_section("abc"), nullptr);
}

TEST_F(ConfigFile, EntriesBeforeTheFirstHeaderJoinIt) {
    load("a=1\nb=outer\n[server]\nb=2\n");
    ASSERT_EQ(cfg.get_sections().size(), 1u);
    EXPECT_EQ(cfg.get_value("server", "a"), "1");
    EXPECT_EQ(cfg.get_value("server", "b"), "2");
}

TEST_F(ConfigFile, EmptyHeaderEntriesGoToTheNextSectionOrAreDropped) {
    load("[first]\nx=1\n[]\ny=2\n[second]\nz=3\n[]\nw=4\n");
    ASSERT_EQ(cfg.get_sections().size(), 2u);
    EXPECT_EQ(cfg.get_value("first", "x"), "1");
    EXPECT_EQ(cfg.get_value("first", "y"), "");
    EXPECT_EQ(cfg.get_value("second", "y"), "2");
    EXPECT_EQ(cfg.get_value("second", "z"), "3");
    EXPECT_EQ(cfg.get_value("", "w"), "");  // no header followed: dropped
    for (const auto& s : cfg.get_sections()) EXPECT_EQ(s.entries.count("w"), 0u);
}

TEST_F(ConfigFile, DuplicateSectionsKeptInOrderFirstOneAnswers) {
    load("[server]\nport=1\n[other]\n[server]\nport=2\nname=x\n");
    ASSERT_EQ(cfg.get_sections().size(), 3u);
    auto it = cfg.get_sections().begin();
    EXPECT_EQ(it->name, "server");
    EXPECT_EQ((++it)->name, "other");
    EXPECT_EQ((++it)->name, "server");
    EXPECT_EQ(it->entries.at("port"), "2");
    EXPECT_EQ(cfg.get_section("server"), &cfg.get_sections().front());
    EXPECT_EQ(cfg.get_value("server", "port"), "1");
    EXPECT_EQ(cfg.get_value("server", "name"), "");  // only in the second one
}

TEST_F(ConfigFile, CarriageReturnLineEnds) {
    load("[server]\r\nname = hub \r\nport=8000\r\n\r\n");
    ASSERT_NE(cfg.get_section("server"), nullptr);
    EXPECT_EQ(cfg.get_value("server", "name"), "hub");
    EXPECT_EQ(cfg.get_value("server", "port"), "8000");
}

TEST_F(ConfigFile, ByteOrderMarkHidesTheFirstHeader) {
    load("\xEF\xBB\xBF[server]\nport=8000\n");
    EXPECT_TRUE(cfg.get_sections().empty());
    EXPECT_EQ(cfg.get_value("server", "port"), "");
}

TEST_F(ConfigFile, Utf8PassesThrough) {
    load("[server]\nname = 보드 허브\n");
    EXPECT_EQ(cfg.get_value("server", "name"), "보드 허브");
}

TEST_F(ConfigFile, OpenAppendsToEarlierSections) {
    load("[a]\nx=1\n");
    load("[b]\ny=2\n");
    EXPECT_EQ(cfg.get_sections().size(), 2u);
    EXPECT_EQ(cfg.get_value("a", "x"), "1");
    EXPECT_EQ(cfg.get_value("b", "y"), "2");
}

TEST(Config, UnopenableFileThrowsThePathAndAddsNothing) {
    Config c;
    const std::string path = "/nonexistent/dir/server.ini";
    try {
        c.open(path);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "/nonexistent/dir/server.ini could not be opened");
    }
    EXPECT_TRUE(c.get_sections().empty());
}

}  // namespace

namespace {

TEST_F(ConfigFile, UnknownSectionsAndKeysNamedOnce) {
    load("[server]\nname = x\nshre = /srv\nport = 1\n[srever]\nshare = /srv\n"
         "[server]\nzeta = 1\nshre = 2\n[srever]\n");
    load("[web]\nanything = 1\n");
    std::vector<Config::Known> known = {{"server", {"name", "port", "share"}}, {"web", {}}};
    EXPECT_EQ(cfg.unknown(known),
              (std::vector<std::string>{"[server] shre", "[srever]", "[server] zeta"}));
    load("");
    Config clean;
    EXPECT_TRUE(clean.unknown(known).empty());
}

TEST_F(ConfigFile, NumbersAndYesNoAreWholeWords) {
    load("[s]\nn = 42\nzero = 007\njunk = 188x1\nsign = +5\nneg = -5\nhigh = 70000\n"
         "dot = 1.5\nempty =\non = On\nyes = YES\ntrue = true\noff = off\nno = No\n"
         "false = FALSE\nmaybe = yes please\none = 1\nblank =   \n");
    EXPECT_EQ(cfg.get_number("s", "n", 9, 1, 65535), 42);
    EXPECT_EQ(cfg.get_number("s", "zero", 9, 1, 65535), 7);
    EXPECT_EQ(cfg.get_number("s", "empty", 9, 1, 65535), 9);
    EXPECT_EQ(cfg.get_number("s", "missing", 9, 1, 65535), 9);
    EXPECT_EQ(cfg.get_number("s", "blank", 9, 1, 65535), 9);
    for (const char* key : {"junk", "sign", "neg", "high", "dot"})
        EXPECT_THROW(cfg.get_number("s", key, 9, 1, 65535), std::invalid_argument) << key;
    for (const char* key : {"on", "yes", "true"}) EXPECT_TRUE(cfg.get_bool("s", key, false)) << key;
    for (const char* key : {"off", "no", "false"}) EXPECT_FALSE(cfg.get_bool("s", key, true)) << key;
    EXPECT_TRUE(cfg.get_bool("s", "empty", true));
    EXPECT_FALSE(cfg.get_bool("s", "missing", false));
    EXPECT_TRUE(cfg.get_bool("s", "blank", true));
    for (const char* key : {"maybe", "one", "n"})
        EXPECT_THROW(cfg.get_bool("s", key, false), std::invalid_argument) << key;
}

}  // namespace
