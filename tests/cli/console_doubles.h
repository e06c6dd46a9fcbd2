// Test doubles of halvctl's console and file placement, shared by the command tests and the
// metrics tests: the console keeps what was printed, the placement acts on the real files.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "manager/cli/core/halvctl.h"

namespace halvctl_test {

class RecordingConsole final : public halvctl::Console {
  public:
    void Out(std::string_view text) override { out += text; }
    void Err(std::string_view text) override { err += text; }
    std::string out, err;
};

class FsPlacement final : public halvctl::FilePlacement {
  public:
    bool Exists(const std::string& path) override { return std::filesystem::exists(path); }
    // Without `replace` a file of the target's name is never overwritten: link fails on it.
    bool Move(const std::string& from, const std::string& to, bool replace) override {
        if (!replace) return link(from.c_str(), to.c_str()) == 0 && unlink(from.c_str()) == 0;
        return rename(from.c_str(), to.c_str()) == 0;
    }
    bool Remove(const std::string& path) override { return unlink(path.c_str()) == 0; }
};

}  // namespace halvctl_test
