// The metrics as Prometheus scrapes them, and above all the series the
// alerting rules (dist/prometheus/cabinetd-alerts.yml) are written against.
#include "api_rig.h"

#include "board_ids.h"
#include "metrics_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <cctype>
#include <set>
#include <sstream>

namespace cabinetd::test_support {
namespace {

class Metrics : public ApiRig {
protected:
    // The sample lines of the metrics, and whether one is there.
    bool has(const std::string &line) {
        text_ = metrics_text(*ctx_);
        return text_.find("\n" + line + "\n") != std::string::npos;
    }
    std::string text_;
};

// The names of cabinetd's metrics a text mentions.
std::set<std::string> metric_names(const std::string &text) {
    std::set<std::string> out;
    for (auto at = text.find("cabinetd_"); at != std::string::npos;
         at = text.find("cabinetd_", at + 1)) {
        auto end = at;
        while (end < text.size() &&
               (std::islower(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            ++end;
        out.insert(text.substr(at, end - at));
    }
    return out;
}

TEST_F(Metrics, EveryMetricTheAlertsUseIsThere) {
    std::ifstream rules(CABINETD_ALERT_RULES);
    std::stringstream yml;
    yml << rules.rdbuf();
    const auto used = metric_names(yml.str());
    const auto text = metrics_text(*ctx_);
    EXPECT_GE(used.size(), 6u);
    for (auto &m : used) EXPECT_NE(text.find("# TYPE " + m + " "), std::string::npos) << m;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const bool counter = line.starts_with("# TYPE ") && line.ends_with(" counter");
        EXPECT_TRUE(!counter || line.ends_with("_total counter")) << line;
    }

    EXPECT_TRUE(has("cabinetd_cabinet_up{cabinet=\"lab\"} 1"));
    EXPECT_TRUE(has("cabinetd_cabinet_up{cabinet=\"dead\"} 0"));
    EXPECT_NE(text_.find("cabinetd_heartbeat_age_seconds{cabinet=\"lab\"} "), std::string::npos);
    EXPECT_EQ(text_.find("cabinetd_heartbeat_age_seconds{cabinet=\"dead\"}"), std::string::npos);
    EXPECT_TRUE(has("cabinetd_alarms_active{cabinet=\"lab\"} 0"));
    EXPECT_TRUE(has("cabinetd_journal_available 1"));
    // Series that exist only while what they alert on is so.
    EXPECT_EQ(text_.find("cabinetd_controller_fault{"), std::string::npos);
    EXPECT_EQ(text_.find("cabinetd_board_id_shared{"), std::string::npos);
}

TEST_F(Metrics, FollowFaultsAlarmsSharedBoardsAndTheJournal) {
    {
        std::lock_guard lk(script_.mu);
        script_.fault = "power_fault";
    }
    ASSERT_TRUE(eventually(
        [&] { return has("cabinetd_controller_fault{cabinet=\"lab\",code=\"power_fault\"} 1"); }));
    script_.event("door_open", 5);
    ASSERT_TRUE(eventually([&] { return has("cabinetd_alarms_active{cabinet=\"lab\"} 1"); }));
    EXPECT_TRUE(has("cabinetd_alarms_total{cabinet=\"lab\",code=\"forced_open\"} 1"));

    BoardIds boards(*journal_, {"lab", "dead"});
    ctx_->boards = &boards;
    boards.seen("lab", "E6613852832F4A29-0000000000000001");
    boards.seen("dead", "E6613852832F4A29-0000000000000007");
    EXPECT_TRUE(has("cabinetd_board_id_shared{cabinet=\"lab\",with=\"dead\"} 1"));
    EXPECT_TRUE(has("cabinetd_board_id_shared{cabinet=\"dead\",with=\"lab\"} 1"));
    boards.seen("dead", "0123456789ABCDEF-0000000000000001");
    EXPECT_FALSE(has("cabinetd_board_id_shared{cabinet=\"lab\",with=\"dead\"} 1"));
    ctx_->boards = nullptr;

    fill_the_disk();
    EXPECT_TRUE(has("cabinetd_journal_available 0"));
}

} // namespace
} // namespace cabinetd::test_support
