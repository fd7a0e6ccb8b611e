// Typed metadata values, the schema and the per-vector row.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace ombrix {

// One attribute value. The variant's alternative order is the tag order:
// String (UTF-8 bytes), Int, Float.
struct Metadata {
    enum class Tag : std::uint8_t { String = 0, Int = 1, Float = 2 };
    using Value = std::variant<std::string, std::int64_t, double>;

    Value value;

    Tag tag() const noexcept { return static_cast<Tag>(value.index()); }
};

// Equal only with the same alternative and an equal payload: Int 1 differs
// from Float 1.0, floats compare by IEEE == (NaN equals nothing, -0.0 equals
// 0.0), strings byte for byte.
bool operator==(const Metadata& a, const Metadata& b) noexcept;

// A hash consistent with that equality: equal values hash alike (-0.0 as
// 0.0). A NaN equals nothing, so its hash means nothing.
std::uint64_t hash_metadata(const Metadata& value) noexcept;

// A copy of `value` that is safe when allocation fails. libstdc++ 12 treats
// this variant as never valueless, so a string copy throwing inside the
// variant's own copy constructor is undefined behaviour; here the string is
// copied first and then moved in.
Metadata copy_metadata(const Metadata& value);

// One value per schema name, in schema order.
using MetadataRow = std::vector<Metadata>;
// Attribute names in their given order; duplicates and empty names allowed.
using Schema = std::vector<std::string>;

}  // namespace ombrix
