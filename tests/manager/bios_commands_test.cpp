// The BIOS backup and update over simulated adapters, real files in a scratch folder, and
// stand-ins for the file dialogs and message boxes.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "manager/core/bios_commands.h"
#include "manager/core/discovery.h"
#include "manager/core/resource_ids.h"
#include "manager/core/stdio_files.h"
#include "sim/population.h"
#include "sim/sim_device_access.h"
#include "support/fake_ui.h"

namespace {

using namespace halv;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

class FakeDialogs final : public FileDialogs {
  public:
    std::optional<std::string> ChooseSaveFile(unsigned titleId) override {
        titles.push_back(titleId);
        return path;
    }
    std::optional<std::string> ChooseOpenFile(unsigned titleId) override {
        titles.push_back(titleId);
        return path;
    }
    std::optional<std::string> path;  // nothing: the user cancels
    std::vector<unsigned> titles;
};

// Files whose writes stop after `writable` bytes, as on a full disk, and whose close fails
// when `closeFails` is set, as when the bytes still buffered cannot be flushed.
class ShortWriteFiles final : public BinaryFiles {
  public:
    class File final : public BinaryFile {
      public:
        explicit File(ShortWriteFiles& owner) : owner_(owner) {}
        ~File() override { ++owner_.released; }
        size_t Read(std::span<uint8_t>) override { return 0; }
        size_t Write(std::span<const uint8_t> bytes) override {
            const size_t n = std::min(bytes.size(), owner_.writable);
            owner_.writable -= n;
            return n;
        }
        bool Close() override { return !owner_.closeFails; }

      private:
        ShortWriteFiles& owner_;
    };
    std::unique_ptr<BinaryFile> CreateReadWrite(const std::string&) override {
        return std::make_unique<File>(*this);
    }
    std::unique_ptr<BinaryFile> OpenRead(const std::string&) override { return nullptr; }

    size_t writable = 0;
    bool closeFails = false;
    int released = 0;
};

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes ValidImage(uint16_t pciDeviceId, const char* version) {
    Bytes image(kBiosImageSize);
    sim::FillBiosImage(image.data(), pciDeviceId, version);
    return image;
}

struct BiosCommands : ::testing::Test {
    void SetUp() override {
        char pattern[] = "/tmp/halv-bios-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Adapters 0 and 1 at Scsi1: and Scsi3:, of different types.
        sim::AddAdapter(*pop, 1, 0x6A31, 1, 1);
        sim::AddAdapter(*pop, 3, 0x6A22, 1, 1);
        sim::FixedSystemVersion version(2);
        UnreadableQueuedCommandStore store;
        halv::testing::FakeTree tree;
        DiscoveryPorts discovery{channel, version, tree, store, [](uint8_t) {}};
        EnumerateAdapters(tables, discovery);
        opensAfterDiscovery = pop->adapters[1].counters.opens;
    }
    void TearDown() override {
        fs::remove_all(dir);
        EXPECT_EQ(io.OpenHandles(), 0u);
    }

    Bytes Flash(int position) const {
        return Bytes(pop->adapters[position].bios, pop->adapters[position].bios + sim::kBiosSize);
    }
    uint32_t Requests(int position, uint32_t command) const {
        return pop->adapters[position].counters.byCommand[sim::CommandIndex(command)];
    }
    void Choose(const fs::path& path) { dialogs.path = path.string(); }

    std::unique_ptr<sim::SimPopulation> pop = sim::NewPopulation();
    sim::SimDeviceAccess io{*pop};
    channel::MiniportChannel channel{io};
    ManagerTables tables;
    FakeDialogs dialogs;
    StdioBinaryFiles files;
    halv::testing::FakeMessages messages;
    BiosCommandPorts ports{tables, channel, dialogs, files, messages};
    fs::path dir;
    uint32_t opensAfterDiscovery = 0;
};

TEST_F(BiosCommands, BackupSavesTheFlashAndTheSameAdapterTakesItBack) {
    tables.SelectedController = 1;
    Choose(dir / "adapter1.rom");
    const Bytes original = Flash(3);
    OnBackupBios(ports);
    EXPECT_EQ(dialogs.titles, std::vector<unsigned>{IDS_BACKUP_TITLE});
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_BACKUP_DONE});
    EXPECT_EQ(ReadAll(dir / "adapter1.rom"), original) << "byte for byte, nothing added";
    EXPECT_EQ(Flash(1), ValidImage(0x6A31, "1.00.0.30")) << "adapter 0 was not asked";

    // The flash changes; the update from the backup puts the saved image back.
    sim::FillBiosImage(pop->adapters[3].bios, 0x6A22, "2.00.0.01");
    ASSERT_NE(Flash(3), original);
    messages.shown.clear();
    dialogs.titles.clear();
    OnUpdateBios(ports);
    EXPECT_EQ(dialogs.titles, std::vector<unsigned>{IDS_UPDATE_TITLE});
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_UPDATE_DONE});
    EXPECT_EQ(Flash(3), original);
    EXPECT_EQ(Requests(3, channel::MPCMD_WRITE_BIOS), 1u);
}

TEST_F(BiosCommands, UpdateRefusesFilesThatDoNotFitTheAdapter) {
    const Bytes good = ValidImage(0x6A31, "1.00.0.31");
    struct Case {
        const char* name;
        Bytes content;
    };
    std::vector<Case> cases;
    Bytes sumOne = good;
    sumOne[0x300] = static_cast<uint8_t>(sumOne[0x300] + 1);
    cases.push_back({"bytes summing to 1", sumOne});
    cases.push_back({"image of another adapter type", ValidImage(0x6A22, "1.00.0.31")});
    Bytes vendor = good;  // another vendor id, sum kept at zero
    vendor[0x22] = 0x7D;
    vendor[0x300] = static_cast<uint8_t>(vendor[0x300] - 1);
    cases.push_back({"another vendor", vendor});
    Bytes longer = good;
    longer.push_back(0);  // the sum stays zero: only the length is wrong
    cases.push_back({"32769 bytes", longer});
    cases.push_back({"32767 bytes", Bytes(good.begin(), good.end() - 1)});
    cases.push_back({"empty", Bytes{}});

    const Bytes flash = Flash(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteAll(dir / "image.rom", c.content);
        Choose(dir / "image.rom");
        messages.shown.clear();
        OnUpdateBios(ports);
        EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_FILE_CORRUPTED});
    }
    EXPECT_EQ(Requests(1, channel::MPCMD_WRITE_BIOS), 0u) << "the adapter is never touched";
    EXPECT_EQ(Flash(1), flash);

    // The same file, cut to the right length, goes through.
    WriteAll(dir / "image.rom", good);
    messages.shown.clear();
    OnUpdateBios(ports);
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_UPDATE_DONE});
    EXPECT_EQ(Flash(1), good);
}

TEST_F(BiosCommands, DeviceIdIsComparedWithTheWholeField) {
    const Bytes image = ValidImage(0x6A31, "x");
    EXPECT_TRUE(BiosImageFitsAdapter(image, false, 0x6A31));
    EXPECT_FALSE(BiosImageFitsAdapter(image, false, 0x16A31));
    EXPECT_FALSE(BiosImageFitsAdapter(image, true, 0x6A31));
    EXPECT_FALSE(BiosImageFitsAdapter(std::span<const uint8_t>(image).first(0x10), false, 0x6A31));
}

TEST_F(BiosCommands, FilesThatCannotBeOpenedSendNothing) {
    Choose(dir / "missing.rom");
    OnUpdateBios(ports);
    Choose(dir / "no-such-folder" / "backup.rom");
    OnBackupBios(ports);
    EXPECT_EQ(messages.shown, (std::vector<unsigned>{IDS_OPEN_FILE_FAILED, IDS_OPEN_FILE_FAILED}));
    EXPECT_EQ(pop->adapters[1].counters.opens, opensAfterDiscovery) << "the adapter was not asked";
    EXPECT_FALSE(fs::exists(dir / "missing.rom"));
}

TEST_F(BiosCommands, FailedRequestsShowTheRequestMessage) {
    // A failed read leaves the file created, empty, even where one existed.
    WriteAll(dir / "old.rom", Bytes(100, 0xAB));
    sim::InjectFault(pop->adapters[1], channel::MPCMD_READ_BIOS, sim::kFaultCallFails);
    Choose(dir / "old.rom");
    OnBackupBios(ports);
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_IOCTL_FAILED});
    ASSERT_TRUE(fs::exists(dir / "old.rom"));
    EXPECT_EQ(fs::file_size(dir / "old.rom"), 0u);

    // A failed write request after the file passed its checks.
    sim::InjectFault(pop->adapters[1], channel::MPCMD_WRITE_BIOS, sim::kFaultReturnCodeOff, 1);
    WriteAll(dir / "good.rom", ValidImage(0x6A31, "9"));
    Choose(dir / "good.rom");
    messages.shown.clear();
    OnUpdateBios(ports);
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_IOCTL_FAILED});
}

TEST_F(BiosCommands, CancelledDialogsDoNothing) {
    OnBackupBios(ports);
    OnUpdateBios(ports);
    EXPECT_EQ(dialogs.titles, (std::vector<unsigned>{IDS_BACKUP_TITLE, IDS_UPDATE_TITLE}));
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(pop->adapters[1].counters.opens, opensAfterDiscovery);
    EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(BiosCommands, BackupThatDidNotReachTheFileIsNotReportedDone) {
    ShortWriteFiles shortFiles;
    BiosCommandPorts shortPorts{tables, channel, dialogs, shortFiles, messages};
    Choose(dir / "any.rom");

    // A short write, as on a full disk.
    shortFiles.writable = 4096;
    OnBackupBios(shortPorts);
    EXPECT_EQ(shortFiles.released, 1);
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_OPEN_FILE_FAILED});

    // Every byte accepted, but the close that flushes them fails.
    shortFiles.writable = kBiosImageSize;
    shortFiles.closeFails = true;
    messages.shown.clear();
    OnBackupBios(shortPorts);
    EXPECT_EQ(shortFiles.writable, 0u) << "the whole image was handed to the file";
    EXPECT_EQ(shortFiles.released, 2);
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_OPEN_FILE_FAILED});
}

TEST_F(BiosCommands, SelectionThatNamesNoAdapterIsRefused) {
    WriteAll(dir / "good.rom", ValidImage(0x6A31, "1.00.0.50"));
    const Bytes flash = Flash(1);
    const uint32_t requestsBefore[] = {pop->adapters[1].counters.requests,
                                       pop->adapters[3].counters.requests};
    for (uint8_t selected : {uint8_t{4}, uint8_t{255}}) {
        SCOPED_TRACE(static_cast<int>(selected));
        tables.SelectedController = selected;
        messages.shown.clear();
        Choose(dir / "backup.rom");
        OnBackupBios(ports);
        Choose(dir / "good.rom");
        OnUpdateBios(ports);
        EXPECT_EQ(messages.shown, (std::vector<unsigned>{IDS_IOCTL_FAILED, IDS_IOCTL_FAILED}));
        EXPECT_EQ(fs::file_size(dir / "backup.rom"), 0u) << "left empty, as after a failed read";
    }
    EXPECT_EQ(pop->adapters[1].counters.requests, requestsBefore[0]) << "no adapter was asked";
    EXPECT_EQ(pop->adapters[3].counters.requests, requestsBefore[1]) << "no adapter was asked";
    EXPECT_EQ(Flash(1), flash);
}

}  // namespace
