// Filtered search through the equality index against the plain definition:
// the index against a scan of the stored rows, and filtered searches against
// the full traversal, which tests the predicate at every meeting.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw_test_support.hpp"

namespace ombrix {
namespace {

using namespace testing_support;
using namespace std::string_literals;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Every value type with the cases equality must get right, plus values no
// node holds.
const std::vector<Metadata>& value_pool() {
    static const std::vector<Metadata> pool{{""s},
                                            {"a"s},
                                            {"A"s},
                                            {"é"s},
                                            {"日本"s},
                                            {"a\0b"s},
                                            {"a\0c"s},
                                            {std::int64_t{0}},
                                            {std::int64_t{1}},
                                            {std::int64_t{-1}},
                                            {kMin},
                                            {kMax},
                                            {0.0},
                                            {-0.0},
                                            {1.0},
                                            {kNaN},
                                            {1e308},
                                            {-1e308},
                                            {kInf},
                                            {5e-324}};
    return pool;
}
// Values never stored: they match nothing.
const std::vector<Metadata> kAbsent{{"absent"s}, {std::int64_t{42}}, {2.5}};

// "s" twice: a filter resolves the name at its first position.
const Schema kSchema{"s", "i", "f", "any", "s"};

struct Stored {
    std::vector<std::optional<MetadataRow>> rows;
};

// Each attribute mostly holds its own type; "any" holds any value. One node
// in nine has no row; `skewed` makes most nodes share one value per
// attribute, so that some filters match nearly everything.
MetadataRow random_row(std::uint64_t& state, bool skewed) {
    const std::vector<Metadata>& pool = value_pool();
    auto pick = [&](std::size_t first, std::size_t count) -> Metadata {
        const std::uint64_t r = splitmix64(state);
        if (skewed && r % 8 != 0) return copy_metadata(pool[first]);
        return copy_metadata(pool[first + r / 8 % count]);
    };
    return {pick(0, 7), pick(7, 5), pick(12, 8), pick(0, pool.size()), pick(0, 7)};
}

std::vector<std::uint64_t> holders(const Stored& stored, std::size_t position, const Metadata& value) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t n = 0; n < stored.rows.size(); ++n)
        if (stored.rows[n] && (*stored.rows[n])[position] == value) out.push_back(n);
    return out;
}

TEST(EqualityIndex, HoldsExactlyTheNodesWhoseValueIsEqual) {
    for (bool skewed : {false, true}) {
        HNSW g = make_index(2, 3, Metric::Euclidean, 8, 8, kSchema);
        FakeRandom rng;
        Stored stored;
        std::uint64_t state = skewed ? 11 : 12;
        for (int i = 0; i < 300; ++i) {
            std::optional<MetadataRow> row;
            if (i % 9 != 4) row = random_row(state, skewed);
            ASSERT_FALSE(g.insert(std::vector{double(i % 17), double(i % 5)}, row ? &*row : nullptr, rng));
            stored.rows.push_back(std::move(row));
        }
        for (std::size_t p = 0; p < kSchema.size(); ++p) {
            for (const auto* values : {&value_pool(), &kAbsent})
                for (const Metadata& v : *values)
                    EXPECT_EQ(g.nodes_holding(p, v), p == 4 ? std::vector<std::uint64_t>{} : holders(stored, p, v))
                        << "position " << p << ", value index " << (&v - values->data());
        }
    }
}

struct Build {
    Metric metric;
    std::uint64_t layers, ef_construction, ef_search;
    bool skewed, coarse;
    friend void PrintTo(const Build& b, std::ostream* os) {
        *os << "metric " << static_cast<int>(b.metric) << ", layers " << b.layers << ", ef_construction "
            << b.ef_construction << ", ef_search " << b.ef_search << (b.skewed ? ", skewed" : "")
            << (b.coarse ? ", coarse" : "");
    }
};

class FilteredAgainstFull : public ::testing::TestWithParam<Build> {};

// The equality index path gives the full traversal's pairs, bit for bit and
// in order, for every attribute and value: values held by many nodes, by one
// node ("one") or by every node with a row ("all"), by none, NaN, filters
// that node 0 fails or passes, nodes without rows.
TEST_P(FilteredAgainstFull, SamePairsInOrder) {
    const Build b = GetParam();
    Schema schema = kSchema;
    schema.push_back("all");
    schema.push_back("one");
    const HNSWParams params{4, b.layers, 16, b.ef_construction, b.ef_search, b.metric, schema};
    HNSW full = HNSW::make(params).value(), shortcut = HNSW::make(params).value();
    full.set_traversal(Traversal::Full);
    std::uint64_t state = b.layers * 100 + b.ef_construction + static_cast<std::uint64_t>(b.metric);
    FakeRandom full_rng({}, state), shortcut_rng({}, state);
    auto point = [&] {
        std::vector<double> v(4);
        for (double& x : v)
            x = b.coarse ? double(splitmix64(state) % 3) - 1.0 : double(splitmix64(state) % 2001) / 1000.0 - 1.0;
        return v;
    };
    constexpr std::uint64_t kNodes = 300;
    for (std::uint64_t i = 0; i < kNodes; ++i) {
        MetadataRow row = random_row(state, b.skewed);
        row.push_back({std::int64_t{7}});
        row.push_back({i == 37 ? "only"s : "other"s});
        const MetadataRow* r = i % 9 == 4 && !b.skewed ? nullptr : &row;
        const std::vector<double> v = point();
        ASSERT_EQ(full.insert(v, r, full_rng), shortcut.insert(v, r, shortcut_rng)) << "node " << i;
    }
    std::vector<Filter> filters;
    const char* names[] = {"s", "i", "f", "any"};
    for (const char* name : names) {
        for (const Metadata& v : value_pool()) filters.push_back({name, make_equality_predicate(copy_metadata(v))});
        for (const Metadata& v : kAbsent) filters.push_back({name, make_equality_predicate(copy_metadata(v))});
    }
    filters.push_back({"all", make_equality_predicate({std::int64_t{7}})});
    filters.push_back({"one", make_equality_predicate({"only"s})});
    std::vector<ScoredId> a, c;
    for (std::size_t i = 0; i < 3 * filters.size(); ++i) {
        // Every third query is a stored vector: distance-0 ties.
        const std::span<const double> stored = full.vector(splitmix64(state) % kNodes);
        const std::vector<double> q = i % 3 == 1 ? std::vector<double>(stored.begin(), stored.end()) : point();
        const Filter& f = filters[(i * 7) % filters.size()];
        const std::uint64_t k = 1 + splitmix64(state) % (b.ef_search + 3);
        const auto error = full.search(q, k, &f, a);
        ASSERT_EQ(error, shortcut.search(q, k, &f, c)) << "query " << i;
        ASSERT_TRUE(same(a, c)) << "query " << i << ", filter on " << f.attribute;
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, FilteredAgainstFull, ::testing::ValuesIn([] {
                             std::vector<Build> all;
                             for (Metric m : {Metric::Euclidean, Metric::InnerProduct, Metric::Cosine}) {
                                 all.push_back({m, 1, 10, 10, false, false});
                                 all.push_back({m, 6, 5, 8, false, false});
                                 all.push_back({m, 4, 12, 30, false, true});
                                 all.push_back({m, 3, 400, 40, true, false});
                             }
                             return all;
                         }()));

}  // namespace
}  // namespace ombrix
