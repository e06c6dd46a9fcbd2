// BinaryFiles over the C library's buffered binary streams: the same on Windows and in the
// native tests.
#pragma once

#include "manager/core/bios_commands.h"

namespace halv {

class StdioBinaryFiles final : public BinaryFiles {
  public:
    // fopen "w+b": reading and writing, created or truncated.
    std::unique_ptr<BinaryFile> CreateReadWrite(const std::string& path) override;
    // fopen "rb".
    std::unique_ptr<BinaryFile> OpenRead(const std::string& path) override;
};

}  // namespace halv
