// Quantiles read from the callback time histogram.

#include <vector>

#include <gtest/gtest.h>

#include "qpp-stats.h"

TEST(Histogram, QuantilesAreWithinABucketOfTheTruth)
{
    // The true quantile and the bound 19% above it.
    struct Row { std::vector<uint64_t> ns; double q; uint64_t low, high; };
    std::vector<uint64_t> thousand;
    for (uint64_t i = 1; i <= 1000; i++) thousand.push_back(i * 1000);
    const Row rows[] = {
        {{}, 0.5, 0, 0}, {{0}, 0.5, 0, 0}, {{3}, 0.99, 3, 3}, {{5, 5, 5}, 0.5, 5, 5},
        {{1000, 1000000}, 0.5, 1000, 1190}, {{1000, 1000000}, 0.99, 1000000, 1000000},
        {thousand, 0.5, 500000, 595000}, {thousand, 0.99, 990000, 1000000},
        {{UINT64_MAX / 2}, 0.5, UINT64_MAX / 2, UINT64_MAX / 2},
        {{7, 123456, 99}, 1.0, 123456, 123456},  // the maximum is exact
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::to_string(row.ns.size()) + " values, q " + std::to_string(row.q));
        qppHistogram h;
        for (uint64_t ns : row.ns) h.Add(ns);
        EXPECT_GE(h.Quantile(row.q), row.low);
        EXPECT_LE(h.Quantile(row.q), row.high);
        EXPECT_EQ(h.Count(), row.ns.size());
    }
}
