// A journal of its own in a fresh folder, for a test of a cabinet's part.
#pragma once

#include "journal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace cabinetd::test_support {

class JournalDir {
public:
    JournalDir() {
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
            ("cabinetd-" + std::to_string(::getpid()) + "-" + test->test_suite_name() + "-" +
             test->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        journal = std::make_unique<Journal>((dir_ / "j.db").string());
    }
    ~JournalDir() {
        journal.reset();
        std::filesystem::remove_all(dir_);
    }
    std::vector<Record> records(RecordKind kind) {
        journal->flush();
        Query q;
        q.limit = 1000;
        q.kinds = {kind};
        return journal->read(q);
    }
    std::unique_ptr<Journal> journal;

private:
    std::filesystem::path dir_;
};

} // namespace cabinetd::test_support
