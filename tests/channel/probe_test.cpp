// Finding the adapters: the NT probe over \\.\Scsi0: .. \\.\Scsi8: and the Windows 9x count.
#include <gtest/gtest.h>

#include "channel/miniport_channel.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

using namespace channel;

struct Probe : ::testing::Test {
    void TearDown() override { EXPECT_EQ(io.OpenHandles(), 0u); }
    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    MiniportChannel channel{io};
};

TEST_F(Probe, NoAdapterAtAll) {
    EXPECT_EQ(channel.ProbeNt(), 0);
    ASSERT_EQ(io.OpenAttempts().size(), 9u);
    EXPECT_EQ(io.OpenAttempts().front(), "\\\\.\\Scsi0:");
    EXPECT_EQ(io.OpenAttempts().back(), "\\\\.\\Scsi8:");  // \\.\Scsi9: is never tried
}

TEST_F(Probe, AnAdapterAtScsi3AloneBecomesAdapterZero) {
    sim::AddAdapter(*pop, 3, 0x6A12, 2, 1);
    sim::AddAdapter(*pop, 9, 0x6A12, 2, 1);  // beyond the names probed
    EXPECT_EQ(channel.ProbeNt(), 1);
    EXPECT_STREQ(channel.AdapterName(0), "\\\\.\\Scsi3:");
    EXPECT_STREQ(channel.AdapterName(1), "");
    EXPECT_EQ(pop->adapters[9].counters.opens, 0u);
}

TEST_F(Probe, ForeignAndUnopenableDevicesAreSkipped) {
    sim::AddAdapter(*pop, 0, 0x1234, 1, 1).foreign = 1;
    sim::AddAdapter(*pop, 1, 0x6A11, 1, 1).openFails = 1;
    sim::AddAdapter(*pop, 4, 0x6A11, 1, 1);
    sim::InjectFault(sim::AddAdapter(*pop, 5, 0x6A11, 1, 1), MPCMD_GET_ADAPTER_COUNT,
                     sim::kFaultCallFails);
    sim::AddAdapter(*pop, 6, 0x6A11, 1, 1);
    EXPECT_EQ(channel.ProbeNt(), 2);
    EXPECT_STREQ(channel.AdapterName(0), "\\\\.\\Scsi4:");
    EXPECT_STREQ(channel.AdapterName(1), "\\\\.\\Scsi6:");
    EXPECT_EQ(pop->adapters[0].counters.closes, 1u);  // the foreign device was closed again
}

TEST_F(Probe, ReturnCodeIsNotExaminedOnNt) {
    sim::InjectFault(sim::AddAdapter(*pop, 2, 0x6A11, 1, 1), MPCMD_GET_ADAPTER_COUNT,
                     sim::kFaultReturnCodeOff, -5);
    EXPECT_EQ(channel.ProbeNt(), 1);
}

TEST_F(Probe, AtMostFourAdaptersAreRecorded) {
    for (int i = 0; i < 9; ++i) sim::AddAdapter(*pop, i, 0x6A21, 1, 1);
    int firstCalls = 0;
    EXPECT_EQ(channel.ProbeNt([&](const OpenDevice& d) {
        ++firstCalls;
        EXPECT_TRUE(d.valid());
    }),
              4);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_STREQ(channel.AdapterName(3), "\\\\.\\Scsi3:");
    EXPECT_EQ(pop->adapters[4].counters.opens, 0u);  // the probe stops once the tables are full
}

TEST_F(Probe, LegacyCountNamesAdaptersByNumber) {
    pop->legacyDevice = 1;
    sim::AddAdapter(*pop, 0, 0x6A21, 1, 1);
    sim::AddAdapter(*pop, 1, 0x6A22, 1, 1);
    bool asked = false;
    EXPECT_EQ(channel.ProbeLegacy([&](const OpenDevice&) { asked = true; }), 2);
    EXPECT_TRUE(asked);
    EXPECT_TRUE(channel.LegacyPlatform());
    // Both adapters are reached through the shared device.
    EXPECT_EQ(channel.QuerySmartState(1, 0, 0), 3);
    EXPECT_EQ(pop->legacyCounters.opens, 2u);
    EXPECT_EQ(pop->adapters[1].counters.opens, 0u);
}

TEST_F(Probe, LegacyFailuresAndOversizedCounts) {
    EXPECT_EQ(channel.ProbeLegacy(), 0);  // \\.\KIRNDEV does not open
    pop->legacyDevice = 1;
    bool asked = false;
    EXPECT_EQ(channel.ProbeLegacy([&](const OpenDevice&) { asked = true; }), 0);  // count 0
    EXPECT_FALSE(asked);
    pop->legacyCountOverride = 7;
    EXPECT_EQ(channel.ProbeLegacy(), 4);
    sim::InjectFault(sim::AddAdapter(*pop, 0, 0x6A21, 1, 1), MPCMD_GET_ADAPTER_COUNT,
                     sim::kFaultCallFails);
    EXPECT_EQ(channel.ProbeLegacy(), 0);
}

}  // namespace
