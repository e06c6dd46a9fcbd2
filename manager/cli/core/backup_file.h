// The file a BIOS backup writes, reached through HALV's BinaryFiles so that HALV's own backup
// command runs unchanged: the image goes into a file beside the target and is moved onto the
// target only once it was written and closed whole. A failed read or write leaves no file
// behind, and an existing file is replaced only when the command line asked for it.
#pragma once

#include <memory>
#include <string>

#include "manager/cli/core/halvctl.h"
#include "manager/core/bios_commands.h"

namespace halvctl {

// The name the image is written under until it is whole.
std::string PartialBackupPath(const std::string& target);

class BackupFiles final : public halv::BinaryFiles {
  public:
    BackupFiles(halv::BinaryFiles& files, FilePlacement& placement, bool replace)
        : files_(files), placement_(placement), replace_(replace) {}

    // A file that becomes `path` when it is closed after whole writes. Nothing when the
    // partial file cannot be made, or one of that name is already there (it is not ours).
    std::unique_ptr<halv::BinaryFile> CreateReadWrite(const std::string& path) override;
    std::unique_ptr<halv::BinaryFile> OpenRead(const std::string& path) override {
        return files_.OpenRead(path);
    }

  private:
    halv::BinaryFiles& files_;
    FilePlacement& placement_;
    bool replace_;
};

}  // namespace halvctl
