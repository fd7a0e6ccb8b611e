#include "metadata/metadata.hpp"

namespace ombrix {

bool operator==(const Metadata& a, const Metadata& b) noexcept {
    // std::variant compares the alternative first, then the payloads with
    // their own ==, which for double is IEEE equality.
    return a.value == b.value;
}

}  // namespace ombrix
