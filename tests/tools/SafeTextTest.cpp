#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "Input.h"
#include "SafeText.h"
#include "Terminal.h"

using namespace velqorin::cli;

namespace {

TEST(SafeText, WhatATerminalIsShown) {
    const struct {
        std::string box;
        std::string shown;
    } cases[] = {
        {"2555", "2555"},
        {"Zürich 東京", "Zürich 東京"},                         // other letters pass
        {"\x1b]0;x\x07\x1b[2J", "\\x1b]0;x\\x07\\x1b[2J"},    // retitle and clear the screen
        {"a\tb\rc\nd\x7f", "a\\x09b\\x0dc\\x0ad\\x7f"},
        {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},                  // C1: a one-byte CSI
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},                    // first character after C1
        {"bad \xff\xfe", "bad \\xff\\xfe"},
        {"cut \xe6\x9d", "cut \\xe6\\x9d"},                  // a sequence cut short
        {"over \xc0\xaf", "over \\xc0\\xaf"},                // overlong '/'
        {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
        {"<img src=/dev/zero>", "<img src=/dev/zero>"},      // harmless on a terminal
        {std::string("nul\0inside", 10), "nul\\x00inside"},
        {std::string(20, 'A'), std::string(20, 'A')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(terminalText(c.box), c.shown) << c.shown;
        EXPECT_EQ(terminalText(terminalText(c.box)), terminalText(c.box)) << "shown twice";
    }
}

TEST(SafeText, CsvCellsThatASpreadsheetWouldRun) {
    const struct {
        std::string text;
        std::string field;
    } cases[] = {
        {"2555", "2555"},
        {"-2", "-2"},            // a floor is a number, not a formula
        {"+7", "+7"},
        {"=1+1", "'=1+1"},
        {"+cmd|' /C calc'!A0", "'+cmd|' /C calc'!A0"},
        {"-2+3", "'-2+3"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tx", "'\\x09x"},
        {"=HYPERLINK(\"x\",\"y\")", "\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\""},
        {"a,b", "\"a,b\""},
        {"line\nbreak", "line\\x0abreak"},
        {"\x1b[2J", "\\x1b[2J"},
        {"-", "'-"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(csvField(c.text), c.field) << c.text;
}

TEST(Stations, AMacNamesOneOfTheStationsThatAnsweredWithASerial) {
    auto station = [](std::uint8_t last) {
        // Not `TAnalyseBuffer r{}`: g++ 12 at -O2 (its scalar replacement of aggregates)
        // loses the writes below to a value-initialised packed record returned here.
        TAnalyseBuffer r;
        std::memset(&r, 0, sizeof r);
        r.sourceMac[0] = 0x02;
        r.sourceMac[5] = last;
        return r;
    };
    const std::vector<TAnalyseBuffer> one{station(1)}, two{station(1), station(2)};
    using O = StationChoice::Outcome;
    const struct {
        const std::vector<TAnalyseBuffer>* stations;
        const char* mac;
        O outcome;
        std::size_t index;
    } cases[] = {
        {&one, nullptr, O::Chosen, 0},
        {&two, nullptr, O::Several, 0},
        {&two, "02:00:00:00:00:02", O::Chosen, 1},
        {&two, "02-00-00-00-00-01", O::Chosen, 0},
        {&one, "02:00:00:00:00:02", O::NoSuchMac, 0},
    };
    for (const auto& c : cases) {
        const auto mac = c.mac ? parseMac(c.mac) : std::nullopt;
        const StationChoice choice = chooseStation(*c.stations, mac);
        EXPECT_EQ(choice.outcome, c.outcome) << (c.mac ? c.mac : "no mac");
        EXPECT_EQ(choice.index, c.index) << (c.mac ? c.mac : "no mac");
    }
    for (const char* bad : {"02:00:00:00:00", "02:00:00:00:00:0g", "02:00-00:00:00:01", "0200.0000.0001", ""})
        EXPECT_FALSE(parseMac(bad)) << bad;
}

// velqorin asking a secret on a terminal of its own, in a child process.
struct Prompted {
    pid_t child = -1;
    int terminal = -1;

    Prompted() {
        child = forkpty(&terminal, nullptr, nullptr, nullptr);
        if (child == 0) {
            const auto secret = readSecret("secret: ", false);
            _exit(secret ? static_cast<int>(secret->size()) : 100);
        }
    }
    ~Prompted() {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (terminal >= 0) close(terminal);
    }
    bool promptShown() const {
        std::string seen;
        char buffer[64];
        for (int i = 0; i < 200 && seen.find("secret: ") == std::string::npos; ++i) {
            const ssize_t n = read(terminal, buffer, sizeof buffer);
            if (n > 0) seen.append(buffer, static_cast<std::size_t>(n));
        }
        return seen.find("secret: ") != std::string::npos;
    }
    bool echoes() const {
        termios t{};
        return tcgetattr(terminal, &t) == 0 && (t.c_lflag & ECHO) != 0;
    }
    int wait() {
        int status = 0;
        waitpid(child, &status, 0);
        child = -1;
        return status;
    }
};

TEST(Prompt, EchoComesBackHoweverTheReadEnds) {
    {
        Prompted p;
        ASSERT_TRUE(p.promptShown());
        // Echo goes off only once the prompt is out; give the child that moment.
        for (int i = 0; i < 100 && p.echoes(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(p.echoes());
        ASSERT_EQ(write(p.terminal, "pw\n", 3), 3);
        const int status = p.wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2);
        EXPECT_TRUE(p.echoes());
    }
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        Prompted p;
        ASSERT_TRUE(p.promptShown());
        for (int i = 0; i < 100 && p.echoes(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_FALSE(p.echoes());
        kill(p.child, signal);
        const int status = p.wait();
        ASSERT_TRUE(WIFSIGNALED(status)) << signal;
        EXPECT_EQ(WTERMSIG(status), signal);
        EXPECT_TRUE(p.echoes()) << "signal " << signal;
    }
}

}  // namespace
