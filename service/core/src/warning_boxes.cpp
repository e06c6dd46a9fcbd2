#include "korrin/warning_boxes.h"

#include <mutex>
#include <set>
#include <system_error>
#include <thread>

namespace korrin {

// Shared with every box thread, so that it lives until the last box has been closed.
struct AsyncWarningBoxes::State {
    explicit State(WarningBoxes& b) : boxes(b) {}
    WarningBoxes& boxes;
    mutable std::mutex lock;
    std::set<uint32_t> open;
};

AsyncWarningBoxes::AsyncWarningBoxes(WarningBoxes& shown)
    : state_(std::make_shared<State>(shown)) {}

AsyncWarningBoxes::~AsyncWarningBoxes() = default;

void AsyncWarningBoxes::Show(uint32_t stringId) {
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        if (!state_->open.insert(stringId).second) return;  // that text is on screen already
    }
    try {
        std::thread([state = state_, stringId] {
            state->boxes.Show(stringId);
            std::lock_guard<std::mutex> hold(state->lock);
            state->open.erase(stringId);
        }).detach();
    } catch (const std::system_error&) {
        // No thread for the box: it is not shown, for showing it here would stop the monitor.
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->open.erase(stringId);
    }
}

int AsyncWarningBoxes::OpenCount() const {
    std::lock_guard<std::mutex> hold(state_->lock);
    return static_cast<int>(state_->open.size());
}

}  // namespace korrin
