// halvctl metrics' cost (a benchmark, not a test): the time of one collection (discovery, the
// requests, the text) and the requests it sends, against the requests of discovery alone (the
// least any collection needs), for the simulator's default population and for four adapters
// with every port full. Run by scripts/bench-metrics.sh.
#include <chrono>
#include <cstdio>
#include <string>

#include "manager/cli/core/inventory.h"
#include "manager/cli/core/metrics.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"

namespace {

uint32_t Requests(const sim::SimPopulation& pop) {
    uint32_t n = pop.legacyCounters.requests;
    for (const sim::SimAdapter& a : pop.adapters) n += a.counters.requests;
    return n;
}

// Four adapters at \\.\Scsi0: .. \\.\Scsi3:, each with the most ports and devices per port
// HALV holds, every slot a S.M.A.R.T.-enabled disk and every port an enclosure of two fans.
std::string FullPopulation() {
    std::string j = "{\"adapters\":[";
    for (int a = 0; a < channel::kMaxAdapters; ++a) {
        j += std::string(a ? "," : "") + "{\"position\":" + std::to_string(a) +
             ",\"pci_device_id\":\"0x6A31\",\"driver_version\":[1,0,0,21],\"ports\":" +
             std::to_string(channel::kMaxPorts) +
             ",\"devices_per_port\":" + std::to_string(channel::kMaxDevicesPerPort) +
             ",\"devices\":[";
        for (int p = 0; p < channel::kMaxPorts; ++p)
            for (int d = 0; d < channel::kMaxDevicesPerPort; ++d)
                j += std::string(p || d ? "," : "") + "{\"port\":" + std::to_string(p) +
                     ",\"device\":" + std::to_string(d) +
                     ",\"model\":\"KESTREL KD160S\",\"serial\":\"S" + std::to_string(a) +
                     std::to_string(p) + std::to_string(d) +
                     "\",\"firmware\":\"3.AAE\",\"udma\":6,\"dma\":2,\"chs\":[16383,16,63],"
                     "\"capacity\":312581808,\"smart\":1}";
        j += "],\"enclosures\":[";
        for (int p = 0; p < channel::kMaxPorts; ++p)
            j += std::string(p ? "," : "") + "{\"port\":" + std::to_string(p) +
                 ",\"type\":4,\"bay\":\"0x35\",\"temperatures\":[40,38],\"fans\":[3000,3120],"
                 "\"voltages\":[5012,12050]}";
        j += "]}";
    }
    return j + "]}";
}

void Measure(const char* name, const std::string& json, int rounds) {
    auto pop = sim::NewPopulation();
    std::string error;
    if (!sim::LoadPopulationJson(json, *pop, &error)) {
        std::fprintf(stderr, "%s: %s\n", name, error.c_str());
        return;
    }
    sim::SimDeviceAccess io(*pop);
    sim::FixedSystemVersion nt(2);

    uint32_t before = Requests(*pop);
    {
        halvctl::Inventory inv(io);
        inv.Discover(nt);
    }
    const uint32_t discovery = Requests(*pop) - before;

    before = Requests(*pop);
    size_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) {
        halvctl::Inventory inv(io);
        inv.Discover(nt);
        bytes = halvctl::MetricsText(halvctl::CollectMetrics(inv)).size();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint32_t collection = (Requests(*pop) - before) / rounds;
    std::printf("%-28s %8.3f ms/collection  %4u requests (discovery alone %u, +%u)  %zu bytes\n",
                name, 1000 * seconds / rounds, collection, discovery, collection - discovery,
                bytes);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::stoi(argv[1]) : 200;
    Measure("default population", std::string(sim::DefaultPopulationJson()), rounds);
    Measure("4 adapters, every port full", FullPopulation(), rounds / 4 > 0 ? rounds / 4 : 1);
    return 0;
}
