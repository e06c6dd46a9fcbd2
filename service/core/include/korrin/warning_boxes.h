// The monitor's warning boxes, shown without holding the monitor up. A box stays on screen until
// a person closes it, and under the Service Control Manager it may sit on a desktop that nobody
// looks at; the monitor must keep reading and logging meanwhile, and a stop must not wait for it.
#pragma once

#include <stdint.h>

#include <chrono>
#include <memory>

#include "korrin/platform.h"

namespace korrin {

class AsyncWarningBoxes final : public WarningBoxes {
  public:
    // `shown` shows one box and returns once it is closed; it must outlive every box it shows
    // (the program's own boxes live as long as the process).
    explicit AsyncWarningBoxes(WarningBoxes& shown);
    ~AsyncWarningBoxes() override;
    AsyncWarningBoxes(const AsyncWarningBoxes&) = delete;
    AsyncWarningBoxes& operator=(const AsyncWarningBoxes&) = delete;

    // Returns at once. The box is shown on a thread of its own, unless a box with the same
    // text is still open: a storm of one failure opens one box, not one per failure. An open
    // box is never waited for, also not when the program ends.
    void Show(uint32_t stringId) override;

    // Boxes open now (for the program's own checks and tests).
    int OpenCount() const;

    // Under the Service Control Manager the box is handed to the session at the console, whose
    // own process shows it, and `shown` returns at once without waiting for a person. From
    // then on each box is handed over on the calling thread: no thread of this process, which
    // may end a moment later (a warning at stop), stands between the warning and the box.
    // Whether a handed-over box is still open cannot be known, so a text is not handed over
    // again until `quiet` has passed since it last was.
    void HandOver(std::chrono::milliseconds quiet);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

// Writes the event-log entry of each warning that has one (WriteWarningMessage), then shows its
// box: a box may be missed or closed unread, the entry stays.
class LoggedWarningBoxes final : public WarningBoxes {
  public:
    LoggedWarningBoxes(WarningBoxes& shown, EventLog& log) : shown_(shown), log_(log) {}
    void Show(uint32_t stringId) override;

  private:
    WarningBoxes& shown_;
    EventLog& log_;
};

}  // namespace korrin
