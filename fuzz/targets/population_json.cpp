// The population loader over arbitrary text. A text it refuses leaves the population cleared
// and says why; a text it takes gives a population whose header is intact and which the
// simulator then serves to a whole discovery pass and to event reads, with every device
// handle closed again.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "channel/miniport_channel.h"
#include "fuzz_check.h"
#include "fuzz_tree.h"
#include "manager/core/discovery.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

class NoQueuedCommands final : public halv::QueuedCommandStore {
  public:
    uint8_t QueuedCommandSetting(uint8_t) override { return halv::kQueuedCommandUnreadable; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One population for every run: it is large, and loading clears it first.
    static const std::unique_ptr<sim::SimPopulation> cleared = sim::NewPopulation();
    static const std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    std::memset(pop.get(), 0x5A, sizeof *pop);  // whatever the last run left

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const bool loaded = sim::LoadPopulationJson(text, *pop, &error);
    if (!loaded) {
        FUZZ_CHECK(!error.empty(), "refused without a reason");
        FUZZ_CHECK(std::memcmp(pop.get(), cleared.get(), sizeof *pop) == 0,
                   "a refused population is not cleared (%s)", error.c_str());
        return 0;
    }
    FUZZ_CHECK(pop->magic == sim::kPopulationMagic && pop->size == sizeof *pop,
               "population header damaged");
    for (const sim::SimAdapter& a : pop->adapters)
        FUZZ_CHECK(a.queuedEvents <= static_cast<uint32_t>(sim::kEventQueue), "%u queued events",
                   a.queuedEvents);

    // Serve what was loaded: discovery on the NT family, then on Windows 9x when the
    // population has its device, and every adapter's events.
    sim::SimDeviceAccess io(*pop);
    for (uint32_t platform : {2u, 1u}) {
        if (platform == 1 && !pop->legacyDevice) break;
        channel::MiniportChannel ch(io);
        halv_fuzz::FuzzTree tree;
        sim::FixedSystemVersion version(platform);
        NoQueuedCommands queued;
        halv::DiscoveryPorts ports{ch, version, tree, queued, {}};
        auto tables = std::make_unique<halv::ManagerTables>();
        halv::EnumerateAdapters(*tables, ports);
        FUZZ_CHECK(io.OpenHandles() == 0, "%zu handles left open by discovery", io.OpenHandles());
        std::vector<uint8_t> buffer(channel::events::kSize);
        for (int a = 0; a < channel::kMaxAdapters; ++a) {
            for (int read = 0; read < 8; ++read) {
                const uint32_t n = ch.ReadEvents(static_cast<uint8_t>(a), buffer);
                FUZZ_CHECK(n <= 20, "%u records in one reply", n);
                if (n == 0) break;
            }
        }
        FUZZ_CHECK(io.OpenHandles() == 0, "%zu handles left open by reads", io.OpenHandles());
    }
    FUZZ_CHECK(pop->magic == sim::kPopulationMagic && pop->size == sizeof *pop,
               "population header damaged while serving");
    return 0;
}
