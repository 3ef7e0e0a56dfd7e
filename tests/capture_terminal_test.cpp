// boardcam-capture at a terminal, as a person runs it: the progress bar and
// the summary on the screen, the library's per-frame reports in the log.
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "files.h"
#include "tool_command.h"

namespace {

using testsupport::slurp;

std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

struct Screen {
    int status = -1;
    std::string text;  // everything the terminal received
};

class CaptureAtATerminal : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(scratch_.path().empty());
        out_ = dir_ + "/frames";
        appLog_ = dir_ + "/app.log";
    }

    // Runs the tool with standard output and standard error on a new
    // pseudo-terminal, and the simulator's application log in appLog_.
    Screen run(std::vector<std::string> args, std::vector<std::string> env = {}) {
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            unsetenv("BOARDSIM_FAIL");
            setenv("BOARDSIM_PACING", "0", 1);
            setenv("BOARDSIM_APP_LOG", appLog_.c_str(), 1);
            for (std::string &e : env) putenv(&e[0]);
            testsupport::execProgram(BOARDCAM_TOOL_LAUNCHER, BOARDCAM_CAPTURE_TOOL, args);
        }
        Screen screen;
        char buf[4096];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) screen.text.append(buf, size_t(n));
        close(master);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        screen.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        return screen;
    }

    testsupport::ScratchDir scratch_{"boardcam-terminal"};
    const std::string dir_ = scratch_.path();
    std::string out_, appLog_;
};

TEST_F(CaptureAtATerminal, TheScreenShowsProgressAndTheSummaryAndTheLogEveryReportInOrder) {
    const Screen screen = run({"--camera", "both", "--size", "64x48", "--frames", "5", "--out", out_});
    ASSERT_EQ(screen.status, 0) << screen.text;
    EXPECT_EQ(screen.text.find("cpp image ptr"), std::string::npos) << screen.text;
    EXPECT_EQ(screen.text.find("Open camera"), std::string::npos) << screen.text;
    EXPECT_NE(screen.text.find("[##############################] 10/10 frames"), std::string::npos) << screen.text;
    EXPECT_NE(screen.text.find("captured 5 frames from cam0 and 5 from cam1"), std::string::npos) << screen.text;

    // The log holds the library's standard-output reports: the same texts,
    // in the same order, as the runtime's application log.
    const std::vector<std::string> reports = linesOf(slurp(out_ + "/boardcam.log"));
    EXPECT_EQ(count(slurp(out_ + "/boardcam.log"), "cpp image ptr 0x"), 10u);
    std::vector<std::string> records;
    // Application-log lines read "[LEVEL] file:line function: text".
    for (const std::string &line : linesOf(slurp(appLog_))) records.push_back(line.substr(line.find(": ") + 2));
    ASSERT_FALSE(records.empty()) << "no application log";
    std::vector<std::string> expected;
    for (const std::string &record : records) {
        if (record.find("cpp image ptr") != std::string::npos || record.find("Open camera") != std::string::npos) {
            expected.push_back(record);
        }
    }
    EXPECT_EQ(reports, expected);
}

TEST_F(CaptureAtATerminal, VerboseKeepsTheReportsOnTheTerminal) {
    const Screen screen = run({"--size", "64x48", "--frames", "3", "--out", out_, "--verbose"});
    ASSERT_EQ(screen.status, 0) << screen.text;
    EXPECT_EQ(count(screen.text, "cpp image ptr 0x"), 3u) << screen.text;
    struct stat st;
    EXPECT_NE(stat((out_ + "/boardcam.log").c_str(), &st), 0) << "no log with --verbose";
}

TEST_F(CaptureAtATerminal, ARefusedReadNamesTheLogThatHoldsTheLibrarysReport) {
    const std::string log = dir_ + "/library.log";
    const Screen screen = run({"--size", "64x48", "--frames", "3", "--out", out_, "--library-log", log},
                              {"BOARDSIM_FAIL=ReadFrameFromCamera:0"});
    EXPECT_EQ(screen.status, 1) << screen.text;
    EXPECT_NE(screen.text.find("camera 0: reading frame 0 failed (the library's report is in " + log + ")"),
              std::string::npos)
        << screen.text;
    EXPECT_EQ(screen.text.find("Get image from camera"), std::string::npos) << screen.text;
    EXPECT_NE(slurp(log).find("Get image from camera 0 failed, size"), std::string::npos) << slurp(log);
}

TEST_F(CaptureAtATerminal, AnUnwritableLogIsAWarningAndTheCaptureGoesOn) {
    const Screen screen = run({"--size", "64x48", "--frames", "2", "--out", out_, "--library-log",
                               dir_ + "/no/such/folder/boardcam.log"});
    EXPECT_EQ(screen.status, 0) << screen.text;
    EXPECT_NE(screen.text.find("cannot write the library's log " + dir_ + "/no/such/folder/boardcam.log: No such "
                               "file or directory; its reports stay on standard output"),
              std::string::npos)
        << screen.text;
    EXPECT_NE(screen.text.find("cpp image ptr"), std::string::npos) << "the reports are on the terminal";
    EXPECT_NE(screen.text.find("captured 2 frames from cam0"), std::string::npos) << screen.text;
}

}  // namespace
