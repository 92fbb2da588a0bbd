// The policy through its own interface: who (principal, role, scope, hours,
// alarms) may do what (read, open, approve, clear, acknowledge) on which
// door, when; approvals between two principals; and hours on the site's
// wall clock across both daylight-saving changes of a year.
#include "config_error.h"
#include "policy.h"

#include <date/date.h>
#include <gtest/gtest.h>

namespace cabinetd {
namespace {

using namespace std::chrono;

// A moment, as UTC: year, month, day, hour, minute.
WallTime utc(int y, unsigned mo, unsigned d, int h, int mi = 0) {
    return time_point_cast<milliseconds>(date::sys_days{date::year{y} / mo / d} + hours(h) +
                                         minutes(mi));
}

std::vector<TokenLine> lines(const std::string &text) { return *parse_token_file(text); }

const std::string kSite = "anna  operator anna-token-0123456789  ward:1-4+8@Mon-Fri/07:00-19:00\n"
                          "ben   operator ben-token-0123456789   ward:1-4+8\n"
                          "nurse operator nurse-token-0123456789 ward:1-4\n"
                          "boss  viewer   boss-token-0123456789  alarms=*\n"
                          "kiosk viewer   kiosk-token-0123456789 ward:*\n";

class PolicyTest : public ::testing::Test {
protected:
    PolicyTest()
            : policy_(
                  {std::make_shared<const SiteZone>("Europe/Berlin"), [this] { return now_; }}) {
        policy_.set(lines(kSite));
    }
    Principal who(const std::string &name) {
        if (name == "mqtt") return Policy::broker();
        if (name == "gone") return Principal{std::string(64, '0'), "gone", Role::Operator, 99};
        return *policy_.authenticate(name + "-token-0123456789");
    }
    WallTime now_ = utc(2026, 12, 7, 9); // Monday, 10:00 in Berlin
    Policy policy_;
};

TEST_F(PolicyTest, DecidesByPrincipalRoleScopeHoursActionAndDoor) {
    const auto mon_10 = utc(2026, 12, 7, 9), mon_20 = utc(2026, 12, 7, 19),
               sat_10 = utc(2026, 12, 12, 9);
    struct Row {
        const char *who;
        Action action;
        const char *cabinet;
        unsigned door;
        WallTime at;
        const char *code; // "": permitted
    };
    using A = Action;
    for (const auto &r : std::vector<Row>{
             {"anna", A::Open, "ward", 1, mon_10, ""},
             {"anna", A::Open, "ward", 8, mon_20, "outside_hours"},
             {"anna", A::Open, "ward", 1, sat_10, "outside_hours"},
             {"anna", A::Approve, "ward", 8, mon_20, "outside_hours"},
             {"anna", A::Open, "ward", 5, mon_10, "not_permitted"},
             {"anna", A::Open, "store", 1, mon_10, "not_permitted"},
             {"anna", A::Read, "store", 0, mon_10, "not_permitted"},
             {"anna", A::Acknowledge, "ward", 8, sat_10, ""}, // hours limit opens only
             {"anna", A::Acknowledge, "ward", 6, mon_10, "not_permitted"},
             {"anna", A::Clear, "ward", 0, sat_10, ""},
             {"anna", A::Read, "ward", 0, sat_10, ""},
             {"ben", A::Open, "ward", 8, sat_10, ""},
             {"ben", A::Approve, "ward", 8, mon_20, ""},
             {"nurse", A::Open, "ward", 8, mon_10, "not_permitted"},
             {"nurse", A::Acknowledge, "ward", 4, mon_10, ""},
             {"nurse", A::Acknowledge, "ward", 5, mon_10, "not_permitted"},
             {"boss", A::Open, "ward", 1, mon_10, "not_permitted"},
             {"boss", A::Clear, "ward", 0, mon_10, "not_permitted"},
             {"boss", A::Acknowledge, "ward", 6, sat_10, ""},
             {"boss", A::Acknowledge, "store", 3, mon_10, ""},
             {"boss", A::Read, "store", 0, mon_10, ""},
             {"kiosk", A::Read, "ward", 0, mon_10, ""},
             {"kiosk", A::Read, "store", 0, mon_10, "not_permitted"},
             {"kiosk", A::Acknowledge, "ward", 1, mon_10, "not_permitted"},
             {"kiosk", A::Approve, "ward", 1, mon_10, "not_permitted"},
             {"mqtt", A::Open, "ward", 8, sat_10, ""},
             {"mqtt", A::Acknowledge, "store", 5, sat_10, ""},
             {"mqtt", A::Approve, "ward", 8, mon_10, "not_permitted"},
             {"gone", A::Read, "ward", 0, mon_10, "not_permitted"},
         }) {
        const auto d = policy_.decide_at(who(r.who), r.action, r.cabinet, r.door, r.at);
        const auto code = d ? std::string() : d.refusal().code;
        EXPECT_EQ(code, r.code) << r.who << " " << to_string(r.action) << " " << r.cabinet << "/"
                                << r.door << ": " << (d ? "" : d.refusal().text);
        EXPECT_TRUE(d || !d.refusal().text.empty()) << r.who << ": a refusal says why";
    }
    // Hours aside (a reload's revocation, a decline): only who and where.
    EXPECT_TRUE(policy_.decide_at(who("anna"), A::Open, "ward", 1, std::nullopt));
}

// Approvals are between principals: a renamed token is still the same
// person, and each side is decided as it stands now.
TEST_F(PolicyTest, ApprovalsAreBetweenTwoPrincipalsAsTheyStandNow) {
    const auto anna = who("anna"), ben = who("ben");
    const auto code_of = [&](const Principal &req, const Principal &by) {
        auto a = policy_.approve(req, by, "ward", 8, "id");
        return a ? std::string("approved") : a.refusal().code;
    };
    EXPECT_EQ(code_of(anna, anna), "same_person");
    EXPECT_EQ(code_of(anna, Policy::broker()), "not_permitted");
    EXPECT_EQ(code_of(Policy::broker(), ben), "not_permitted");
    auto made = policy_.approve(anna, ben, "ward", 8, "id");
    ASSERT_TRUE(made);
    const auto approval = *made;
    EXPECT_EQ(approval.approver().name, "ben");
    EXPECT_TRUE(policy_.admits(approval, anna, "ward", 8));
    EXPECT_FALSE(policy_.admits(approval, anna, "ward", 4));
    EXPECT_FALSE(policy_.admits(approval, ben, "ward", 8));

    // Saturday: anna's hours are over; the refusal is the requester's side.
    now_ = utc(2026, 12, 12, 9);
    auto late = policy_.approve(anna, ben, "ward", 8, "id");
    ASSERT_FALSE(late);
    EXPECT_EQ(late.refusal().code, "outside_hours");
    EXPECT_EQ(late.refusal(), policy_.may_ask(anna, "ward", 8, now_).refusal());
    EXPECT_FALSE(policy_.approve(ben, anna, "ward", 8, "id"));
    EXPECT_TRUE(policy_.may_ask(ben, "ward", 8, now_));
    now_ = utc(2026, 12, 7, 9);

    // anna's line renamed (same token): still anna, who cannot approve her own.
    auto renamed = kSite;
    renamed.replace(0, 5, "anna.s");
    policy_.set(lines(renamed));
    EXPECT_EQ(who("anna").name, "anna.s");
    EXPECT_EQ(code_of(anna, who("anna")), "same_person");
    EXPECT_FALSE(policy_.holds(anna)); // a changed line is a new grant
    // ben's token gone: the approval he gave no longer holds.
    policy_.set(lines("anna operator anna-token-0123456789 ward:1-4+8\n"));
    EXPECT_EQ(policy_.admits(approval, anna, "ward", 8).refusal().code, "not_permitted");
}

TEST_F(PolicyTest, SaysWhichCabinetsATokenReadsAndWhoseAlarmsNobodyMayAcknowledge) {
    EXPECT_EQ(policy_.readable(who("anna")), std::vector<std::string>{"ward"});
    EXPECT_EQ(policy_.readable(who("boss")), std::nullopt);
    EXPECT_EQ(policy_.readable(who("gone")), std::vector<std::string>{});
    EXPECT_EQ(policy_.unowned_alarms("ward"), 0);
    policy_.set(lines("nurse operator nurse-token-0123456789 ward:1-4\n"
                      "anna operator anna-token-0123456789 ward:8 alarms=ward:7\n"));
    // Doors 5, 6 and 8: alarms= replaces what anna would acknowledge by her scope.
    EXPECT_EQ(policy_.unowned_alarms("ward"), 0xb0);
    EXPECT_EQ(policy_.unowned_alarms("store"), 0xff);
    const auto r = policy_.rights(who("anna"), "ward");
    EXPECT_EQ(r.open, 0x80);
    EXPECT_EQ(r.acknowledge, 0x40);
}

// Berlin's clocks go forward at 02:00 on 29 March 2026 and back at 03:00 on
// 25 October: windows follow the wall clock through both.
TEST(SiteZone, HoursFollowTheWallClockAcrossBothDaylightSavingChanges) {
    const SiteZone berlin("Europe/Berlin");
    const auto weekdays = *parse_hours("Mon-Fri/07:00-19:00");
    // Friday evening to Monday 07:00, before and after each change.
    EXPECT_EQ(berlin.next_open(weekdays, utc(2026, 3, 27, 20)), utc(2026, 3, 30, 5));
    EXPECT_EQ(berlin.next_open(weekdays, utc(2026, 10, 23, 20)), utc(2026, 10, 26, 6));
    EXPECT_EQ(berlin.next_close(weekdays, utc(2026, 3, 30, 5)), utc(2026, 3, 30, 17));
    EXPECT_TRUE(berlin.within(weekdays, utc(2026, 3, 30, 5)));
    EXPECT_FALSE(berlin.within(weekdays, utc(2026, 3, 30, 4, 59)));

    // A start inside the skipped hour starts when the clocks jump.
    const auto skipped = *parse_hours("Sun/02:30-05:00");
    EXPECT_FALSE(berlin.within(skipped, utc(2026, 3, 29, 0, 59)));
    EXPECT_EQ(berlin.next_open(skipped, utc(2026, 3, 28, 12)), utc(2026, 3, 29, 1));
    EXPECT_EQ(berlin.next_close(skipped, utc(2026, 3, 29, 1)), utc(2026, 3, 29, 3));

    // The repeated hour passes twice, and is within both times.
    const auto repeated = *parse_hours("Sun/02:00-03:00");
    EXPECT_TRUE(berlin.within(repeated, utc(2026, 10, 25, 0, 30)));
    EXPECT_TRUE(berlin.within(repeated, utc(2026, 10, 25, 1, 30)));
    EXPECT_FALSE(berlin.within(repeated, utc(2026, 10, 25, 2)));
    EXPECT_EQ(berlin.next_close(repeated, utc(2026, 10, 25, 0, 30)), utc(2026, 10, 25, 2));

    // Overnight windows run into the next day; a window that never ends never shuts.
    const auto nights = *parse_hours("Sat/22:00-06:00");
    EXPECT_TRUE(berlin.within(nights, utc(2026, 12, 13, 4)));  // Sunday 05:00
    EXPECT_FALSE(berlin.within(nights, utc(2026, 12, 14, 4))); // Monday 05:00
    const auto always = *parse_hours("Mon-Sun/00:00-24:00");
    EXPECT_EQ(berlin.next_close(always, utc(2026, 12, 13, 4)), std::nullopt);
    EXPECT_THROW(SiteZone("Mars/Olympus_Mons"), ConfigError);
}

} // namespace
} // namespace cabinetd
