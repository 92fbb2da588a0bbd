// What tests share: a private directory of a test's own, what a setting the
// service refuses says, and a wait for what another thread brings about.
#pragma once

#include "config_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <unistd.h>

namespace cabinetd::test_support {

// A private directory of this process's own, removed with what it holds.
struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string &what = "guarded")
            : path(std::filesystem::temp_directory_path() /
                   ("cabinetd-" + std::to_string(::getpid()) + "-" + what)) {
        std::filesystem::create_directory(path);
        std::filesystem::permissions(path, std::filesystem::perms(0700));
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const char *name, const std::string &text, unsigned mode) const {
        const auto p = path / name;
        std::ofstream(p) << text;
        std::filesystem::permissions(p, std::filesystem::perms(mode));
        return p.string();
    }
};

// A fixture whose every test has an empty directory named after it (so a
// failed test's files do not meet the next one's), removed afterwards.
class TestDir : public ::testing::Test {
protected:
    void SetUp() override {
        // One level, whatever the name: a parameterised test's has a '/'.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        dir_ = std::filesystem::temp_directory_path() /
            ("cabinetd-" + std::to_string(::getpid()) + "-" + name);
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const char *name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

// Waits (up to 5 s) for a condition another thread brings about.
template <class F> bool eventually(F pred) {
    for (int i = 0; i < 500; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// The message of the ConfigError f throws, or "accepted".
inline std::string config_error_of(const std::function<void()> &f) {
    try {
        f();
    } catch (const ConfigError &e) {
        return e.what();
    }
    return "accepted";
}

} // namespace cabinetd::test_support
