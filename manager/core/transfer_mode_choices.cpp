#include "manager/core/transfer_mode_choices.h"

namespace halv {

std::vector<std::string> DmaModeChoices(int8_t code) {
    std::vector<std::string> choices;
    if (code > 0) {
        for (int m = code; m >= 0; --m) choices.push_back("UDMA-" + std::to_string(m));
        for (int m = 2; m >= 0; --m) choices.push_back("DMA-" + std::to_string(m));
    } else if (code < 0) {
        for (int m = -static_cast<int>(code); m >= 0; --m)
            choices.push_back("DMA-" + std::to_string(m));
    }
    return choices;
}

}  // namespace halv
