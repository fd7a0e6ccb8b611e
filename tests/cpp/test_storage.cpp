// The storage both indexes keep vectors in: the page allocator, and the
// blocked rows against a plain row-by-row reference, bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "flat/flat.hpp"
#include "metrics/metrics.hpp"
#include "storage/blocked_rows.hpp"
#include "storage/page_buffer.hpp"

namespace ombrix {
namespace {

// Every way of keeping rows, filled in uneven steps (a group completed across
// two appends, several groups at once) or by whole gathered groups, scores
// every row as the row kernel does; a truncate that reopens a group and the
// appends after it change nothing either.
TEST(BlockedRows, EveryWayOfFillingScoresLikeTheRowKernel) {
    std::mt19937_64 rng(5);
    std::normal_distribution<double> gauss;
    const std::size_t steps[] = {1, 30, 2, 64, 3, 33, 1};
    for (const std::size_t dim : {std::size_t{1}, std::size_t{5}, std::size_t{36}}) {
        std::vector<double> rows(140 * dim);
        for (double& x : rows) x = gauss(rng);
        std::vector<double> query(dim);
        for (double& x : query) x = gauss(rng);
        for (const Metric metric : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
            for (const auto keep : {BlockedRows::KeepRows::All, BlockedRows::KeepRows::IncompleteGroup}) {
                BlockedRows stored(dim, metric == Metric::Cosine, keep);
                std::size_t count = 0;
                for (const std::size_t step : steps) {
                    ASSERT_TRUE(stored.reserve(step));
                    stored.append(rows.data() + count * dim, step);
                    count += step;
                }
                if (keep == BlockedRows::KeepRows::All) {
                    stored.truncate(count - 10);
                    for (std::size_t i = count - 10; i < count; ++i) ASSERT_TRUE(stored.append(rows.data() + i * dim));
                }
                ASSERT_EQ(stored.size(), count);
                const PreparedQuery prepared = prepare_query(metric, query, dim);
                std::vector<double> got(count), want(count);
                stored.score_all(prepared, got.data());
                score_contiguous(prepared, rows.data(), dim, stored.norms(), count, want.data());
                for (std::size_t i = 0; i < count; ++i)
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
                        << "dim " << dim << " row " << i;
            }
            // Whole groups gathered from scattered rows (every third row,
            // wrapping), growing by an eighth.
            BlockedRows groups(dim, metric == Metric::Cosine, BlockedRows::KeepRows::None, BlockedRows::Growth::Eighth);
            std::vector<double> gathered;
            for (std::size_t g = 0; g < 4; ++g) {
                const double* group[kernels::kBlockLanes];
                for (std::size_t l = 0; l < kernels::kBlockLanes; ++l) {
                    group[l] = rows.data() + (3 * (g * kernels::kBlockLanes + l)) % 140 * dim;
                    gathered.insert(gathered.end(), group[l], group[l] + dim);
                }
                ASSERT_TRUE(groups.reserve(kernels::kBlockLanes));
                groups.append_group(group);
            }
            const std::size_t count = 4 * kernels::kBlockLanes;
            ASSERT_EQ(groups.size(), count);
            const PreparedQuery prepared = prepare_query(metric, query, dim);
            std::vector<double> got(count), want(count);
            groups.score_all(prepared, got.data());
            std::vector<double> norms;
            for (std::size_t i = 0; i < count; ++i)
                norms.push_back(std::sqrt(squared_norm({gathered.data() + i * dim, dim})));
            score_contiguous(prepared, gathered.data(), dim, norms.data(), count, want.data());
            for (std::size_t i = 0; i < count; ++i)
                EXPECT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
                    << "dim " << dim << " gathered row " << i;
        }
    }
}

int refuse_advice(void*, std::size_t) noexcept { return -1; }

TEST(PageBuffer, WorksWhenHugePageAdviceIsRefused) {
    set_huge_page_advisor(refuse_advice);
    Flat index(256, Metric::InnerProduct);
    std::vector<double> rows(256 * 5000, 0.25);  // past the huge-page size
    std::size_t stored = 0;
    EXPECT_FALSE(index.create(rows.data(), 5000, 256, stored));
    set_huge_page_advisor(nullptr);
    std::vector<ScoredId> got;
    ASSERT_FALSE(index.search(std::vector<double>(256, 1.0), 3, got));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].id, 0u);
    EXPECT_EQ(got[0].distance, 64.0);
}

TEST(PageBuffer, KeepsContentsAcrossGrowth) {
    PageBuffer buffer;
    ASSERT_TRUE(buffer.reserve(10, 0));
    for (std::size_t i = 0; i < 10; ++i) buffer.data()[i] = static_cast<double>(i);
    ASSERT_TRUE(buffer.reserve(std::size_t{1} << 20, 10));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % (std::size_t{2} << 20), 0u);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(buffer.data()[i], static_cast<double>(i));
    EXPECT_FALSE(buffer.reserve(SIZE_MAX, 10));
    EXPECT_EQ(buffer.data()[9], 9.0);
}

// A freed large buffer serves the next one of about its size (fresh pages
// would have to be cleared first); small ones and far larger ones do not
// take it.
TEST(PageBuffer, ReusesFreedLargeBuffers) {
    constexpr std::size_t doubles = std::size_t{3} << 20;  // 24 MiB
    const double* first = nullptr;
    {
        PageBuffer buffer;
        ASSERT_TRUE(buffer.reserve(doubles, 0));
        first = buffer.data();
        buffer.data()[doubles - 1] = 1.0;
    }
    PageBuffer small;
    ASSERT_TRUE(small.reserve(1000, 0));
    EXPECT_NE(small.data(), first);
    PageBuffer larger;
    ASSERT_TRUE(larger.reserve(3 * doubles, 0));
    EXPECT_NE(larger.data(), first);
    PageBuffer again;
    ASSERT_TRUE(again.reserve(doubles - 1000, 0));
    EXPECT_EQ(again.data(), first);
    EXPECT_GE(again.capacity(), doubles);
    again.data()[0] = 2.0;
    ASSERT_TRUE(again.reserve(2 * doubles, 1));
    EXPECT_EQ(again.data()[0], 2.0);
}

}  // namespace
}  // namespace ombrix
