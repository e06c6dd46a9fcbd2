// The monitor's warning boxes, shown without holding the monitor up. A box stays on screen until
// a person closes it, and under the Service Control Manager it may sit on a desktop that nobody
// looks at; the monitor must keep reading and logging meanwhile, and a stop must not wait for it.
#pragma once

#include <stdint.h>

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

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace korrin
