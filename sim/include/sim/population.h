// Building simulated populations: from code (tests) and from a JSON text file (the demo,
// the end-to-end harness). User mode only.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sim/sim_core.h"

namespace sim {

// A cleared population on the heap (the struct is large: a BIOS image per position).
std::unique_ptr<SimPopulation> NewPopulation();

// Parses a population description (JSON, see sim/populations/default.json) into `out`,
// which is cleared first. On failure returns false and says why in `error`.
bool LoadPopulationJson(std::string_view text, SimPopulation& out, std::string* error);
bool LoadPopulationFile(const std::string& path, SimPopulation& out, std::string* error);

// The population shipped for the demo and the tests (sim/populations/default.json).
std::string_view DefaultPopulationJson();

// Builders for tests.
SimAdapter& AddAdapter(SimPopulation& pop, int position, uint32_t pciDeviceId, uint16_t ports,
                       uint16_t devicesPerPort, const char* name = "");
SimDevice& AddDisk(SimAdapter& adapter, int port, int device, const char* model,
                   const char* serial = "SN0001", const char* firmware = "FW01");
SimDevice& AddOptical(SimAdapter& adapter, int port, int device, const char* model);
SimEnclosure& AddEnclosure(SimAdapter& adapter, int port, uint8_t type);
// Makes `command` fail on this adapter: the call fails, or ReturnCode is off by `delta`.
void InjectFault(SimAdapter& adapter, uint32_t command, FaultKind kind, int32_t delta = 0);

}  // namespace sim
