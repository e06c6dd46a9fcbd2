#include "manager/core/bios_commands.h"

#include <optional>
#include <vector>

#include "manager/core/resource_ids.h"

namespace halv {

namespace {

uint16_t Word(std::span<const uint8_t> image, size_t offset) {
    return static_cast<uint16_t>(image[offset] | (image[offset + 1] << 8));
}

// The adapter both commands work on: the one whose Card menu was opened. A selection that
// names no adapter of the tables is refused rather than taken for another adapter: a flash
// image must never go to an adapter the user did not pick.
std::optional<uint8_t> CommandAdapter(const ManagerTables& tables) {
    if (tables.SelectedController >= kMaxAdapters) return std::nullopt;
    return tables.SelectedController;
}

std::span<uint8_t> ImageArea(std::vector<uint8_t>& request) {
    return std::span<uint8_t>(request).subspan(channel::bios::BiosImage.offset, kBiosImageSize);
}

// Reads until `into` is full or the file has nothing more to give.
size_t ReadFully(BinaryFile& file, std::span<uint8_t> into) {
    size_t got = 0;
    while (got < into.size()) {
        const size_t n = file.Read(into.subspan(got));
        if (n == 0) break;
        got += n;
    }
    return got;
}

}  // namespace

bool BiosImageFitsAdapter(std::span<const uint8_t> image, bool fileHasMore, uint32_t pciDeviceId) {
    if (image.size() != kBiosImageSize || fileHasMore) return false;
    // The 16-bit word is compared with the whole 32-bit field: an adapter that reports bits
    // above the low word matches no image.
    if (static_cast<uint32_t>(Word(image, kBiosDeviceIdOffset)) != pciDeviceId) return false;
    if (Word(image, kBiosVendorIdOffset) != kBiosVendorId) return false;
    uint8_t sum = 0;
    for (uint8_t b : image) sum = static_cast<uint8_t>(sum + b);
    return sum == 0;
}

void OnBackupBios(BiosCommandPorts& ports) {
    const std::optional<std::string> path = ports.dialogs.ChooseSaveFile(IDS_BACKUP_TITLE);
    if (!path) return;
    std::unique_ptr<BinaryFile> file = ports.files.CreateReadWrite(*path);
    if (!file) {
        ports.messages.Show(IDS_OPEN_FILE_FAILED);
        return;
    }

    std::vector<uint8_t> request(channel::bios::kSize);
    const std::optional<uint8_t> adapter = CommandAdapter(ports.tables);
    if (!adapter || !ports.channel.TransferBiosImage(*adapter, request, 0)) {
        file->Close();  // the file stays, empty
        ports.messages.Show(IDS_IOCTL_FAILED);
        return;
    }
    const std::span<uint8_t> image = ImageArea(request);
    const bool written = file->Write(image) == image.size();
    // Closing flushes what the buffer still holds, so it can fail too. A backup that did not
    // reach the disk whole is not a backup: the user is sent to the file instead.
    const bool closed = file->Close();
    ports.messages.Show(written && closed ? IDS_BACKUP_DONE : IDS_OPEN_FILE_FAILED);
}

void OnUpdateBios(BiosCommandPorts& ports) {
    const std::optional<std::string> path = ports.dialogs.ChooseOpenFile(IDS_UPDATE_TITLE);
    if (!path) return;
    std::unique_ptr<BinaryFile> file = ports.files.OpenRead(*path);
    if (!file) {
        ports.messages.Show(IDS_OPEN_FILE_FAILED);
        return;
    }

    std::vector<uint8_t> request(channel::bios::kSize);
    const std::span<uint8_t> image = ImageArea(request);
    const size_t got = ReadFully(*file, image);
    uint8_t extra = 0;
    const bool hasMore = got == image.size() && file->Read(std::span<uint8_t>(&extra, 1)) != 0;
    file->Close();

    const std::optional<uint8_t> adapter = CommandAdapter(ports.tables);
    if (!adapter) {
        // No adapter to check the image against or to write it to: as a failed request.
        ports.messages.Show(IDS_IOCTL_FAILED);
        return;
    }
    const uint32_t pciDeviceId =
        ports.tables.ControllerInfo(*adapter).U32(channel::controller_info::PciDeviceId.offset);
    if (!BiosImageFitsAdapter(image.first(got), hasMore, pciDeviceId)) {
        ports.messages.Show(IDS_FILE_CORRUPTED);  // the adapter is not touched
        return;
    }
    ports.messages.Show(ports.channel.TransferBiosImage(*adapter, request, 1) ? IDS_UPDATE_DONE
                                                                              : IDS_IOCTL_FAILED);
}

}  // namespace halv
