#include "metadata/metadata.hpp"

namespace ombrix {

bool operator==(const Metadata& a, const Metadata& b) noexcept {
    // std::variant compares the alternative first, then the payloads with
    // their own ==, which for double is IEEE equality.
    return a.value == b.value;
}

Metadata copy_metadata(const Metadata& value) {
    if (const auto* text = std::get_if<std::string>(&value.value)) return Metadata{std::string(*text)};
    return value;  // Int and Float copies cannot throw
}

}  // namespace ombrix
