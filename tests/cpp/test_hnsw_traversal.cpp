// The shortcut traversal against the full one: two graphs built from the same
// vectors and level draws must hold the same levels and lists, and every
// search and layer search must give the same pairs, bit for bit, in order.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw_test_support.hpp"

namespace ombrix {
namespace {

using namespace testing_support;

struct Build {
    Metric metric;
    std::uint64_t layers, ef_construction, ef_search;
    bool coarse;  // small integer coordinates: ties, duplicates, zero vectors
    friend void PrintTo(const Build& b, std::ostream* os) {
        *os << "metric " << static_cast<int>(b.metric) << ", layers " << b.layers << ", ef_construction "
            << b.ef_construction << ", ef_search " << b.ef_search << (b.coarse ? ", coarse" : "");
    }
};

constexpr std::uint64_t kNodes = 400;
constexpr std::uint64_t kDim = 8;

std::vector<double> random_vector(std::uint64_t& state, bool coarse) {
    std::vector<double> v(kDim);
    for (double& x : v)
        x = coarse ? static_cast<double>(splitmix64(state) % 3) - 1.0
                   : static_cast<double>(splitmix64(state) % 20001) / 10000.0 - 1.0;
    return v;
}

class ShortcutAgainstFull : public ::testing::TestWithParam<Build> {};

TEST_P(ShortcutAgainstFull, SameGraphAndSameResults) {
    const Build b = GetParam();
    const HNSWParams params{kDim, b.layers, 16, b.ef_construction, b.ef_search, b.metric, Schema{"tag"}};
    HNSW full = HNSW::make(params).value(), shortcut = HNSW::make(params).value();
    full.set_traversal(Traversal::Full);
    std::uint64_t state = b.layers * 1000 + b.ef_construction + static_cast<std::uint64_t>(b.metric);
    FakeRandom full_rng({}, state), shortcut_rng({}, state);

    for (std::uint64_t i = 0; i < kNodes; ++i) {
        const std::vector<double> v = random_vector(state, b.coarse);
        const MetadataRow row{{static_cast<std::int64_t>(splitmix64(state) % 4)}};
        const MetadataRow* r = i % 9 == 4 ? nullptr : &row;
        ASSERT_EQ(full.insert(v, r, full_rng), shortcut.insert(v, r, shortcut_rng)) << "node " << i;
    }
    for (std::uint64_t id = 0; id < kNodes; ++id) {
        ASSERT_EQ(full.level(id), shortcut.level(id)) << id;
        ASSERT_EQ(full.neighbors(id), shortcut.neighbors(id)) << id;
    }
    if (b.layers > 0 && b.ef_construction > 0) {
        EXPECT_LT(shortcut.work_counts().entries_scanned, full.work_counts().entries_scanned);
    }

    // Tag 0 is node 0's; tag 3 leaves it out, and no filter passes a node
    // without a row.
    const Filter tag0{"tag", make_equality_predicate({std::int64_t{0}})};
    const Filter tag3{"tag", make_equality_predicate({std::int64_t{3}})};
    const Filter* filters[] = {nullptr, &tag0, &tag3, nullptr};
    std::vector<ScoredId> a, c;
    for (std::uint64_t i = 0; i < 300; ++i) {
        // Every fourth query is a stored vector: distance-0 and NaN ties.
        const std::span<const double> stored = full.vector(splitmix64(state) % kNodes);
        const std::vector<double> q =
            i % 4 == 1 ? std::vector<double>(stored.begin(), stored.end()) : random_vector(state, b.coarse);
        const Filter* f = filters[i % 4];
        const std::uint64_t k = 1 + splitmix64(state) % (b.ef_search + 3);
        const auto full_error = full.search(q, k, f, a);
        ASSERT_EQ(full_error, shortcut.search(q, k, f, c)) << "query " << i;
        EXPECT_TRUE(same(a, c)) << "query " << i;

        if (b.layers == 0) continue;
        const std::uint64_t entry = splitmix64(state) % kNodes, layer = splitmix64(state) % b.layers;
        const std::uint64_t ef = 1 + splitmix64(state) % (kNodes + 20);
        const std::uint64_t full_before = full.work_counts().evaluations;
        const std::uint64_t shortcut_before = shortcut.work_counts().evaluations;
        ASSERT_FALSE(full.knn(entry, q, ef, layer, f, a));
        ASSERT_FALSE(shortcut.knn(entry, q, ef, layer, f, c));
        EXPECT_TRUE(same(a, c)) << "knn " << i;
        // Cut short only once nothing fresh is left to score.
        EXPECT_EQ(full.work_counts().evaluations - full_before, shortcut.work_counts().evaluations - shortcut_before);
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, ShortcutAgainstFull, ::testing::ValuesIn([] {
                             std::vector<Build> all;
                             for (Metric m : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine})
                                 for (bool coarse : {false, true}) {
                                     all.push_back({m, 0, 10, 10, coarse});
                                     all.push_back({m, 1, 12, 10, coarse});
                                     all.push_back({m, 2, 6, 5, coarse});
                                     all.push_back({m, 8, 24, 16, coarse});
                                     all.push_back({m, 5, 2 * kNodes, 60, coarse});  // ef_construction above N
                                     all.push_back({m, 3, 0, 10, coarse});           // every insert but the first fails
                                 }
                             return all;
                         }()));

// Far more layers than levels: every pass above the populated layers is
// skipped, with the graph and the results of one that runs them all. Only
// node 0's level differs between the two.
TEST(ShortcutAgainstFull, HugeLayerCountCostsOnlyThePopulatedLayers) {
    // 2^27 passes per insert would take hours; the weight table stays 1 GiB
    // of untouched zero pages.
    const std::uint64_t huge = std::uint64_t{1} << 27;
    HNSW tall = make_index(kDim, huge, Metric::Euclidean, 20, 12);
    HNSW full = make_index(kDim, 800, Metric::Euclidean, 20, 12);
    full.set_traversal(Traversal::Full);
    std::uint64_t state = 99;
    FakeRandom tall_rng({}, 5), full_rng({}, 5);
    for (std::uint64_t i = 0; i < 150; ++i) {
        const std::vector<double> v = random_vector(state, false);
        ASSERT_FALSE(tall.insert(v, nullptr, tall_rng));
        ASSERT_FALSE(full.insert(v, nullptr, full_rng));
    }
    EXPECT_EQ(tall.level(0), huge - 1);
    for (std::uint64_t id = 1; id < 150; ++id) ASSERT_EQ(tall.level(id), full.level(id)) << id;
    for (std::uint64_t id = 0; id < 150; ++id) ASSERT_EQ(tall.neighbors(id), full.neighbors(id)) << id;
    std::vector<ScoredId> a, c;
    for (int i = 0; i < 50; ++i) {
        const std::vector<double> q = random_vector(state, false);
        ASSERT_FALSE(tall.search(q, 5, nullptr, a));
        ASSERT_FALSE(full.search(q, 5, nullptr, c));
        EXPECT_TRUE(same(a, c)) << "query " << i;
    }
    // About one pass per populated layer and insert, not 2^27.
    EXPECT_LT(tall.work_counts().expansions, 150u * 20 * 10);
}

}  // namespace
}  // namespace ombrix

namespace ombrix {
namespace {

struct Scoring {
    Metric metric;
    std::uint64_t ef_construction, ef_search;
    bool line;  // points along a line: passes stay local and visit few nodes
};

class ScoringOnce : public ::testing::TestWithParam<Scoring> {};

// A shortcut insert or search scores a node at most once, whether it scores
// nodes as its passes meet them or every node up front (when the previous
// operation visited most of layer 0), and both ways give the full
// traversal's graph and results.
TEST_P(ScoringOnce, EachNodeAtMostOncePerOperation) {
    const Scoring p = GetParam();
    HNSW full = make_index(kDim, 4, p.metric, p.ef_construction, p.ef_search);
    HNSW shortcut = make_index(kDim, 4, p.metric, p.ef_construction, p.ef_search);
    full.set_traversal(Traversal::Full);
    std::uint64_t state = p.ef_construction * 7 + static_cast<std::uint64_t>(p.metric);
    FakeRandom full_rng({}, state), shortcut_rng({}, state);
    auto point = [&] {
        std::vector<double> v = random_vector(state, false);
        if (p.line)
            for (std::size_t j = 1; j < v.size(); ++j) v[j] = 0.5 + 1e-3 * v[j];
        return v;
    };
    bool all_up_front = false, some_as_met = false;
    auto note = [&](std::uint64_t scored, std::uint64_t nodes) {
        EXPECT_LE(scored, nodes);
        (scored == nodes ? all_up_front : some_as_met) = true;
    };
    for (std::uint64_t i = 0; i < 300; ++i) {
        const std::vector<double> v = point();
        const std::uint64_t before = shortcut.work_counts().scored;
        ASSERT_FALSE(full.insert(v, nullptr, full_rng));
        ASSERT_FALSE(shortcut.insert(v, nullptr, shortcut_rng));
        if (i > 0) note(shortcut.work_counts().scored - before, shortcut.size());
    }
    for (std::uint64_t id = 0; id < 300; ++id) ASSERT_EQ(full.neighbors(id), shortcut.neighbors(id)) << id;
    std::vector<ScoredId> a, c;
    for (int i = 0; i < 100; ++i) {
        const std::vector<double> q = point();
        const std::uint64_t before = shortcut.work_counts().scored;
        ASSERT_FALSE(full.search(q, 10, nullptr, a));
        ASSERT_FALSE(shortcut.search(q, 10, nullptr, c));
        EXPECT_TRUE(same(a, c)) << "query " << i;
        note(shortcut.work_counts().scored - before, shortcut.size());
    }
    // Each case meets the way it is meant for.
    EXPECT_TRUE(p.line ? some_as_met : all_up_front);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScoringOnce, ::testing::ValuesIn([] {
                             std::vector<Scoring> all;
                             for (Metric m : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
                                 all.push_back({m, 400, 50, false});
                                 all.push_back({m, 2, 1, true});
                             }
                             return all;
                         }()));

}  // namespace
}  // namespace ombrix
