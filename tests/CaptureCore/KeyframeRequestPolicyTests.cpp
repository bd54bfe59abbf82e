#include "CaptureCore/KeyframeRequestPolicy.h"
#include <gtest/gtest.h>
#include <cmath>
namespace mivodrell { namespace {
using Policy = KeyframeRequestPolicy;
// One scripted call: an event to record (or, without one, an expiry) at `now`.
struct Call { std::optional<LossEvent> event; double now; bool requests = false; };
Call loss(double now, bool requests = false) { return {LossEvent::frameAbandoned(1, false, 1), now, requests}; }
Call lostKeyframe(double now, bool requests = false) { return {LossEvent::frameAbandoned(1, true, 1), now, requests}; }
Call completed(double now) { return {LossEvent::frameCompleted(1, false), now}; }
Call keyframe(double now) { return {LossEvent::frameCompleted(1, true), now}; }
Call expire(double now) { return {std::nullopt, now}; }
struct Script { std::string name; std::vector<Call> calls; double interval; bool outstanding; std::int64_t losses, requests; Policy::Configuration configuration = {}; };
TEST(KeyframeRequestPolicyTest, Scripts) {
    const Policy::Configuration tolerant{.consecutiveLossThreshold = 6, .staleKeyframeThreshold = 20.0};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Script> scripts = {
        {"second loss in a row asks", {loss(0.0), loss(0.1, true)}, 0.5, true, 2, 1},
        {"a lost keyframe asks at once", {lostKeyframe(3.0, true)}, 0.5, true, 1, 1},
        {"outstanding, then expired and asked again", {loss(9.9), loss(10.0, true), loss(10.3), loss(11.2, true)}, 1.0,
         true, 4, 2},
        {"stale keyframe asks after one loss", {keyframe(0.0), loss(8.0, true)}, 0.5, true, 1, 1},
        {"not yet stale", {keyframe(0.0), loss(7.9)}, 0.5, false, 1, 0},
        {"before the first keyframe only the count counts", {loss(100.0)}, 0.5, false, 1, 0},
        {"a plain completed frame keeps the request and interval",
         {loss(0.0), loss(0.1, true), completed(0.2), loss(0.3)}, 0.5, true, 1, 1},
        {"a keyframe answers the request", {loss(0.0), loss(0.1, true), keyframe(0.2), lostKeyframe(0.4)}, 0.5, false, 1, 1},
        {"a keyframe brings a backed-off interval back", {lostKeyframe(0.0, true), expire(1.0), keyframe(1.2)}, 0.5,
         false, 0, 1},
        {"interval passes after the answer", {loss(0.0), loss(0.1, true), keyframe(0.2), lostKeyframe(0.7, true)},
         0.5, true, 1, 2},
        {"clock going back expires with back-off", {lostKeyframe(10.0, true), expire(9.0)}, 1.0, false, 1, 1},
        {"clock going back, then asked again", {lostKeyframe(10.0, true), lostKeyframe(9.0)}, 1.0, false, 2, 1},
        {"back-off runs 0.5, 1, 2, 4, 4",
         {lostKeyframe(0.0, true), expire(1.0), expire(3.0), lostKeyframe(3.0, true), expire(4.0),
          lostKeyframe(4.9), lostKeyframe(5.0, true), expire(6.0), lostKeyframe(8.9), lostKeyframe(9.0, true),
          expire(10.0), lostKeyframe(12.9), lostKeyframe(13.0, true), expire(14.0)},
         4.0, false, 8, 5},
        {"tolerant: five losses ask nothing, the sixth asks",
         {loss(0), loss(0.1), loss(0.2), loss(0.3), loss(0.4), loss(0.5, true)}, 0.5, true, 6, 1, tolerant},
        {"tolerant stale threshold", {keyframe(0.0), loss(19.9), completed(19.95), loss(20.0, true)}, 0.5, true, 1, 1, tolerant},
        // A time that is not finite is never stored and asks for nothing.
        {"non-finite times ask nothing", {lostKeyframe(nan), loss(inf), loss(-inf)}, 0.5, false, 3, 0},
        {"a non-finite time does not stick a request",
         {lostKeyframe(1.0, true), expire(nan), lostKeyframe(nan), lostKeyframe(2.0, true)}, 1.0, true, 3, 2},
        {"an infinitely late expiry backs off", {lostKeyframe(1.0, true), expire(inf)}, 1.0, false, 1, 1},
        {"an infinitely early expiry is a clock going back", {lostKeyframe(1.0, true), expire(-inf)}, 1.0, false, 1, 1},
        {"a loss at an infinite time expires the request but asks nothing",
         {lostKeyframe(1.0, true), loss(inf), lostKeyframe(1.5)}, 1.0, false, 3, 1},
        {"a keyframe at a non-finite time keeps the stale clock",
         {keyframe(0.0), keyframe(nan), loss(8.0, true)}, 0.5, true, 1, 1},
    };
    for (const Script& script : scripts) {
        Policy policy(script.configuration);
        for (std::size_t i = 0; i < script.calls.size(); ++i) {
            const Call& call = script.calls[i];
            if (!call.event) policy.expireOutstandingRequest(call.now);
            else EXPECT_EQ(policy.record(*call.event, call.now), call.requests) << script.name << ", call " << i;
        }
        EXPECT_EQ(policy.currentInterval(), script.interval) << script.name;
        EXPECT_EQ(policy.hasOutstandingRequest(), script.outstanding) << script.name;
        EXPECT_EQ(policy.consecutiveLosses(), script.losses) << script.name;
        EXPECT_EQ(policy.requestCount(), script.requests) << script.name;
        EXPECT_TRUE(std::isfinite(policy.lastRequestAt()) || policy.lastRequestAt() == -inf) << script.name;
        EXPECT_TRUE(std::isfinite(policy.lastKeyframeAt()) || policy.lastKeyframeAt() == -inf) << script.name;
    }
}
}}  // namespace mivodrell
