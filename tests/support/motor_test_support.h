// Test helpers shared by the MotorControl unit tests.
#ifndef GIMBALHUB_MOTOR_TEST_SUPPORT_H
#define GIMBALHUB_MOTOR_TEST_SUPPORT_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "default_configuration.h"

// A fresh directory under the system's temporary directory, removed again.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "gimbal-motor-XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string path(const std::string &name) const { return path_ + "/" + name; }

    std::string write(const std::string &name, const std::string &text) const {
        std::string file = path(name);
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << text;
        return file;
    }

private:
    std::string path_;
};

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif  // GIMBALHUB_MOTOR_TEST_SUPPORT_H
