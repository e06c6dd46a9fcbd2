#include "korrin/warning_boxes.h"

#include <map>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "korrin/messages.h"

namespace korrin {

// Shared with every box thread, so that it lives until the last box has been closed.
struct AsyncWarningBoxes::State {
    explicit State(WarningBoxes& b) : boxes(b) {}
    WarningBoxes& boxes;
    mutable std::mutex lock;
    std::set<uint32_t> open;
    bool handOver = false;
    std::chrono::milliseconds quiet{0};
    std::map<uint32_t, std::chrono::steady_clock::time_point> handedOver;
};

AsyncWarningBoxes::AsyncWarningBoxes(WarningBoxes& shown)
    : state_(std::make_shared<State>(shown)) {}

AsyncWarningBoxes::~AsyncWarningBoxes() = default;

void AsyncWarningBoxes::HandOver(std::chrono::milliseconds quiet) {
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->handOver = true;
    state_->quiet = quiet;
}

void AsyncWarningBoxes::Show(uint32_t stringId) {
    bool handOver = false;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        handOver = state_->handOver;
        if (handOver) {
            const auto now = std::chrono::steady_clock::now();
            const auto last = state_->handedOver.find(stringId);
            if (last != state_->handedOver.end() && now - last->second < state_->quiet) return;
            state_->handedOver[stringId] = now;
        } else if (!state_->open.insert(stringId).second) {
            return;  // that text is on screen already
        }
    }
    if (handOver) {
        state_->boxes.Show(stringId);  // returns at once (see HandOver)
        return;
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

void LoggedWarningBoxes::Show(uint32_t stringId) {
    WriteWarningMessage(log_, stringId);
    shown_.Show(stringId);
}

}  // namespace korrin
