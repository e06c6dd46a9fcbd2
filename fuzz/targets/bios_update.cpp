// The BIOS update's checks over arbitrary image files: the file is handed over in reads of
// whatever sizes the fuzzer picks, for an adapter whose PciDeviceId and selection the fuzzer
// picks too. The image goes to the adapter exactly when a straightforward reference check
// made here says it may, byte for byte as the file holds it, and the message shown is the one
// for that verdict.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzzed_devices.h"
#include "manager/core/bios_commands.h"
#include "manager/core/resource_ids.h"
#include "manager/core/tables.h"

namespace {

using namespace halv;
using halv_fuzz::FuzzedDevices;

class OneFile final : public BinaryFile {
  public:
    OneFile(const std::vector<uint8_t>& content, FuzzedDataProvider& in, int& closes)
        : content_(content), in_(in), closes_(closes) {}
    ~OneFile() override { Close(); }
    size_t Read(std::span<uint8_t> into) override {
        FUZZ_CHECK(open_, "read after close");
        // Short reads of any size, as a buffered stream may give them.
        const size_t want = std::min(into.size(), content_.size() - at_);
        const size_t n = want == 0 ? 0 : in_.ConsumeIntegralInRange<size_t>(1, want);
        std::copy(content_.begin() + at_, content_.begin() + at_ + n, into.begin());
        at_ += n;
        return n;
    }
    size_t Write(std::span<const uint8_t>) override {
        FUZZ_CHECK(false, "the update wrote into its image file");
        return 0;
    }
    bool Close() override {
        if (open_) ++closes_;
        open_ = false;
        return true;
    }

  private:
    const std::vector<uint8_t>& content_;
    FuzzedDataProvider& in_;
    int& closes_;
    size_t at_ = 0;
    bool open_ = true;
};

class OneFileSystem final : public BinaryFiles {
  public:
    OneFileSystem(const std::vector<uint8_t>& content, FuzzedDataProvider& in)
        : content_(content), in_(in) {}
    std::unique_ptr<BinaryFile> CreateReadWrite(const std::string&) override {
        FUZZ_CHECK(false, "the update created a file");
        return nullptr;
    }
    std::unique_ptr<BinaryFile> OpenRead(const std::string& path) override {
        FUZZ_CHECK(path == "image.bin", "opened \"%s\"", path.c_str());
        if (openFails) return nullptr;
        ++opens;
        return std::make_unique<OneFile>(content_, in_, closes);
    }
    bool openFails = false;
    int opens = 0, closes = 0;

  private:
    const std::vector<uint8_t>& content_;
    FuzzedDataProvider& in_;
};

class Dialogs final : public FileDialogs {
  public:
    std::optional<std::string> ChooseSaveFile(unsigned) override {
        FUZZ_CHECK(false, "the update asked for a file to save");
        return std::nullopt;
    }
    std::optional<std::string> ChooseOpenFile(unsigned title) override {
        FUZZ_CHECK(title == IDS_UPDATE_TITLE, "open dialog titled %u", title);
        if (cancel) return std::nullopt;
        return std::string("image.bin");
    }
    bool cancel = false;
};

class Boxes final : public MessageBoxes {
  public:
    void Show(unsigned id) override { shown.push_back(id); }
    std::vector<unsigned> shown;
};

// The checks as the administrator reads them: exactly 32768 bytes, the adapter's device id at
// 0x20, the vendor 0x1E7C at 0x22, and all bytes adding up to 0 modulo 256.
bool ReferenceAccepts(const std::vector<uint8_t>& file, uint32_t pciDeviceId) {
    if (file.size() != 32768) return false;
    unsigned sum = 0;
    for (uint8_t b : file) sum += b;
    const uint32_t device = file[0x20] + 256u * file[0x21];
    const uint32_t vendor = file[0x22] + 256u * file[0x23];
    return device == pciDeviceId && vendor == 0x1E7C && sum % 256 == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    auto tables = std::make_unique<ManagerTables>();
    // Mostly a real adapter; sometimes a selection beyond the tables.
    tables->SelectedController =
        (flags & 0x80) ? in.ConsumeIntegral<uint8_t>() : in.ConsumeIntegralInRange<uint8_t>(0, 3);
    // A PciDeviceId of the known kind, or any 32-bit value.
    const uint32_t pciDeviceId =
        (flags & 0x40) ? in.ConsumeIntegral<uint32_t>() : 0x6A00u + in.ConsumeIntegral<uint8_t>();
    for (int a = 0; a < kMaxAdapters; ++a)
        tables->ControllerInfo(a).Put32(
            channel::controller_info::PciDeviceId.offset,
            a == tables->SelectedController ? pciDeviceId : ~pciDeviceId);

    // The file: the rest of the input, its length pulled to the sizes that matter, and with
    // its id words and its byte sum made right on request, so that the checks are passed as
    // often as they are failed.
    std::vector<uint8_t> file =
        in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 33000));
    switch ((flags >> 3) & 3) {
        case 0:
            break;
        case 1:
            file.resize(32768);
            break;
        case 2:
            file.resize(32768 + in.ConsumeIntegralInRange<size_t>(1, 2));
            break;
        case 3:
            file.resize(32768 - in.ConsumeIntegralInRange<size_t>(0, 2));
            break;
    }
    if ((flags & 1) && file.size() >= 0x24) {
        file[0x20] = static_cast<uint8_t>(pciDeviceId);
        file[0x21] = static_cast<uint8_t>(pciDeviceId >> 8);
        file[0x22] = 0x7C;
        file[0x23] = 0x1E;
    }
    if ((flags & 2) && !file.empty()) {
        uint8_t sum = 0;
        for (size_t i = 1; i < file.size(); ++i) sum = static_cast<uint8_t>(sum + file[i]);
        file[0] = static_cast<uint8_t>(0x100 - sum);
    }

    FuzzedDevices io(in);
    channel::MiniportChannel ch(io);
    // The adapter is reached by name, as after an NT probe.
    for (int a = 0; a < kMaxAdapters; ++a)
        ch.SetAdapterName(a, a == 0 ? "\\\\.\\Scsi0:" : "\\\\.\\Scsi1:");
    Dialogs dialogs;
    dialogs.cancel = (flags & 4) && in.ConsumeIntegralInRange<uint8_t>(0, 3) == 0;
    OneFileSystem files(file, in);
    files.openFails = (flags & 4) && in.ConsumeIntegralInRange<uint8_t>(0, 3) == 0;
    Boxes boxes;
    BiosCommandPorts ports{*tables, ch, dialogs, files, boxes};

    const bool verdict =
        tables->SelectedController < kMaxAdapters && ReferenceAccepts(file, pciDeviceId);
    // The pure check gives the same verdict on the whole file.
    if (file.size() <= 32768)
        FUZZ_CHECK(
            BiosImageFitsAdapter(file, false, pciDeviceId) == ReferenceAccepts(file, pciDeviceId),
            "BiosImageFitsAdapter disagrees on a %zu-byte file", file.size());

    OnUpdateBios(ports);

    FUZZ_CHECK(io.OpenHandles() == 0, "device left open");
    FUZZ_CHECK(files.opens == files.closes, "%d opens, %d closes of the image file", files.opens,
               files.closes);
    size_t writes = 0;
    for (const auto& x : io.exchanges) {
        FUZZ_CHECK(x.command == channel::MPCMD_WRITE_BIOS, "command %u sent by the update",
                   x.command);
        ++writes;
        FUZZ_CHECK(std::equal(file.begin(), file.end(), x.request.begin() + 66) &&
                       x.request.size() == 66 + file.size(),
                   "the image sent differs from the file");
        FUZZ_CHECK(x.request[36] == tables->SelectedController, "written to adapter %u",
                   x.request[36]);
    }
    if (dialogs.cancel) {
        FUZZ_CHECK(writes == 0 && boxes.shown.empty() && files.opens == 0,
                   "a cancelled dialog did something");
        return 0;
    }
    FUZZ_CHECK(boxes.shown.size() == 1, "%zu message boxes", boxes.shown.size());
    const unsigned shown = boxes.shown[0];
    if (files.openFails) {
        FUZZ_CHECK(writes == 0 && shown == IDS_OPEN_FILE_FAILED,
                   "box %u for a file that did not open", shown);
        return 0;
    }
    // The device may refuse the open, so "sent" means a request reached it.
    const bool attempted = io.openAttempts.size() > 0;
    FUZZ_CHECK(attempted == verdict, "verdict %d but %s", verdict,
               attempted ? "the adapter was addressed" : "nothing was sent");
    if (!verdict) {
        const unsigned want =
            tables->SelectedController < kMaxAdapters ? IDS_FILE_CORRUPTED : IDS_IOCTL_FAILED;
        FUZZ_CHECK(shown == want, "box %u for a refused file, expected %u", shown, want);
        return 0;
    }
    const bool written = writes == 1 && FuzzedDevices::Trusted(io.exchanges[0]);
    FUZZ_CHECK(shown == (written ? IDS_UPDATE_DONE : IDS_IOCTL_FAILED), "box %u after the write",
               shown);
    return 0;
}
