// The Card menu's BIOS commands: saving the selected adapter's flash image to a file, and
// writing a checked image file back into the flash. One miniport request each way; the file,
// the file dialogs and the message boxes are reached through the interfaces below.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <optional>
#include <span>
#include <string>

#include "channel/miniport_channel.h"
#include "manager/core/tables.h"
#include "manager/core/ui.h"

namespace halv {

// What an image file must hold to be written into an adapter's flash.
inline constexpr size_t kBiosImageSize = channel::bios::kImageSize;  // no header, no trailer
inline constexpr size_t kBiosDeviceIdOffset = 0x20;  // 16-bit: the adapter's PCI device id
inline constexpr size_t kBiosVendorIdOffset = 0x22;  // 16-bit: the PCI vendor id below
inline constexpr uint16_t kBiosVendorId = 0x1E7C;

// Whether `image`, the whole content of a file (`fileHasMore`: the file went on beyond it),
// may be written into the flash of an adapter with this PciDeviceId: exactly 32768 bytes, the
// adapter's device id and our vendor id in the image, and an 8-bit byte sum of zero.
bool BiosImageFitsAdapter(std::span<const uint8_t> image, bool fileHasMore, uint32_t pciDeviceId);

// The common open and save file dialogs. The title is a text of the string table; there is no
// file-type filter, default extension or initial name; the read-only box is hidden and an
// existing file is overwritten only after the user confirmed it. Nothing when cancelled.
class FileDialogs {
  public:
    virtual ~FileDialogs() = default;
    virtual std::optional<std::string> ChooseSaveFile(unsigned titleId) = 0;
    virtual std::optional<std::string> ChooseOpenFile(unsigned titleId) = 0;
};

// A file open in binary mode. Closed by Close() or, at the latest, by its destructor.
class BinaryFile {
  public:
    virtual ~BinaryFile() = default;
    // The bytes read; fewer than asked at the end of the file or on a read error.
    virtual size_t Read(std::span<uint8_t> into) = 0;
    // The bytes written; fewer than given when the write failed.
    virtual size_t Write(std::span<const uint8_t> bytes) = 0;
    // Flushes and closes; false when buffered bytes could not be written.
    virtual bool Close() = 0;
};

class BinaryFiles {
  public:
    virtual ~BinaryFiles() = default;
    // Opens for reading and writing, creating the file or truncating it to zero length.
    virtual std::unique_ptr<BinaryFile> CreateReadWrite(const std::string& path) = 0;
    virtual std::unique_ptr<BinaryFile> OpenRead(const std::string& path) = 0;
};

struct BiosCommandPorts {
    ManagerTables& tables;
    channel::MiniportChannel& channel;
    FileDialogs& dialogs;
    BinaryFiles& files;
    MessageBoxes& messages;
};

// "Backup  BIOS" for the adapter in SelectedController: asks for a file, creates it, reads
// the flash and writes it there. A failed read leaves the file empty.
void OnBackupBios(BiosCommandPorts& ports);
// "Update  BIOS" for the adapter in SelectedController: asks for a file and writes it into the
// flash only when it passes BiosImageFitsAdapter. For both, a SelectedController outside the
// tables is a failed request: nothing is sent.
void OnUpdateBios(BiosCommandPorts& ports);

}  // namespace halv
