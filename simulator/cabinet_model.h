// The physical cabinet around the board: eight doors, each with a latch that a
// pulse on its driver output releases, a person who opens and closes the door,
// and the two sensors (door closed, latch locked) that the expander reads.
//
// The model knows nothing about the simulated board: it is stepped with the
// absolute time and the latch driver outputs as the board drives them, and it
// reports the sensor levels as the expander sees them (active low). All times
// are nanoseconds on the simulator's clock.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace cabinet_sim {

inline constexpr int door_count = 8;
inline constexpr uint64_t ns_per_ms = 1'000'000;

// What the simulated person does after a door's latch has been released.
enum class person_mode : uint8_t {
    normal,      // opens after open_after_ms, keeps it open for open_for_ms, closes it
    never_open,  // leaves the door shut; the latch stays released until the door is closed by hand
    hold,        // opens it and keeps it open until told to close it
};

struct door_settings {
    person_mode mode = person_mode::normal;
    bool leave_unlocked = false;  // the latch does not lock when the door closes
    uint32_t open_after_ms = 800;
    uint32_t open_for_ms = 2000;
};

struct door_status {
    bool closed = true;
    bool locked = true;
    door_settings settings;
};

class cabinet_model {
public:
    // Advances the model to now_ns. door_pins: bit d-1 set while door d's
    // release output is high; enable: the common latch enable output. Every
    // timer that fell due since the last step fires in time order.
    void step(uint64_t now_ns, uint8_t door_pins, bool enable);

    // Expander input ports as electrical levels: port 0 bit d-1 is low while
    // door d is closed, port 1 bit d-1 low while its latch is locked.
    uint8_t port0() const { return port(0); }
    uint8_t port1() const { return port(door_count); }

    // The settings and immediate actions of the control language. door is 1..8.
    door_settings &settings(int door);
    void set_release_ms(uint32_t ms) { release_ms_ = ms; }
    uint32_t release_ms() const { return release_ms_; }
    void set_bounce(bool on) { bounce_ = on; }
    bool bounce() const { return bounce_; }
    void force_open(int door);  // the door is broken open now, latch and all
    void close(int door);       // the door is pushed shut now and its latch locks
    bool open(int door);        // the person opens the door now; false while it is latched

    // The next time after now at which the model changes by itself (a timer
    // of the person, a latch release under way, a bounce edge), or 0.
    uint64_t next_change_ns() const;

    door_status status(int door) const;
    uint64_t now_ns() const { return now_ns_; }

    // Chatter on a sensor change when bounce is on: the contact toggles at
    // these offsets after the change (new, old, new, ...) and is steady at
    // its new level from the last one on.
    static constexpr std::array<uint32_t, 5> bounce_edges_us{0, 500, 1100, 1800, 2600};

private:
    struct door_state {
        door_settings settings;
        bool closed = true;
        bool locked = true;
        std::optional<uint64_t> pulse_start_ns;  // driver seen energised since
        bool released_this_pulse = false;
        std::optional<uint64_t> open_at_ns;   // person will open the door
        std::optional<uint64_t> close_at_ns;  // person will close the door
    };
    struct sensor {
        bool level = false;  // steady electrical level (low = closed / locked)
        bool previous = false;
        uint64_t changed_ns = 0;
        bool bouncing = false;
    };

    door_state &by_hand(int door);
    void release(int index, uint64_t at_ns);
    void set_door(int index, bool closed, uint64_t at_ns);
    void set_latch(int index, bool locked, uint64_t at_ns);
    void set_sensor(sensor &s, bool level, uint64_t at_ns);
    bool sensor_level(const sensor &s) const;
    uint8_t port(int first_sensor) const;
    void run_timers(uint64_t until_ns);

    std::array<door_state, door_count> doors_{};
    // 0..7 door closed, 8..15 latch locked. At power-on every door is closed
    // and locked: every sensor holds its expander pin low.
    std::array<sensor, 2 * door_count> sensors_{};
    uint64_t now_ns_ = 0;
    uint32_t release_ms_ = 50;
    bool bounce_ = false;
};

const char *mode_name(person_mode m);

}  // namespace cabinet_sim
