#include "range_switch_judge.h"

namespace Lumivex {

void RangeSwitchJudge::begin(int32_t range) {
    std::lock_guard<std::mutex> lock(mutex);
    seenId = settledId = latest.id;
    latest.range = range;
    latest.inForceAt = 0;
    acceptedRange = range;
}

void RangeSwitchJudge::announce(int32_t range) {
    std::lock_guard<std::mutex> lock(mutex);
    latest.id += 1;
    latest.range = range;
    latest.inForceAt = kUnderWay;
}

void RangeSwitchJudge::record(int32_t range, uint64_t inForceAt, bool stamped) {
    std::lock_guard<std::mutex> lock(mutex);
    latest.range = range;
    latest.inForceAt = inForceAt;
    latest.stamped = stamped;
}

RangeSwitchJudge::Switch RangeSwitchJudge::current() {
    std::lock_guard<std::mutex> lock(mutex);
    return latest;
}

bool RangeSwitchJudge::takeNewSwitch() {
    const Switch now = current();
    if (now.id == seenId) return false;
    seenId = now.id;
    return true;
}

bool RangeSwitchJudge::pending() { return current().id != settledId; }

uint64_t RangeSwitchJudge::pendingSince() { return current().inForceAt; }

bool RangeSwitchJudge::pendingStamped() { return current().stamped; }

bool RangeSwitchJudge::accept(uint64_t exposedFrom) {
    const Switch now = current();
    if (now.id == settledId) return true;
    if (now.inForceAt == kUnderWay || !now.stamped || exposedFrom <= now.inForceAt) return false;
    settledId = now.id;
    acceptedRange = now.range;
    return true;
}

bool RangeSwitchJudge::settle() {
    const Switch now = current();
    if (now.inForceAt == kUnderWay) return false;
    settledId = now.id;
    acceptedRange = now.range;
    return true;
}

}  // namespace Lumivex
