#include "manager/core/stdio_files.h"

#include <stdio.h>

namespace halv {

namespace {

class StdioFile final : public BinaryFile {
  public:
    explicit StdioFile(FILE* file) : file_(file) {}
    StdioFile(const StdioFile&) = delete;
    StdioFile& operator=(const StdioFile&) = delete;
    ~StdioFile() override { Close(); }

    size_t Read(std::span<uint8_t> into) override {
        return file_ && !into.empty() ? fread(into.data(), 1, into.size(), file_) : 0;
    }
    size_t Write(std::span<const uint8_t> bytes) override {
        return file_ && !bytes.empty() ? fwrite(bytes.data(), 1, bytes.size(), file_) : 0;
    }
    bool Close() override {
        if (!file_) return true;
        const bool ok = fclose(file_) == 0;
        file_ = nullptr;
        return ok;
    }

  private:
    FILE* file_;
};

std::unique_ptr<BinaryFile> Open(const std::string& path, const char* mode) {
    if (path.empty()) return nullptr;
    FILE* file = fopen(path.c_str(), mode);
    if (!file) return nullptr;
    return std::make_unique<StdioFile>(file);
}

}  // namespace

std::unique_ptr<BinaryFile> StdioBinaryFiles::CreateReadWrite(const std::string& path) {
    return Open(path, "w+b");
}

std::unique_ptr<BinaryFile> StdioBinaryFiles::OpenRead(const std::string& path) {
    return Open(path, "rb");
}

}  // namespace halv
