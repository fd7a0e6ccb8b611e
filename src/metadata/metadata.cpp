// Metadata equality, its hash, and copies that survive allocation failure.
#include "metadata/metadata.hpp"

#include <bit>
#include <functional>
#include <string_view>

namespace ombrix {
namespace {

// splitmix64's finaliser: every input bit moves every output bit.
std::uint64_t mix(std::uint64_t z) noexcept {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

bool operator==(const Metadata& a, const Metadata& b) noexcept {
    // std::variant compares the alternative first, then the payloads with
    // their own ==, which for double is IEEE equality.
    return a.value == b.value;
}

std::uint64_t hash_metadata(const Metadata& value) noexcept {
    const std::uint64_t tag = static_cast<std::uint64_t>(value.tag()) * 0x9E3779B97F4A7C15ULL;
    if (const auto* text = std::get_if<std::string>(&value.value))
        return mix(std::hash<std::string_view>{}(*text) + tag);
    if (const auto* integer = std::get_if<std::int64_t>(&value.value))
        return mix(static_cast<std::uint64_t>(*integer) + tag);
    // -0.0 == 0.0, so both hash as 0.0.
    const double number = std::get<double>(value.value);
    return mix(std::bit_cast<std::uint64_t>(number == 0.0 ? 0.0 : number) + tag);
}

Metadata copy_metadata(const Metadata& value) {
    if (const auto* text = std::get_if<std::string>(&value.value)) return Metadata{std::string(*text)};
    return value;  // Int and Float copies cannot throw
}

}  // namespace ombrix
