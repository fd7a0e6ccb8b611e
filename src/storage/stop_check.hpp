// How a long core call (a create of many vectors) asks its caller whether to
// stop early, e.g. because Ctrl-C was pressed; what was stored so far stays.
#pragma once

namespace ombrix {

struct StopCheck {
    bool (*requested)(void* context) noexcept = nullptr;
    void* context = nullptr;

    bool stop_requested() const noexcept { return requested && requested(context); }
};

}  // namespace ombrix
