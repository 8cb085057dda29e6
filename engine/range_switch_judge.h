// The range of each frame a back-end gathers, decided by what the frame is
// (when it was exposed) rather than by when the capture thread reached it.
//
// The caller's thread announces a range switch before it reaches the sensor
// and records, once the sensor has it, the time from which new frames take
// it, on the frames' own clock. The capture thread (getFrame) asks for every
// frame it has gathered whether it may be handed out and at which range.
// While a switch is under way or pending, only a frame exposed wholly after
// it is accepted, and that settles the switch; everything before (finished
// and waiting, queued in the driver, in flight on the bus) is dropped. A
// back-end whose frames carry no usable time stamp settles a switch by its
// own structural rule instead (settle()).
//
// Threads: announce() and record() on the caller's thread; begin() before a
// capture thread runs; everything else on the capture thread. The mutex
// guards only the latest switch as the caller's thread leaves it.
#pragma once

#include <cstdint>
#include <mutex>

namespace Lumivex {

class RangeSwitchJudge {
public:
    // A capture begins: its frames are of `range` (0: the set-up never
    // said), and no switch is pending.
    void begin(int32_t range);
    // Caller's thread, before the sensor is told: a switch to `range` is
    // under way, and no frame is accepted until it is recorded.
    void announce(int32_t range);
    // Caller's thread, after: the sensor takes the announced range for
    // every frame begun after `inForceAt` (the frames' clock). A refused
    // switch records the range that stays, so that nothing waits for it.
    // `stamped` false: the time on the frames' clock is not known, and only
    // the back-end's structural rule can settle the switch.
    void record(int32_t range, uint64_t inForceAt, bool stamped = true);

    // Capture thread: true once for every switch announced since the last
    // call (several quick ones count as one: the latest is the one judged).
    bool takeNewSwitch();
    // A switch not yet settled (announced, perhaps not yet in force).
    bool pending();
    // The time from which the pending switch is in force (the largest value
    // while it is still under way).
    uint64_t pendingSince();
    // Whether that time is on the frames' clock.
    bool pendingStamped();
    // A frame whose first sub-frame was exposed no earlier than
    // `exposedFrom`: true when no switch is pending, or the frame is wholly
    // after the pending one (which it settles); false while it may be older
    // (it is dropped).
    bool accept(uint64_t exposedFrom);
    // The back-end's structural rule has dropped all it must: the pending
    // switch is settled without a time stamp. False while it is still under
    // way (nothing is settled then).
    bool settle();
    // The range of the frames accepted now.
    int32_t range() const { return acceptedRange; }

    // pendingSince() while the switch is still under way.
    static constexpr uint64_t kUnderWay = ~uint64_t(0);

private:
    struct Switch {
        uint32_t id = 0;
        int32_t range = 0;
        uint64_t inForceAt = 0;
        bool stamped = true;
    };
    Switch current();

    std::mutex mutex;
    Switch latest;  // guarded by mutex

    // The capture thread's own.
    uint32_t seenId = 0;
    uint32_t settledId = 0;
    int32_t acceptedRange = 0;
};

}  // namespace Lumivex
