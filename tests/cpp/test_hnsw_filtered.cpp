// Filtered search through the equality index against the plain definition:
// the index against a scan of the stored rows, and filtered searches against
// the full traversal, which tests the predicate at every meeting.
#include <gtest/gtest.h>

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
    static const std::vector<Metadata> pool{
        {""s}, {"a"s}, {"A"s}, {"é"s}, {"日本"s}, {"a\0b"s}, {"a\0c"s},
        {std::int64_t{0}}, {std::int64_t{1}}, {std::int64_t{-1}}, {kMin}, {kMax},
        {0.0}, {-0.0}, {1.0}, {kNaN}, {1e308}, {-1e308}, {kInf}, {5e-324}};
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

}  // namespace
}  // namespace ombrix
