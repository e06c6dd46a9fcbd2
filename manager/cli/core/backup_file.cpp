#include "manager/cli/core/backup_file.h"

namespace halvctl {

namespace {

class PendingBackup final : public halv::BinaryFile {
  public:
    PendingBackup(std::unique_ptr<halv::BinaryFile> file, FilePlacement& placement,
                  std::string partial, std::string target, bool replace)
        : file_(std::move(file)),
          placement_(placement),
          partial_(std::move(partial)),
          target_(std::move(target)),
          replace_(replace) {}
    PendingBackup(const PendingBackup&) = delete;
    PendingBackup& operator=(const PendingBackup&) = delete;
    ~PendingBackup() override {
        if (file_) {  // never closed: nothing is kept
            file_->Close();
            placement_.Remove(partial_);
        }
    }

    size_t Read(std::span<uint8_t> into) override { return file_ ? file_->Read(into) : 0; }

    size_t Write(std::span<const uint8_t> bytes) override {
        if (!file_) return 0;
        const size_t n = file_->Write(bytes);
        if (n != bytes.size()) whole_ = false;
        written_ += n;
        return n;
    }

    // Closed after whole writes, the file takes the target's name; otherwise it is removed.
    // Closing without a write (the flash could not be read) is no failure of the file.
    bool Close() override {
        if (!file_) return closed_;
        const bool closed = file_->Close();
        file_.reset();
        const bool keep = closed && whole_ && written_ > 0;
        const bool placed = keep && placement_.Move(partial_, target_, replace_);
        if (!placed) placement_.Remove(partial_);
        closed_ = written_ == 0 ? closed : placed;
        return closed_;
    }

  private:
    std::unique_ptr<halv::BinaryFile> file_;
    FilePlacement& placement_;
    std::string partial_, target_;
    bool replace_;
    bool whole_ = true;
    size_t written_ = 0;
    bool closed_ = false;
};

}  // namespace

std::string PartialBackupPath(const std::string& target) {
    return target + ".halvctl-partial";
}

std::unique_ptr<halv::BinaryFile> BackupFiles::CreateReadWrite(const std::string& path) {
    if (path.empty()) return nullptr;
    const std::string partial = PartialBackupPath(path);
    if (placement_.Exists(partial)) return nullptr;
    std::unique_ptr<halv::BinaryFile> file = files_.CreateReadWrite(partial);
    if (!file) return nullptr;
    return std::make_unique<PendingBackup>(std::move(file), placement_, partial, path, replace_);
}

}  // namespace halvctl
