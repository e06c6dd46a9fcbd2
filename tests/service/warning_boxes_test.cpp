// The monitor's warning boxes on threads of their own: the caller never waits, and one text is
// on screen at most once.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "fakes.h"
#include "korrin/messages.h"
#include "korrin/warning_boxes.h"

namespace korrin {
namespace {

TEST(AsyncBoxes, ShowReturnsWhileTheBoxIsOpenAndOneTextOpensOnce) {
    test::BlockingBoxes screen;
    AsyncWarningBoxes boxes(screen);
    for (int i = 0; i < 100; ++i) boxes.Show(IDS_READ_EVENTS_FAILED);
    boxes.Show(IDS_LOG_FAILED);
    ASSERT_TRUE(screen.AwaitOpen(2));
    EXPECT_EQ(boxes.OpenCount(), 2);
    std::vector<uint32_t> shown = screen.Shown();
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, (std::vector<uint32_t>{IDS_READ_EVENTS_FAILED, IDS_LOG_FAILED}));
    screen.CloseAll();
    EXPECT_FALSE(screen.timedOut);
}

TEST(AsyncBoxes, ClosedTextMayBeShownAgain) {
    test::BlockingBoxes screen;
    AsyncWarningBoxes boxes(screen);
    boxes.Show(IDS_READ_EVENTS_FAILED);
    ASSERT_TRUE(screen.AwaitOpen(1));
    screen.CloseAll();
    for (int i = 0; i < 500 && boxes.OpenCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(boxes.OpenCount(), 0);
    boxes.Show(IDS_READ_EVENTS_FAILED);
    ASSERT_TRUE(screen.AwaitOpen(1));
    EXPECT_EQ(screen.Shown().size(), 2u);
    screen.CloseAll();
}

TEST(AsyncBoxes, BoxOutlivesItsPresenter) {
    // The program ends (and its objects go) while a box nobody closed is still up.
    test::BlockingBoxes screen;
    {
        AsyncWarningBoxes boxes(screen);
        boxes.Show(IDS_UNLOAD_BRIDGE_FAILED);
        ASSERT_TRUE(screen.AwaitOpen(1));
    }
    EXPECT_EQ(screen.Open(), 1);
    screen.CloseAll();
}

}  // namespace
}  // namespace korrin
