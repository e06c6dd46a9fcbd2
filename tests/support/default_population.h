// What the shipped default population looks like to the manager. The adapter tree reads as
// FakeTree::Dump and the end-to-end tests print it ("text [image]", two blanks a level).
#pragma once

#include <string>
#include <vector>

namespace halv::testing {

inline constexpr char kDefaultPopulationTree[] =
    "Torvale HBA List [0]\n"
    "  Velo300 Duo Plus [1]\n"
    "    Port-1 [2]\n"
    "      KESTREL KD160S [3]\n"
    "    Port-2 [2]\n"
    "      KESTREL KD250S [3]\n"
    "    Port-3 [2]\n"
    "      LUMEN DVR-118 [4]\n"
    "    Port-4 [2]\n"
    "  Velo150 Quad Rack [1]\n"
    "    Port-1 [2]\n"
    "      ORLO OD80T [3]\n"
    "    Port-2 [2]\n"
    "      KESTREL KD500S [3]\n"
    "      KESTREL KD500S [3]\n"
    "    Port-3 [2]\n"
    "    Port-4 [2]\n"
    "      ORLO OD40P [3]\n";

// The information list of its first disk, KESTREL KD160S on adapter 0, port 0, in a two-fan
// enclosure: "item|value|info type [image]" per row.
inline const std::vector<std::string> kDefaultFirstDiskRows = {
    " Model Name|KESTREL KD160S|Drive [0]",
    " Serial No|KD1604A7731|Drive [0]",
    " Firmware Version|3.AAE|Drive [0]",
    " Geometry(C/H/S)|16383/16/63|Drive [0]",
    " Capacity|LBA = 312581808 ,  156 GB|Drive [0]",
    " Transfer Mode|UDMA-6|Drive [1]",
    " Smart Status|Functional|Drive [0]",
    " Type|Drivecove5200|SwapBox [0]",
    " Location|Bay-3|SwapBox [0]",
    " Fan(RPM)|3000|SwapBox [0]",
    " Fan2(RPM)|3120|SwapBox [0]",
    " Temperature(C/F)|40/104|SwapBox [0]",
    " Temperature2(C/F)|38/100|SwapBox [0]",
    " Vol.(5/12V)|5.012/12.05|SwapBox [0]",
};

}  // namespace halv::testing
