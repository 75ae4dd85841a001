#include "log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"

namespace {

// Sends fd 2 into a temporary file for the lifetime of the object.
class StderrToFile {
public:
    StderrToFile() {
        char name[] = "/tmp/gimbal-log-XXXXXX";
        int fd = mkstemp(name);
        path_ = name;
        saved_ = dup(STDERR_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrToFile() {
        restore();
        unlink(path_.c_str());
    }
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    std::string contents() const {
        std::ifstream in(path_);
        std::stringstream out;
        out << in.rdbuf();
        return out.str();
    }

private:
    std::string path_;
    int saved_ = -1;
};

void logFromHere() { LOG_INFO("hello"); }

}  // namespace

TEST(Log, FormatsLevelsAndClosingLineExactly) {
    StderrToFile capture;
    LOG_INFO("plain information");
    LOG_ERROR(std::string("an error"));
    LOG_FINISHED();
    capture.restore();
    const std::string func = __func__;
    std::string expected = "\033[1;32m<" + func + ":";
    std::string text = capture.contents();
    std::istringstream lines(text);
    std::string info, error, closing, extra;
    ASSERT_TRUE(std::getline(lines, info));
    ASSERT_TRUE(std::getline(lines, error));
    ASSERT_TRUE(std::getline(lines, closing));
    EXPECT_FALSE(std::getline(lines, extra));
    EXPECT_EQ(0u, info.find("\033[1;32m<" + func + ":"));
    EXPECT_NE(std::string::npos,
              info.find("> \033[90D\033[90C\033[0m[Information] plain information"));
    EXPECT_EQ(0u, error.find("\033[1;31m<" + func + ":"));
    EXPECT_NE(std::string::npos, error.find("> \033[90D\033[90C\033[0m[Error] an error"));
    EXPECT_EQ(0u, closing.find("\033[1;34m<" + func + ":"));
    EXPECT_NE(std::string::npos,
              closing.find("> \033[90D\033[90C\033[0mProgram finished successfully!"));
    EXPECT_EQ('\n', text.back());
}

TEST(Log, PassesSourcePathWithoutExtensionBareFunctionAndLine) {
    LogCapture capture;
    logFromHere();
    auto lines = capture.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("src/main/log_test", lines[0].file);
    EXPECT_EQ("logFromHere", lines[0].function);
    EXPECT_EQ(LOG_LEVEL_INFO, lines[0].level);
    EXPECT_EQ("hello", lines[0].message);
}

TEST(Log, ConcurrentWritersProduceWholeLinesOnly) {
    StderrToFile capture;
    const int perThread = 2000;
    const std::string a(150, 'a'), b(150, 'b');
    std::thread first([&] {
        for (int i = 0; i < perThread; ++i) LOG_INFO(a);
    });
    std::thread second([&] {
        for (int i = 0; i < perThread; ++i) LOG_ERROR(b);
    });
    first.join();
    second.join();
    capture.restore();
    std::istringstream lines(capture.contents());
    std::string line;
    int infos = 0, errors = 0;
    while (std::getline(lines, line)) {
        if (line.find("[Information] " + a) != std::string::npos &&
            line.size() == line.find("[Information] ") + 14 + a.size())
            ++infos;
        else if (line.find("[Error] " + b) != std::string::npos &&
                 line.size() == line.find("[Error] ") + 8 + b.size())
            ++errors;
        else
            ADD_FAILURE() << "torn line: " << line.substr(0, 80);
    }
    EXPECT_EQ(perThread, infos);
    EXPECT_EQ(perThread, errors);
}
