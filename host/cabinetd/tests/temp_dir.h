// What the tests of files read from outside share: a private directory of
// a test's own, and what a setting the service refuses says.
#pragma once

#include "config_error.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include <unistd.h>

namespace cabinetd::test_support {

// A private directory of this test's own, removed with what it holds.
struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
        ("cabinetd-" + std::to_string(::getpid()) + "-guarded");
    TempDir() {
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
