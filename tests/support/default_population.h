// What the shipped default population looks like to the manager: its adapter tree as
// FakeTree::Dump and the end-to-end tests print it ("text [image]", two blanks a level).
#pragma once

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

}  // namespace halv::testing
