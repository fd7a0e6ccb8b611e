// The graph index by example: worked examples, the errors and their order,
// filtered search, the level draw and the introspection of odd ids.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "hnsw/hnsw.hpp"
#include "hnsw_test_support.hpp"

// Lets the oversized-table case see a null calloc instead of an ASan abort.
extern "C" [[gnu::visibility("default"), gnu::used]] const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace ombrix {
namespace {

using namespace testing_support;
using namespace std::string_literals;
using Ids = std::vector<std::uint64_t>;

std::vector<ScoredId> search(const HNSW& g, std::vector<double> q, std::uint64_t k, const Filter* f = nullptr) {
    std::vector<ScoredId> out;
    const auto error = g.search(q, k, f, out);
    EXPECT_FALSE(error.has_value()) << to_string(*error);
    return out;
}

std::optional<HNSWError> search_error(const HNSW& g, const Filter* f = nullptr) {
    std::vector<ScoredId> out;
    return g.search(std::vector<double>{0.0, 0.0}, 5, f, out);
}

Filter equals(std::string attribute, Metadata value) {
    return {std::move(attribute), make_equality_predicate(std::move(value))};
}

TEST(HNSWExamples, OneLayerLinksBothWaysAndSearches) {
    HNSW g = make_index(2, 1);
    FakeRandom rng;
    ASSERT_FALSE(g.insert(std::vector{0.0, 0.0}, nullptr, rng));
    ASSERT_FALSE(g.insert(std::vector{3.0, 4.0}, nullptr, rng));
    EXPECT_EQ(g.neighbors(0), Ids{1});
    EXPECT_EQ(g.neighbors(1), Ids{0});
    EXPECT_EQ(ids(search(g, {0.0, 0.0}, 2)), (Ids{0, 1}));
    EXPECT_EQ(search(g, {0.0, 0.0}, 2)[1].distance, 5.0);
    EXPECT_EQ(ids(search(g, {0.0, 0.0}, 1)), Ids{0});
    EXPECT_EQ(ids(search(g, {3.0, 4.0}, 5)), (Ids{1, 0}));
    EXPECT_TRUE(search(g, {3.0, 4.0}, 0).empty());
}

// The second pass starts at the new node and finds node 0 again: the single
// list model would read [1, 1] and [0, 1, 1, 0]; repeats and the self-link
// are kept out, whichever traversal runs.
TEST(HNSWExamples, SecondPassLinksNothingNew) {
    for (Traversal traversal : {Traversal::Shortcut, Traversal::Full}) {
        HNSW g = make_index(2, 2, Metric::Euclidean, 2);
        g.set_traversal(traversal);
        FakeRandom rng({word_for_level(2, 0)});
        ASSERT_FALSE(g.insert(std::vector{0.0, 0.0}, nullptr, rng));
        ASSERT_FALSE(g.insert(std::vector{3.0, 4.0}, nullptr, rng));
        EXPECT_EQ(g.level(0), 1u);
        EXPECT_EQ(g.level(1), 0u);
        EXPECT_EQ(g.neighbors(0), Ids{1});
        EXPECT_EQ(g.neighbors(1), Ids{0});
    }
}

// Query 0 over node 0 at 1 and nodes 1, 2, 3 at distance 2, all listed by
// node 0 in id order: with room, each equal newcomer goes just before the
// last equal entry; a full list refuses a distance equal to its last.
TEST(HNSWExamples, EqualDistances) {
    for (const auto& [ef_search, expected] : {std::pair{4u, Ids{0, 2, 3, 1}}, std::pair{2u, Ids{0, 1}}}) {
        HNSW g = make_index(1, 1, Metric::Euclidean, 200, ef_search);
        FakeRandom rng;
        for (double x : {1.0, 2.0, -2.0, 2.0}) ASSERT_FALSE(g.insert(std::vector{x}, nullptr, rng));
        EXPECT_EQ(ids(search(g, {0.0}, 10)), expected) << "ef_search " << ef_search;
    }
}

TEST(HNSWErrors, SearchParameters) {
    FakeRandom rng;
    HNSW no_ef = make_index(2, 3, Metric::Euclidean, 200, 0);
    EXPECT_FALSE(search_error(no_ef));  // empty index: nothing is checked
    ASSERT_FALSE(no_ef.insert(std::vector{1.0, 1.0}, nullptr, rng));
    EXPECT_EQ(search_error(no_ef), HNSWError::InvalidEF);

    HNSW flat = make_index(2, 0);
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(flat.insert(std::vector{1.0 * i, 0.0}, nullptr, rng));
    EXPECT_EQ(flat.size(), 3u);
    for (std::uint64_t id = 0; id < 3; ++id) EXPECT_TRUE(flat.neighbors(id).empty());
    EXPECT_EQ(search_error(flat), HNSWError::InvalidLayer);
}

TEST(HNSWErrors, ZeroEfConstructionStoresTheNodeUnlinked) {
    FakeRandom rng;
    HNSW g = make_index(2, 3, Metric::Euclidean, 0);
    EXPECT_FALSE(g.insert(std::vector{0.0, 0.0}, nullptr, rng));
    EXPECT_EQ(g.insert(std::vector{1.0, 0.0}, nullptr, rng), HNSWError::InvalidEF);
    EXPECT_EQ(g.size(), 2u);
    EXPECT_TRUE(g.neighbors(0).empty());
    EXPECT_TRUE(g.neighbors(1).empty());

    HNSW batch = make_index(2, 3, Metric::Euclidean, 0);
    VectorBatch two;
    for (double x : {0.0, 1.0, 2.0, 3.0}) two.values.push_back(x);
    two.offsets = {0, 2, 4};
    EXPECT_EQ(batch.create(two, {}, rng), HNSWError::InvalidEF);
    EXPECT_EQ(batch.size(), 2u);  // kept up to and including the failing insert
}

TEST(HNSWErrors, StopCheckKeepsTheNodesStored) {
    FakeRandom rng;
    VectorBatch four;
    for (double x : {0.0, 1.0, 2.0, 3.0}) four.values.insert(four.values.end(), {x, x});
    four.offsets = {0, 2, 4, 6, 8};
    int polls = 0;
    const StopCheck stop{[](void* context) noexcept { return ++*static_cast<int*>(context) == 2; }, &polls};
    HNSW g = make_index(2, 2);
    std::size_t position = 0;
    EXPECT_EQ(g.create(four, {}, rng, position, stop), HNSWError::Interrupted);
    EXPECT_EQ(position, 2u);  // asked before the second and the third insert
    EXPECT_EQ(g.size(), 2u);
}

TEST(HNSWErrors, CreateAndDimensionChecksStoreNothing) {
    FakeRandom rng;
    VectorBatch two;
    two.values = {0.0, 0.0, 1.0, 1.0};
    two.offsets = {0, 2, 4};
    VectorBatch ragged = two;
    ragged.values.push_back(2.0);
    ragged.offsets.back() = 5;
    const std::vector<MetadataRow> one_row{{{"red"s}}};

    struct Case {
        std::optional<Schema> schema;
        const VectorBatch* vectors;
        std::size_t rows;
        std::optional<HNSWError> expected;
        std::uint64_t stored;
    } cases[] = {
        {std::nullopt, nullptr, 0, HNSWError::EmptyVectors, 0},
        {Schema{"color"}, nullptr, 0, HNSWError::EmptyVectors, 0},
        {Schema{"color"}, &two, 1, HNSWError::AttributeNotFound, 0},
        {std::nullopt, &two, 1, std::nullopt, 2},     // rows ignored without a schema
        {Schema{"color"}, &two, 0, std::nullopt, 2},  // nodes without rows
        {Schema{"color"}, &ragged, 1, HNSWError::AttributeNotFound, 0},
        {std::nullopt, &ragged, 0, HNSWError::DimensionMismatch, 0},
    };
    const VectorBatch empty;
    for (const Case& c : cases) {
        HNSW g = make_index(2, 2, Metric::Euclidean, 10, 10, c.schema);
        const auto rows = std::span(one_row).first(c.rows);
        EXPECT_EQ(g.create(c.vectors ? *c.vectors : empty, rows, rng), c.expected);
        EXPECT_EQ(g.size(), c.stored);
    }
    HNSW g = make_index(2, 2);
    EXPECT_EQ(g.insert(std::vector{1.0}, nullptr, rng), HNSWError::DimensionMismatch);
    EXPECT_EQ(g.size(), 0u);
}

TEST(HNSWErrors, KnnChecksEfThenLayerThenFilterThenEntry) {
    FakeRandom rng;
    HNSW g = make_index(2, 2, Metric::Euclidean, 10, 10, Schema{"color"});
    ASSERT_FALSE(g.insert(std::vector{0.0, 0.0}, nullptr, rng));
    const Filter bad = equals("size", {std::int64_t{1}});
    const Filter good = equals("color", {std::int64_t{1}});
    const std::vector<double> q{0.0, 0.0};
    std::vector<ScoredId> out;
    EXPECT_EQ(g.knn(7, q, 0, 9, &bad, out), HNSWError::InvalidEF);
    EXPECT_EQ(g.knn(7, q, 1, 2, &bad, out), HNSWError::InvalidLayer);
    EXPECT_EQ(g.knn(7, q, 1, 1, &bad, out), HNSWError::AttributeNotFound);
    EXPECT_EQ(g.knn(7, q, 1, 1, &good, out), HNSWError::InvalidNodeID);
    EXPECT_FALSE(g.knn(0, q, 1, 1, &good, out));
    EXPECT_EQ(ids(out), Ids{0});  // the entry is taken without the filter test
}

struct FilterOrderCase {
    const char* name;
    std::optional<Schema> schema;
    std::uint64_t layers;
    friend void PrintTo(const FilterOrderCase& c, std::ostream* os) { *os << c.name; }
    std::uint64_t ef_search;
    std::optional<HNSWError> expected;
};

class FilterValidationOrder : public ::testing::TestWithParam<FilterOrderCase> {};

TEST_P(FilterValidationOrder, FirstFailingPassDecides) {
    const FilterOrderCase& c = GetParam();
    HNSW g = make_index(2, c.layers, Metric::Euclidean, 10, c.ef_search, c.schema);
    const Filter filter = equals("size", {std::int64_t{1}});
    EXPECT_FALSE(search_error(g, &filter));  // empty index
    FakeRandom rng;
    ASSERT_FALSE(g.insert(std::vector{0.0, 0.0}, nullptr, rng));
    EXPECT_EQ(search_error(g, &filter), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterValidationOrder,
    ::testing::Values(FilterOrderCase{"no_schema", std::nullopt, 1, 5, HNSWError::NoSchema},
                      FilterOrderCase{"empty_schema", Schema{}, 1, 5, HNSWError::EmptySchema},
                      FilterOrderCase{"unknown_name", Schema{"color"}, 1, 5, HNSWError::AttributeNotFound},
                      FilterOrderCase{"ef_checked_first", Schema{"color"}, 1, 0, HNSWError::InvalidEF},
                      FilterOrderCase{"descent_checks_filter", Schema{"color"}, 3, 0, HNSWError::AttributeNotFound},
                      FilterOrderCase{"no_layers", Schema{"size"}, 0, 5, HNSWError::InvalidLayer},
                      FilterOrderCase{"no_layers_before_ef", Schema{"color"}, 0, 0, HNSWError::InvalidLayer},
                      FilterOrderCase{"valid", Schema{"color", "size"}, 3, 5, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HNSWFilteredSearch, ReturnsOnlyNodesWhoseOwnValuePasses) {
    FakeRandom rng;
    HNSW g = make_index(2, 1, Metric::Euclidean, 200, 50, Schema{"color"});
    const MetadataRow red{{"red"s}}, blue{{"blue"s}};
    ASSERT_FALSE(g.insert(std::vector{0.0, 0.0}, &red, rng));
    const Filter want_blue = equals("color", {"blue"s});
    const Filter want_green = equals("color", {"green"s});
    EXPECT_TRUE(search(g, {3.0, 4.0}, 2, &want_blue).empty());  // node 0 alone fails

    ASSERT_FALSE(g.insert(std::vector{3.0, 4.0}, &blue, rng));
    EXPECT_EQ(ids(search(g, {3.0, 4.0}, 2, &want_blue)), Ids{1});
    EXPECT_TRUE(search(g, {3.0, 4.0}, 2, &want_green).empty());

    // A node stored without a row fails every filter, even one that accepts
    // any value, and never borrows a neighbour's row.
    ASSERT_FALSE(g.insert(std::vector{3.0, 4.0}, nullptr, rng));
    const Filter anything{"color", std::make_shared<const Predicate>([](const Metadata&) { return true; })};
    EXPECT_EQ(ids(search(g, {3.0, 4.0}, 5, &anything)), (Ids{1, 0}));
    EXPECT_EQ(ids(search(g, {3.0, 4.0}, 5)), (Ids{2, 1, 0}));  // 2 ties with 1 and goes before it
}

TEST(HNSWFilteredSearch, TypedEquality) {
    FakeRandom rng;
    HNSW g = make_index(1, 1, Metric::Euclidean, 200, 50, Schema{"a", "n"});
    const MetadataRow rows[] = {{{"x"s}, {0.0}}, {{"x"s}, {std::int64_t{10}}}, {{"x"s}, {10.0}}, {{"x"s}, {-0.0}}};
    for (double x = 0; const MetadataRow& row : rows) ASSERT_FALSE(g.insert(std::vector{x++}, &row, rng));
    const Filter int_ten = equals("n", {std::int64_t{10}});
    const Filter float_ten = equals("n", {10.0});
    const Filter zero = equals("n", {0.0});
    const Filter nan = equals("n", {std::numeric_limits<double>::quiet_NaN()});
    EXPECT_EQ(ids(search(g, {0.0}, 9, &int_ten)), Ids{1});
    EXPECT_EQ(ids(search(g, {0.0}, 9, &float_ten)), Ids{2});
    EXPECT_EQ(ids(search(g, {0.0}, 9, &zero)), (Ids{0, 3}));
    EXPECT_TRUE(search(g, {0.0}, 9, &nan).empty());
}

std::vector<std::uint64_t> drawn_levels(std::uint64_t layers, const std::vector<std::uint64_t>& words) {
    HNSW g = make_index(1, layers, Metric::Euclidean, 1, 1);
    FakeRandom rng(words);
    std::vector<std::uint64_t> levels;
    for (std::size_t i = 0; i <= words.size(); ++i) {
        EXPECT_FALSE(g.insert(std::vector{static_cast<double>(i)}, nullptr, rng));
        if (i > 0) levels.push_back(g.level(i));
    }
    return levels;
}

TEST(HNSWLevelDraw, FrequenciesFollowExponentialWeights) {
    constexpr std::size_t kDraws = 1000;
    std::vector<std::uint64_t> words;
    for (std::size_t i = 0; i < kDraws; ++i)
        words.push_back(static_cast<std::uint64_t>((i + 0.5) / kDraws * 0x1p53) << 11);
    std::array<double, 5> seen{};
    for (std::uint64_t level : drawn_levels(5, words)) seen.at(level) += 1.0 / kDraws;
    const std::array<double, 5> expected{0.6364, 0.2341, 0.0861, 0.0317, 0.0117};
    for (std::size_t j = 0; j < 5; ++j) EXPECT_NEAR(seen[j], expected[j], 1.5e-3) << "level " << j;
    EXPECT_EQ(drawn_levels(1, {0, ~0ULL}), (Ids{0, 0}));
}

TEST(HNSWLevelDraw, RunningSumMustExceedTheThresholdStrictly) {
    // Find the 53-bit draw whose threshold equals the first weight exactly.
    const double total = 1.0 + std::exp(-1.0);
    std::uint64_t exact = 0;
    const auto guess = static_cast<std::uint64_t>(0x1p53 / total);
    for (std::uint64_t k = guess - 64; k < guess + 64; ++k)
        if (total * (static_cast<double>(k) * 0x1p-53) == 1.0) exact = k;
    ASSERT_NE(exact, 0u);
    EXPECT_EQ(drawn_levels(2, {(exact - 1) << 11, exact << 11, ~0ULL, 0}), (Ids{0, 1, 1, 0}));
}

TEST(HNSWMake, WeightTableSizeLimits) {
    const auto with_layers = [](std::uint64_t layers) {
        return HNSW::make({2, layers, 16, 10, 10, Metric::Euclidean, std::nullopt}).has_value();
    };
    EXPECT_FALSE(with_layers(std::uint64_t{1} << 60));  // byte size overflows int64
    EXPECT_FALSE(with_layers(std::uint64_t{1} << 58));  // 2 EiB: cannot be allocated
    EXPECT_TRUE(with_layers(0));

    HNSW tall = make_index(2, std::uint64_t{1} << 16);
    FakeRandom rng;
    ASSERT_FALSE(tall.insert(std::vector{1.0, 2.0}, nullptr, rng));
    EXPECT_EQ(tall.level(0), (std::uint64_t{1} << 16) - 1);
    EXPECT_EQ(ids(search(tall, {0.0, 0.0}, 3)), Ids{0});
}

TEST(HNSWIntrospection, DimZeroAndUnknownIds) {
    HNSW g = make_index(0, 2);
    FakeRandom rng;
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(g.insert(std::span<const double>{}, nullptr, rng));
    EXPECT_EQ(g.size(), 3u);
    EXPECT_EQ(search(g, {}, 5).size(), 3u);
    EXPECT_TRUE(g.vector(0).empty());
    EXPECT_TRUE(g.neighbors(3).empty());
    EXPECT_STREQ(to_string(HNSWError::DimensionMismatch), "DimensionMismatch");
    EXPECT_STREQ(to_string(HNSWError::InvalidEF), "InvalidEF");
}

TEST(ThreadRandom, OneGeneratorPerThreadWithItsOwnStream) {
    RandomSource& mine = thread_random();
    EXPECT_EQ(&mine, &thread_random());
    const std::uint64_t a = mine.next_u64(), b = mine.next_u64();
    EXPECT_NE(a, b);
    std::uint64_t other = 0;
    RandomSource* other_source = nullptr;
    std::thread([&] {
        other_source = &thread_random();
        other = other_source->next_u64();
    }).join();
    EXPECT_NE(other_source, &mine);
    EXPECT_NE(other, a);
}

}  // namespace
}  // namespace ombrix
