// halvctl metrics: what one discovery and the list's requests found, as the Prometheus text
// exposition format (version 0.0.4) that a textfile collector serves.
//
// A value whose request failed is unknown, and an unknown value is never written as a
// number: its sample is left out and the matching halv_*_readable series says 0. The
// snapshot below keeps that distinction explicit (std::optional is "known"), so that the
// writer cannot turn a failed request into a value.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manager/cli/core/halvctl.h"
#include "manager/cli/core/inventory.h"
#include "manager/cli/core/readings.h"

namespace halvctl {

struct AdapterMetrics {
    int adapter = 0;
    bool shown = false;     // discovery read it (it is in HALV's tree)
    bool readable = false;  // shown, and its driver and BIOS versions are known
    std::string scsiPort;   // "scsi2"; "" in Windows 9x mode, where no adapter has one
    std::string model, chip, pciDeviceId;
    std::optional<std::string> biosVersion, driverVersion;
};

struct DeviceMetrics {
    int adapter = 0, port = 0, device = 0;
    bool shown = false;  // its device-information request answered (else nothing is known)
    bool readable = false;
    std::string kind, model, serial, firmware, transferMode;
    std::optional<uint64_t> capacityBytes;  // none for an optical drive
    // 0 not enabled, 1 functional, 2 predictive error, 3 not supported. Unknown when the
    // S.M.A.R.T. request failed or answered a state that means nothing.
    std::optional<unsigned> smartState;
};

struct EnclosureMetrics {
    int adapter = 0, port = 0;
    bool readable = false;   // its enclosure request answered
    bool supported = false;  // of a type HALV reads (one or two fans)
    std::string type;
    std::optional<unsigned> bay;
    std::vector<unsigned> temperaturesCelsius;  // sensor 1, 2
    std::vector<unsigned> fansRpm;              // fan 1, 2
    unsigned millivolts5 = 0, millivolts12 = 0;
};

// A SCSI port device the probe went through: one an adapter answered on (open), or one that
// exists and refused to open, which may hide an adapter of ours.
struct ScsiPortMetrics {
    std::string scsiPort;    // "scsi1"; "" for the Windows 9x device
    std::string deviceName;  // "\\.\Scsi1:"
    bool open = false;
};

struct MetricsSnapshot {
    bool up = false;   // discovery ran
    int adapters = 0;  // adapters that answered the probe, read or not
    std::vector<ScsiPortMetrics> scsiPorts;
    std::vector<AdapterMetrics> adapterList;
    std::vector<DeviceMetrics> devices;
    std::vector<EnclosureMetrics> enclosures;
    double collectSeconds = 0;    // set by the caller, which owns the clock
    double timestampSeconds = 0;  // Unix time of the collection
};

// Reads what `show` reads of the adapters and devices the inventory's discovery found, through
// the same readings (readings.h): each adapter's BIOS version, each device's S.M.A.R.T. state
// and the enclosure of each port with a disk, asked once. What could not be read is added to
// `unknowns` in the words show uses.
MetricsSnapshot CollectMetrics(Inventory& inventory, Unknowns* unknowns = nullptr);

// The exposition text: # HELP and # TYPE for every family, one sample a line, a newline at
// the end. A snapshot that is not up gives halv_up 0 and the collection's time only.
std::string MetricsText(const MetricsSnapshot& snapshot);

// A label value as the format requires it: backslash, double quote and line feed escaped,
// other control characters as '?', bytes that do not form UTF-8 as U+FFFD.
std::string EscapeLabelValue(std::string_view text);
// A sample value: integers without a fraction, others in the shortest form that reads back
// to the same double.
std::string SampleValue(double value);

// "halvctl metrics --help".
extern const char kMetricsHelp[];

// The metrics command after its command line was checked: discovery, the requests, the text
// on standard output or, with `textfileDir`, in textfileDir/halv.prom, written under another
// name in that folder and renamed onto it only once whole. Exit codes as show's.
int RunMetrics(HalvctlPorts& ports, const std::optional<std::string>& textfileDir);

}  // namespace halvctl
