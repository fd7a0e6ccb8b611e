// Every kernel variant against the scalar left-to-right reference, bit for
// bit, and the flat index against a plain sort of scalar scores.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "flat/flat.hpp"
#include "flat_test_support.hpp"
#include "metrics/kernels.hpp"
#include "metrics/metrics.hpp"
#include "metrics/reference.hpp"

namespace ombrix {
namespace {

using namespace flat_test;

// Values drawn from a small set (ties, duplicates) with specials mixed in.
std::vector<double> random_values(std::size_t n, std::mt19937_64& rng, bool specials) {
    static const double pool[] = {0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e300, -1e-300, 3.0};
    static const double special[] = {kInf, -kInf, kNaN, -0.0, 0.0, 5e-324};
    std::uniform_int_distribution<int> pick(0, 99);
    std::normal_distribution<double> gauss;
    std::vector<double> v(n);
    for (double& x : v) {
        const int p = pick(rng);
        if (specials && p < 3) x = special[p * 2 + (pick(rng) & 1)];
        else if (p < 30) x = pool[p % 9];
        else x = gauss(rng);
    }
    return v;
}

double reference_sum(bool euclidean, const double* q, const double* x, std::size_t n) {
    double s = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        if (euclidean) {
            const double d = q[j] - x[j];
            s += d * d;
        } else {
            s += q[j] * x[j];
        }
    }
    return s;
}

class KernelVariants : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KernelVariants, BlockSumsMatchScalar) {
    const std::size_t dim = GetParam();
    std::mt19937_64 rng(dim * 7919 + 1);
    for (const kernels::Variant& variant : kernels::variants()) {
        for (int round = 0; round < 4; ++round) {
            const bool specials = round >= 2;
            const std::vector<double> q = random_values(dim, rng, specials);
            const std::vector<double> rows = random_values(dim * kernels::kBlockLanes, rng, specials);
            std::vector<double> block(rows.size());
            for (std::size_t l = 0; l < kernels::kBlockLanes; ++l)
                for (std::size_t j = 0; j < dim; ++j) block[j * kernels::kBlockLanes + l] = rows[l * dim + j];
            std::vector<double> packed(rows.size() + 1, 7.0);
            variant.pack(rows.data(), dim, packed.data());
            // memcmp may not see the null data() of dim 0.
            EXPECT_TRUE(block.empty() || std::memcmp(packed.data(), block.data(), block.size() * sizeof(double)) == 0)
                << variant.name;
            EXPECT_EQ(packed.back(), 7.0) << variant.name;
            std::vector<double> norms(kernels::kBlockLanes);
            for (std::size_t l = 0; l < kernels::kBlockLanes; ++l)
                norms[l] = std::sqrt(squared_norm({rows.data() + l * dim, dim}));
            const double query_norm = std::sqrt(squared_norm(q));
            for (Metric metric : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
                const bool euclidean = metric == Metric::Euclidean, cosine = metric == Metric::Cosine;
                const auto kernel = euclidean ? variant.block_euclidean : variant.block_dot;
                const double* block_norms = cosine ? norms.data() : nullptr;
                double expected[kernels::kBlockLanes];
                for (std::size_t l = 0; l < kernels::kBlockLanes; ++l) {
                    expected[l] = reference_sum(euclidean, q.data(), rows.data() + l * dim, dim);
                    if (cosine) expected[l] = expected[l] / (query_norm * norms[l]);
                }
                {
                    double values[kernels::kBlockLanes];
                    ASSERT_EQ(kernel(q.data(), block.data(), dim, block_norms, query_norm, 0, 0.0, values),
                              ~std::uint32_t{0});
                    for (std::size_t l = 0; l < kernels::kBlockLanes; ++l)
                        EXPECT_TRUE(same_bits(values[l], expected[l]))
                            << variant.name << " lane " << l << " metric " << int(metric);
                    // Bounded: the lanes below the limit, each value exact, or (Euclidean,
                    // abandon allowed) kAbandoned when every partial sum reached it.
                    for (unsigned abandon : {0u, unsigned{kernels::kAbandon}})
                        for (double limit : {kInf, expected[0], expected[kernels::kBlockLanes / 2], 0.0}) {
                            double again[kernels::kBlockLanes];
                            const unsigned flags = kernels::kBounded | abandon;
                            const std::uint64_t lanes =
                                kernel(q.data(), block.data(), dim, block_norms, query_norm, flags, limit, again);
                            std::uint32_t below = 0;
                            for (std::size_t l = 0; l < kernels::kBlockLanes; ++l)
                                below |= static_cast<std::uint32_t>(expected[l] < limit) << l;
                            if (lanes & kernels::kAbandoned) {
                                EXPECT_TRUE(euclidean && abandon && below == 0) << variant.name << " limit " << limit;
                                // Stopped at a check, before the last row.
                                const std::size_t read = kernels::rows_read(lanes);
                                EXPECT_TRUE(read > 0 && read < dim && read % 32 == 0)
                                    << variant.name << " read " << read;
                                EXPECT_EQ(static_cast<std::uint32_t>(lanes), 0u) << variant.name;
                                continue;
                            }
                            EXPECT_EQ(lanes, below) << variant.name << " limit " << limit;
                            for (std::size_t l = 0; l < kernels::kBlockLanes; ++l)
                                EXPECT_TRUE(same_bits(again[l], expected[l])) << variant.name;
                        }
                }
            }
        }
    }
}

TEST_P(KernelVariants, RowKernelsMatchScalar) {
    const std::size_t dim = GetParam();
    std::mt19937_64 rng(dim * 104729 + 3);
    for (const kernels::Variant& variant : kernels::variants()) {
        for (Metric metric : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
            for (std::size_t count : {std::size_t{1}, std::size_t{5}, std::size_t{9}, kernels::kLanes}) {
                const bool specials = count != kernels::kLanes;
                const std::vector<double> q = random_values(dim, rng, specials);
                const std::vector<double> rows = random_values(dim * count, rng, specials);
                std::vector<const double*> ptrs;
                std::vector<double> norms;
                for (std::size_t l = 0; l < count; ++l) {
                    ptrs.push_back(rows.data() + l * dim);
                    norms.push_back(std::sqrt(squared_norm({ptrs.back(), dim})));
                }
                const PreparedQuery prepared = prepare_query(metric, q, dim);
                std::vector<double> out(count);
                variant.row(prepared, ptrs.data(), norms.data(), count, out.data(), false, 0.0);
                const MetricFn f = metric_function(metric);
                for (std::size_t l = 0; l < count; ++l)
                    EXPECT_TRUE(same_bits(out[l], f(q, {ptrs[l], dim}))) << variant.name << " lane " << l;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dims, KernelVariants, ::testing::Values(0, 1, 3, 31, 32, 33, 128, 785));

// The variants chosen for a feature set, then "|" and the streaming one.
std::string chosen_names(kernels::CpuFeatures features) {
    const kernels::VariantChoice choice = kernels::choose_variants(features);
    std::string names;
    for (std::size_t i = 0; i < choice.count; ++i) names += std::string(choice.entries[i].name) + ",";
    return names + "|" + choice.entries[choice.streaming].name;
}

// A variant runs only where every instruction its target allows is there and
// the system saves its registers: any one of them missing turns it off.
TEST(KernelChoice, EachVariantNeedsAllOfItsTarget) {
    using namespace kernels::cpu;
    const kernels::CpuFeatures all = ~kernels::CpuFeatures{0};
    EXPECT_EQ(chosen_names(0), "generic,|generic");
#if defined(__x86_64__)
    EXPECT_EQ(chosen_names(all), "avx512,avx2,avx2 streaming,generic,|avx2 streaming");
    for (kernels::CpuFeatures missing : {kAVX512F, kAVX512BW, kAVX512CD, kAVX512DQ, kAVX512VL, kZmmState, kFMA, kBMI1,
                                         kBMI2, kF16C, kLZCNT, kMOVBE, kXSAVE})
        EXPECT_EQ(chosen_names(all & ~missing), "avx2,avx2 streaming,generic,|avx2 streaming") << missing;
    for (kernels::CpuFeatures missing : {kAVX2, kAVX, kYmmState, kSSE3, kSSSE3, kSSE41, kSSE42, kPOPCNT, kCX16, kLAHF})
        EXPECT_EQ(chosen_names(all & ~missing), "generic,|generic") << missing;
#else
    EXPECT_EQ(chosen_names(all), "generic,|generic");
#endif
}

#if defined(__x86_64__)
// Each feature read from its own CPUID bit: the compiler runtime's detection,
// which also asks the system which registers it saves, agrees.
TEST(KernelChoice, DetectionAgreesWithTheCompilerRuntime) {
    using namespace kernels::cpu;
    __builtin_cpu_init();
    const kernels::CpuFeatures found = kernels::detect_cpu_features();
    const auto has = [found](kernels::CpuFeatures needed) { return (found & needed) == needed; };
#define OMBRIX_AGREES(name, needed) EXPECT_EQ(__builtin_cpu_supports(name) != 0, has(needed)) << name
    OMBRIX_AGREES("sse3", kSSE3);
    OMBRIX_AGREES("ssse3", kSSSE3);
    OMBRIX_AGREES("sse4.1", kSSE41);
    OMBRIX_AGREES("sse4.2", kSSE42);
    OMBRIX_AGREES("popcnt", kPOPCNT);
    OMBRIX_AGREES("bmi", kBMI1);
    OMBRIX_AGREES("bmi2", kBMI2);
    OMBRIX_AGREES("avx", kAVX | kYmmState);
    OMBRIX_AGREES("avx2", kAVX2 | kYmmState);
    OMBRIX_AGREES("fma", kFMA | kYmmState);
    OMBRIX_AGREES("avx512f", kAVX512F | kZmmState);
    OMBRIX_AGREES("avx512bw", kAVX512BW | kZmmState);
    OMBRIX_AGREES("avx512cd", kAVX512CD | kZmmState);
    OMBRIX_AGREES("avx512dq", kAVX512DQ | kZmmState);
    OMBRIX_AGREES("avx512vl", kAVX512VL | kZmmState);
#undef OMBRIX_AGREES
    EXPECT_STREQ(kernels::best().name, kernels::choose_variants(found).entries[0].name);
}
#endif

TEST(SquaredThreshold, SplitsSumsExactlyWhereTheRootReachesTheBound) {
    std::mt19937_64 rng(11);
    std::vector<double> bounds = {0.0,      -0.0, 5e-324, 1e-160, 1.0, 2.0, 3.0, 1e154, 1.3407807929942596e154,
                                  1.79e308, kInf};
    std::uniform_real_distribution<double> u(0.0, 100.0);
    for (int i = 0; i < 200; ++i) bounds.push_back(u(rng));
    for (double bound : bounds) {
        const double t = squared_threshold(bound);
        ASSERT_GE(std::sqrt(t), bound);
        if (t > 0.0) {
            ASSERT_LT(std::sqrt(std::nextafter(t, 0.0)), bound) << bound;
        }
        // Sums around the threshold fall on the side their root says.
        double s = t;
        for (int step = 0; step < 4 && s > 0.0; ++step) s = std::nextafter(s, 0.0);
        for (int step = 0; step < 9; ++step, s = std::nextafter(s, kInf))
            EXPECT_EQ(s >= t, std::sqrt(s) >= bound) << bound << " " << s;
    }
}

void expect_same_results(const std::vector<ScoredId>& got, const std::vector<ScoredId>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, want[i].id) << "rank " << i;
        EXPECT_TRUE(same_bits(got[i].distance, want[i].distance)) << "rank " << i;
    }
}

struct FlatCase {
    Metric metric;
    std::size_t dim;
};

class FlatAgainstReference : public ::testing::TestWithParam<FlatCase> {};

TEST_P(FlatAgainstReference, MixedAppendsGiveTheReferenceRanking) {
    const auto [metric, dim] = GetParam();
    std::mt19937_64 rng(dim * 31 + static_cast<int>(metric));
    Flat index(dim, metric);
    std::vector<std::vector<double>> stored;
    // Single inserts and creates of sizes that cross and leave partial groups.
    for (std::size_t batch : {1, 3, 40, 1, 29, 64, 1, 100, 7}) {
        const bool specials = batch == 3 || batch == 7;
        std::vector<double> rows = random_values(batch * dim, rng, specials);
        if (batch == 1) {
            ASSERT_FALSE(index.insert({rows.data(), dim}));
        } else {
            std::size_t done = 0;
            ASSERT_FALSE(index.create(rows.data(), batch, dim, done));
            ASSERT_EQ(done, batch);
        }
        for (std::size_t r = 0; r < batch; ++r)
            stored.emplace_back(rows.begin() + r * dim, rows.begin() + (r + 1) * dim);
        ASSERT_EQ(index.size(), stored.size());
        for (std::size_t k : {std::size_t{1}, std::size_t{10}, stored.size() + 5}) {
            const std::vector<double> q = random_values(dim, rng, k == 10);
            std::vector<ScoredId> got;
            ASSERT_FALSE(index.search(q, k, got));
            expect_same_results(got, reference_search(metric, stored, q, k));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(MetricsAndDims, FlatAgainstReference,
                         ::testing::Values(FlatCase{Metric::Euclidean, 1}, FlatCase{Metric::Euclidean, 33},
                                           FlatCase{Metric::Euclidean, 128}, FlatCase{Metric::InnerProduct, 1},
                                           FlatCase{Metric::InnerProduct, 32}, FlatCase{Metric::Cosine, 31},
                                           FlatCase{Metric::Cosine, 785}));

TEST(Flat, EarlyAbandonKeepsTiesAndLateWinners) {
    // Many identical far vectors, then the nearest ones last: abandoned
    // groups must not hide ties with the worst kept distance or later winners.
    const std::size_t dim = 64;
    Flat index(dim, Metric::Euclidean);
    std::vector<std::vector<double>> stored;
    for (std::size_t i = 0; i < 300; ++i) {
        std::vector<double> v(dim, i < 280 ? 10.0 : (i % 2 ? 1.0 : 10.0));
        if (i == 150) v.assign(dim, 1.0);
        stored.push_back(v);
        ASSERT_FALSE(index.insert(v));
    }
    const std::vector<double> q(dim, 0.0);
    for (std::size_t k : {1, 5, 11, 20}) {
        std::vector<ScoredId> got;
        ASSERT_FALSE(index.search(q, k, got));
        expect_same_results(got, reference_search(Metric::Euclidean, stored, q, k));
    }
}

TEST(Flat, AbandonChecksSwitchingOnAndOffKeepTheRanking) {
    // Thousands of blocks: stretches where blocks rarely abandon (Gaussian),
    // where every block does (far copies), and late winners and ties, so the
    // scan turns its abandon checks off and on again along the way. 37 MB of
    // vectors: the scan streams (and takes the kernel for that).
    const std::size_t dim = 72;
    Flat index(dim, Metric::Euclidean);
    std::vector<std::vector<double>> stored;
    std::mt19937_64 rng(5);
    std::normal_distribution<double> gauss;
    for (std::size_t i = 0; i < 64000; ++i) {
        std::vector<double> v(dim);
        const std::size_t stretch = i / 16000;
        for (double& x : v) x = stretch == 1 ? 10.0 : gauss(rng) * (stretch == 3 ? 0.9 : 1.0);
        if (i % 9973 == 0) v.assign(dim, 0.25);  // exact ties among themselves
        stored.push_back(v);
    }
    for (std::size_t start = 0; start < stored.size(); start += 1000) {
        std::vector<double> rows;
        for (std::size_t i = start; i < start + 1000; ++i) rows.insert(rows.end(), stored[i].begin(), stored[i].end());
        std::size_t done = 0;
        ASSERT_FALSE(index.create(rows.data(), 1000, dim, done));
    }
    for (std::size_t k : {1, 10, 100}) {
        const std::vector<double> q(dim, k == 100 ? 0.1 : 0.0);
        std::vector<ScoredId> got;
        ASSERT_FALSE(index.search(q, k, got));
        expect_same_results(got, reference_search(Metric::Euclidean, stored, q, k));
    }
}

TEST(Flat, CreateReportsMismatchAndKeepsThePrefix) {
    Flat index(2, Metric::Cosine);
    VectorBatch batch;
    for (std::size_t n : {2, 2, 3, 2}) {
        for (std::size_t j = 0; j < n; ++j) batch.values.push_back(static_cast<double>(j + 1));
        batch.offsets.push_back(batch.values.size());
    }
    std::size_t stored = 0;
    EXPECT_EQ(index.create(batch, stored), FlatError::DimensionMismatch);
    EXPECT_EQ(stored, 2u);
    EXPECT_EQ(index.size(), 2u);
    EXPECT_EQ(index.create(VectorBatch{}, stored), FlatError::EmptyVectors);
    EXPECT_EQ(index.size(), 2u);
}

TEST(Flat, StopCheckKeepsWhatWasStored) {
    const std::size_t dim = 1024, count = 4096;  // several create chunks
    std::vector<double> rows(dim * count, 1.0);
    Flat index(dim, Metric::Euclidean);
    int polls = 0;
    const StopCheck stop{[](void* context) noexcept { return ++*static_cast<int*>(context) == 2; }, &polls};
    std::size_t stored = 0;
    EXPECT_EQ(index.create(rows.data(), count, dim, stored, stop), FlatError::Interrupted);
    EXPECT_GT(stored, 0u);
    EXPECT_LT(stored, count);
    EXPECT_EQ(index.size(), stored);
}

TEST(Flat, ImpossibleSizesAreOutOfMemoryAndChangeNothing) {
    Flat index(1u << 20, Metric::Euclidean);
    std::vector<double> one(1u << 20, 0.5);
    ASSERT_FALSE(index.insert(one));
    std::size_t stored = 0;
    EXPECT_EQ(index.create(one.data(), SIZE_MAX / 2, one.size(), stored), FlatError::OutOfMemory);
    EXPECT_EQ(stored, 0u);
    EXPECT_EQ(index.size(), 1u);
}

}  // namespace
}  // namespace ombrix
