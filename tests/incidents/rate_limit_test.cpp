#include <gtest/gtest.h>

#include "incidents/rate_limit.h"

TEST(RateLimit, DecisionTable) {
    const int64_t t = 1'800'000'000;
    struct Case {
        const char* what;
        IncidentReference reference;
        int64_t now;
        int32_t limit;
        int32_t severity;
        bool passes;
    };
    const Case cases[] = {
        {"first incident", kNoIncidentYet, t, 60, 0, true},
        {"first incident at time 0", kNoIncidentYet, 0, 60, 50, true},
        {"same severity inside", PackIncidentReference(t, 65), t + 59, 60, 65, false},
        {"lower severity inside", PackIncidentReference(t, 90), t + 1, 60, 80, false},
        {"higher severity inside", PackIncidentReference(t, 80), t + 10, 60, 90, true},
        {"at the limit", PackIncidentReference(t, 90), t + 60, 60, 50, true},
        {"clock set back", PackIncidentReference(t, 90), t - 1, 60, 50, true},
        {"reference made at time 0", PackIncidentReference(0, 80), 5, 60, 80, false},
        {"negative severity clamps to 0", PackIncidentReference(t, 0), t + 1, 60, -7, false},
        {"above 255 clamps", PackIncidentReference(t, 255), t + 1, 60, 100000, false},
        {"255 over 254", PackIncidentReference(t, 254), t + 1, 60, 100000, true},
        {"one-second limit", PackIncidentReference(t, 65), t + 1, 1, 65, true},
        {"after 2038", PackIncidentReference(4'102'444'800, 65), 4'102'444'830, 60, 65, false},
    };
    for (const Case& c : cases) EXPECT_EQ(RateLimitPasses(c.reference, c.now, c.limit, c.severity), c.passes) << c.what;
}

TEST(RateLimit, ReferenceRoundTrips) {
    for (int64_t seconds : {int64_t{0}, int64_t{1}, int64_t{-86400}, int64_t{1'800'000'000}, int64_t{4'102'444'800},
                            int64_t{1} << 50}) {
        for (int32_t severity : {0, 65, 90, 255}) {
            const IncidentReference r = PackIncidentReference(seconds, severity);
            EXPECT_TRUE(ReferenceIsSet(r));
            EXPECT_EQ(ReferenceSeconds(r), seconds);
            EXPECT_EQ(ReferenceSeverity(r), severity);
        }
    }
    EXPECT_FALSE(ReferenceIsSet(kNoIncidentYet));
}
