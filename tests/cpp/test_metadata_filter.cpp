// Metadata equality (the operator and the equality predicate agree), and a
// filter's attribute resolution and node test.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "filter/filter.hpp"
#include "metadata/metadata.hpp"

namespace ombrix {
namespace {

using namespace std::string_literals;

struct EqualityCase {
    const char* name;
    friend void PrintTo(const EqualityCase& c, std::ostream* os) { *os << c.name; }
    Metadata a;
    Metadata b;
    bool equal;
};

class MetadataEquality : public ::testing::TestWithParam<EqualityCase> {};

// The filter predicate must agree with Metadata equality in both directions.
TEST_P(MetadataEquality, OperatorAndPredicateAgree) {
    const EqualityCase& c = GetParam();
    EXPECT_EQ(c.a == c.b, c.equal);
    EXPECT_EQ(c.b == c.a, c.equal);
    const auto predicate = make_equality_predicate(c.a);
    ASSERT_NE(predicate, nullptr);
    EXPECT_EQ((*predicate)(c.b), c.equal);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(Cases, MetadataEquality,
                         ::testing::Values(EqualityCase{"same_text", {"blue"s}, {"blue"s}, true},
                                           EqualityCase{"case_differs", {"blue"s}, {"Blue"s}, false},
                                           EqualityCase{"embedded_nul", {"a\0b"s}, {"a\0c"s}, false},
                                           EqualityCase{"prefix", {"ab"s}, {"a"s}, false},
                                           EqualityCase{"int_int", {std::int64_t{1}}, {std::int64_t{1}}, true},
                                           EqualityCase{"int_vs_float", {std::int64_t{1}}, {1.0}, false},
                                           EqualityCase{"text_vs_int", {"1"s}, {std::int64_t{1}}, false},
                                           EqualityCase{"nan_vs_nan", {kNaN}, {kNaN}, false},
                                           EqualityCase{"signed_zero", {-0.0}, {0.0}, true},
                                           EqualityCase{"int_extremes",
                                                        {std::numeric_limits<std::int64_t>::min()},
                                                        {std::numeric_limits<std::int64_t>::max()},
                                                        false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Metadata, TagFollowsAlternativeOrder) {
    EXPECT_EQ(Metadata{"x"s}.tag(), Metadata::Tag::String);
    EXPECT_EQ(Metadata{std::int64_t{3}}.tag(), Metadata::Tag::Int);
    EXPECT_EQ(Metadata{3.0}.tag(), Metadata::Tag::Float);
}

struct ResolveCase {
    const char* name;
    friend void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.name; }
    std::optional<Schema> schema;
    std::string attribute;
    SchemaCheck expected;
    std::size_t position;
};

class ResolveAttribute : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveAttribute, ChecksInOrderAndFindsFirstMatch) {
    const ResolveCase& c = GetParam();
    Filter filter{c.attribute, make_equality_predicate({std::int64_t{0}})};
    std::size_t position = 99;
    EXPECT_EQ(resolve_attribute(filter, c.schema, position), c.expected);
    if (c.expected == SchemaCheck::Ok) {
        EXPECT_EQ(position, c.position);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveAttribute,
    ::testing::Values(ResolveCase{"no_schema", std::nullopt, "a", SchemaCheck::NoSchema, 0},
                      ResolveCase{"empty_schema", Schema{}, "a", SchemaCheck::EmptySchema, 0},
                      ResolveCase{"case_differs", Schema{"Color"}, "color", SchemaCheck::AttributeNotFound, 0},
                      ResolveCase{"trailing_space", Schema{"a "}, "a", SchemaCheck::AttributeNotFound, 0},
                      ResolveCase{"first_duplicate", Schema{"b", "a", "a"}, "a", SchemaCheck::Ok, 1},
                      ResolveCase{"empty_name", Schema{"x", ""}, "", SchemaCheck::Ok, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NodePasses, MissingRowOrValueOrPredicateFails) {
    const Filter filter{"a", make_equality_predicate({std::int64_t{7}})};
    const MetadataRow row{{"x"s}, {std::int64_t{7}}};
    EXPECT_TRUE(node_passes(filter, 1, row));
    EXPECT_FALSE(node_passes(filter, 0, row));
    EXPECT_FALSE(node_passes(filter, 2, row));  // row shorter than the schema
    EXPECT_FALSE(node_passes(filter, 0, {}));   // node stored without a row
    EXPECT_FALSE(node_passes(Filter{"a", nullptr}, 1, row));
}

}  // namespace
}  // namespace ombrix
