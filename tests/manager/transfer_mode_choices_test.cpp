// The modes the transfer-mode dialog offers, from the code the list wrote for the device.
#include <gtest/gtest.h>

#include "manager/core/transfer_mode_choices.h"

namespace {

using halv::DmaModeChoices;
using Choices = std::vector<std::string>;

TEST(DmaModeChoices, UdmaDeviceOffersItsUdmaModesThenTheDmaModes) {
    EXPECT_EQ(DmaModeChoices(6), (Choices{"UDMA-6", "UDMA-5", "UDMA-4", "UDMA-3", "UDMA-2",
                                          "UDMA-1", "UDMA-0", "DMA-2", "DMA-1", "DMA-0"}));
    EXPECT_EQ(DmaModeChoices(1), (Choices{"UDMA-1", "UDMA-0", "DMA-2", "DMA-1", "DMA-0"}));
}

TEST(DmaModeChoices, DmaDeviceOffersItsModesDownToZero) {
    EXPECT_EQ(DmaModeChoices(-2), (Choices{"DMA-2", "DMA-1", "DMA-0"}));
    EXPECT_EQ(DmaModeChoices(-128).size(), 129u);  // the lowest code still counts down to 0
}

TEST(DmaModeChoices, PioOnlyOrUdmaZeroOffersNothing) {
    EXPECT_TRUE(DmaModeChoices(0).empty());
}

}  // namespace
