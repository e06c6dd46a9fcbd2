// Population files whose numbers do not fit their fields (found by the population loader's
// fuzz target and the reading that followed it): each is refused with a reason and leaves the
// population cleared, instead of being cut to fit or converted with undefined behaviour.
#include <gtest/gtest.h>

#include <string>

#include "sim/population.h"

namespace {

TEST(PopulationLimits, NumbersThatDoNotFitAreRefused) {
    auto pop = sim::NewPopulation();
    const char* const kBad[] = {
        // A fraction far beyond int for a fault's delta: the conversion was undefined
        // (UBSan: "1e+300 is outside the range of representable values of type 'int'").
        R"({"adapters":[{"position":0,"faults":[{"command":1,"delta":1e300}]}]})",
        R"({"adapters":[{"position":0,"faults":[{"command":1,"delta":0.5}]}]})",
        R"({"adapters":[{"position":0,"faults":[{"command":1,"delta":2147483648}]}]})",
        R"({"adapters":[{"position":0,"faults":[{"command":1,"delta":"x"}]}]})",
        // 2^32 was read as position 0, a port 2^32 + 1 as port 1.
        R"({"adapters":[{"position":4294967296}]})",
        R"({"adapters":[{"position":0,"devices":[{"port":4294967297,"device":0}]}]})",
        R"({"adapters":[{"position":-1}]})",
        // Values wrapped into 16 and 8 bits.
        R"({"adapters":[{"position":0,"devices":[{"port":0,"device":0,"chs":[70000,16,63]}]}]})",
        R"({"adapters":[{"position":0,"devices":[{"port":0,"device":0,"chs":[1,256,63]}]}]})",
        R"({"adapters":[{"position":0,"enclosures":[{"port":0,"fans":[65536]}]}]})",
        R"({"adapters":[{"position":0,"driver_version":[1,0,0,65536]}]})",
        R"({"legacy_count":4294967296})",
        R"({"legacy_count":1.5})",
    };
    for (const char* text : kBad) {
        std::string error;
        EXPECT_FALSE(sim::LoadPopulationJson(text, *pop, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_FALSE(pop->adapters[0].exists) << text;
        EXPECT_EQ(pop->legacyCountOverride, -1) << text;
    }
}

TEST(PopulationLimits, TheWholeRangeOfEachFieldStillLoads) {
    auto pop = sim::NewPopulation();
    std::string error;
    ASSERT_TRUE(sim::LoadPopulationJson(
        R"({"legacy_count":"-1","adapters":[{"position":9,"driver_version":[65535,0,0,65535],
             "faults":[{"command":1,"kind":"return_code_off","delta":-2147483648},
                       {"command":2,"kind":"return_code_off","delta":"0x7FFFFFFF"}],
             "devices":[{"port":7,"device":11,"chs":[65535,255,255]}],
             "enclosures":[{"port":7,"fans":[65535,0]}]}]})",
        *pop, &error))
        << error;
    const sim::SimAdapter& a = pop->adapters[9];
    EXPECT_EQ(pop->legacyCountOverride, -1);
    EXPECT_EQ(a.versionPart[0], 65535);
    EXPECT_EQ(a.faults[sim::CommandIndex(1)].delta, INT32_MIN);
    EXPECT_EQ(a.faults[sim::CommandIndex(2)].delta, INT32_MAX);
    EXPECT_EQ(a.devices[7][11].cylinders, 65535);
    EXPECT_EQ(a.devices[7][11].heads, 255);
    EXPECT_EQ(a.enclosures[7].fan1Rpm, 65535);
    ASSERT_TRUE(sim::LoadPopulationJson(R"({"legacy_count":3})", *pop, &error)) << error;
    EXPECT_EQ(pop->legacyCountOverride, 3);
}

}  // namespace
