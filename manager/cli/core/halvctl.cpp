#include "manager/cli/core/halvctl.h"

#include <stdio.h>

#include <memory>
#include <optional>

#include "manager/cli/core/backup_file.h"
#include "manager/cli/core/inventory.h"
#include "manager/cli/core/metrics.h"
#include "manager/cli/core/report.h"
#include "manager/core/info_list.h"
#include "manager/core/message_texts.h"
#include "manager/core/queued_commands.h"
#include "manager/core/transfer_mode_choices.h"

namespace halvctl {

void StdioConsole::Out(std::string_view text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

void StdioConsole::Err(std::string_view text) {
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

namespace {

constexpr char kUsage[] =
    "Usage: halvctl COMMAND [ARGUMENTS]\n"
    "\n"
    "The Torvale host bus adapters from a console: what HALV shows and does.\n"
    "\n"
    "Commands:\n"
    "  list [--json]                          the adapter tree\n"
    "  show [ADDRESS] [--json]                the information list of an adapter or device\n"
    "  health                                 the S.M.A.R.T. state of every device\n"
    "  metrics [--textfile DIR]               the same as Prometheus metrics\n"
    "  bios backup ADAPTER FILE [--force]     save an adapter's BIOS image in FILE\n"
    "  bios update ADAPTER FILE --yes         write a checked image FILE into the flash\n"
    "  tcq [on|off]                           read or write the queued-command setting\n"
    "  transfer-mode ADDRESS pio|dma|udma N   set the transfer mode of a device\n"
    "\n"
    "ADDRESS names an adapter (0) or a device (0/1/0: adapter 0, port 1, device 0), as\n"
    "\"halvctl list\" shows them. \"halvctl COMMAND --help\" tells more about a command.\n"
    "\n"
    "Exit codes: 0 done; 1 a request, file, check or the registry failed; 2 the command\n"
    "line was refused (nothing was sent). health has its own: see \"halvctl health --help\".\n";

constexpr char kListHelp[] =
    "Usage: halvctl list [--json]\n"
    "\n"
    "The adapter tree as HALV shows it, two blanks a level; adapters and devices carry the\n"
    "address that show, bios and transfer-mode take. --json prints the same document as\n"
    "\"halvctl show --json\". An adapter or device slot that could not be read is named on\n"
    "standard error and the exit code is 1; no adapter at all is no error.\n";

constexpr char kShowHelp[] =
    "Usage: halvctl show [ADDRESS] [--json]\n"
    "\n"
    "The rows of HALV's information list for adapter ADDRESS (0) or device ADDRESS (0/1/0),\n"
    "as \"Label: value\" lines; without ADDRESS, those of every adapter and device. The BIOS\n"
    "version, S.M.A.R.T. state and enclosure are asked for afresh, as selecting the item in\n"
    "HALV does.\n"
    "\n"
    "--json prints one JSON document (schema_version 1, docs/halvctl.schema.json): every\n"
    "adapter with its ports, devices and enclosure readings, or only the branch that leads\n"
    "to ADDRESS. Exit codes: 0 done; 1 something could not be read (named on standard\n"
    "error); 2 ADDRESS names nothing that discovery found.\n";

constexpr char kHealthHelp[] =
    "Usage: halvctl health\n"
    "\n"
    "One line per device: its address, model and S.M.A.R.T. state as HALV shows it, asked\n"
    "afresh. Exit codes, as monitoring plug-ins report them:\n"
    "  0  every device reports \"Functional\" or has no S.M.A.R.T. state\n"
    "  1  a device reports \"Predictive Error\"\n"
    "  2  an adapter or device could not be read (this wins over 1)\n"
    "  3  no adapter was found, or the command line was refused\n";

constexpr char kBiosHelp[] =
    "Usage: halvctl bios backup ADAPTER FILE [--force]\n"
    "       halvctl bios update ADAPTER FILE --yes\n"
    "\n"
    "backup reads the BIOS image of adapter ADAPTER (0, 1, ...) and saves its 32768 bytes in\n"
    "FILE. An existing FILE is replaced only with --force, and only once the new image is\n"
    "whole; a failed read leaves no file.\n"
    "\n"
    "update writes FILE into the adapter's flash when it passes HALV's checks: exactly 32768\n"
    "bytes, the adapter's PCI device id and the vendor id in the image, a byte sum of zero.\n"
    "It needs --yes; a file that fails a check is not sent. The new BIOS takes effect after\n"
    "the host restarts.\n"
    "\n"
    "The messages are HALV's. Exit codes: 0 done; 1 the file or the request failed, or the\n"
    "image was refused; 2 the command line was refused (nothing was sent).\n";

constexpr char kTcqHelp[] =
    "Usage: halvctl tcq [on|off]\n"
    "\n"
    "Without an argument prints \"on\" or \"off\": the queued-command (TCQ/NCQ) setting\n"
    "TAG_CMD of the miniport's registry parameters. on and off write it, as HALV's Option menu\n"
    "does; the miniport reads it when the host starts. Exit codes: 0 done; 1 the setting\n"
    "could not be read or written; 2 the command line was refused.\n";

constexpr char kTransferModeHelp[] =
    "Usage: halvctl transfer-mode ADDRESS pio|dma|udma N\n"
    "\n"
    "Sends device ADDRESS (0/1/0) the ATA request that HALV's \"Change Transfer Mode\" dialog\n"
    "sends: UDMA-N, DMA-N (multiword DMA) or PIO-N, among the modes that dialog offers for\n"
    "the device. Exit codes: 0 done; 1 the request failed; 2 the command line was refused\n"
    "(a mode the device is not offered, an address that names no device; nothing was sent).\n";

struct CommandLine {
    std::vector<std::string> words;
    bool json = false, yes = false, force = false, help = false;
    std::vector<std::string> options;  // every option given, in order
    std::string unknown;               // the first option that is none of ours

    // metrics --textfile DIR
    std::optional<std::string> textfile;
};

CommandLine Parse(const std::vector<std::string>& args) {
    CommandLine cl;
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnd && arg == "--textfile" && i + 1 < args.size()) {
            cl.options.push_back(arg);
            cl.textfile = args[++i];  // the folder, whatever it looks like
            continue;
        }
        if (optionsEnd || arg.size() < 2 || arg[0] != '-') {
            cl.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        cl.options.push_back(arg);
        if (arg == "--json")
            cl.json = true;
        else if (arg == "--yes")
            cl.yes = true;
        else if (arg == "--force")
            cl.force = true;
        else if (arg == "--help" || arg == "-h")
            cl.help = true;
        else if (cl.unknown.empty())
            cl.unknown = arg;
    }
    return cl;
}

// HALV's message boxes on the console: its success messages on standard output, its failure
// messages on standard error after what failed.
class ConsoleMessages final : public halv::MessageBoxes {
  public:
    ConsoleMessages(Console& console, std::string what)
        : console_(console), what_(std::move(what)) {}

    void Show(unsigned textId) override {
        shown_ = true;
        succeeded_ = textId == IDS_BACKUP_DONE || textId == IDS_UPDATE_DONE ||
                     textId == IDS_TCQ_CHANGED || textId == IDS_TRANSFER_MODE_SET;
        const std::string text = halv::MessageText(textId);
        if (succeeded_)
            console_.Out(text + "\n");
        else
            console_.Err("halvctl: " + what_ + ": " + text + "\n");
    }
    int ExitCode() const { return shown_ && succeeded_ ? kExitOk : kExitFailed; }
    bool shown() const { return shown_; }

  private:
    Console& console_;
    std::string what_;
    bool shown_ = false, succeeded_ = false;
};

// The file dialogs answered by the command line's FILE.
class GivenFile final : public halv::FileDialogs {
  public:
    explicit GivenFile(std::string path) : path_(std::move(path)) {}
    std::optional<std::string> ChooseSaveFile(unsigned) override { return path_; }
    std::optional<std::string> ChooseOpenFile(unsigned) override { return path_; }

  private:
    std::string path_;
};

class NoMenu final : public halv::MenuItems {
  public:
    void SetEnabled(unsigned, bool) override {}
};

std::string Joined(const std::vector<std::string>& words, size_t count) {
    std::string out;
    for (size_t i = 0; i < count && i < words.size(); ++i) out += (i ? " " : "") + words[i];
    return out;
}

class Runner {
  public:
    Runner(const CommandLine& cl, HalvctlPorts& ports) : cl_(cl), ports_(ports) {}

    int Dispatch() {
        if (cl_.words.empty()) {
            if (cl_.help && cl_.unknown.empty()) return Help(kUsage);
            ports_.console.Err(kUsage);
            return kExitRefused;
        }
        const std::string& command = cl_.words[0];
        if (command == "help") return HelpCommand();
        if (command == "list") return List();
        if (command == "show") return Show();
        if (command == "health") return Health();
        if (command == "metrics") return Metrics();
        if (command == "bios") return Bios();
        if (command == "tcq") return Tcq();
        if (command == "transfer-mode") return TransferMode();
        return Refuse(kExitRefused, "halvctl: unknown command \"" + Printable(command) +
                                        "\"; \"halvctl --help\" lists the commands");
    }

  private:
    int Help(const char* text) {
        ports_.console.Out(text);
        return kExitOk;
    }

    int HelpCommand() {
        if (cl_.words.size() < 2) return Help(kUsage);
        const std::string& c = cl_.words[1];
        if (c == "list") return Help(kListHelp);
        if (c == "show") return Help(kShowHelp);
        if (c == "health") return Help(kHealthHelp);
        if (c == "metrics") return Help(kMetricsHelp);
        if (c == "bios") return Help(kBiosHelp);
        if (c == "tcq") return Help(kTcqHelp);
        if (c == "transfer-mode") return Help(kTransferModeHelp);
        return Refuse(kExitRefused, "halvctl: help: unknown command \"" + Printable(c) + "\"");
    }

    int Refuse(int code, const std::string& message) {
        ports_.console.Err(message + "\n");
        return code;
    }

    // Refuses the options this command does not take and a surplus of words. `help` is shown
    // instead when asked for.
    std::optional<int> CheckLine(const char* help, size_t minWords, size_t maxWords,
                                 std::initializer_list<const char*> allowed,
                                 int refused = kExitRefused) {
        const std::string command = Joined(cl_.words, cl_.words[0] == "bios" ? 2 : 1);
        if (!cl_.unknown.empty())
            return Refuse(refused,
                          "halvctl: " + command + ": unknown option " + Printable(cl_.unknown));
        if (cl_.help) return Help(help);
        for (const std::string& option : cl_.options) {
            bool ok = false;
            for (const char* a : allowed) ok = ok || option == a;
            if (!ok) return Refuse(refused, "halvctl: " + command + " does not take " + option);
        }
        if (cl_.words.size() < minWords || cl_.words.size() > maxWords) {
            ports_.console.Err(help);
            return refused;
        }
        return std::nullopt;
    }

    std::unique_ptr<Inventory> Discover() {
        auto inv = std::make_unique<Inventory>(ports_.devices);
        inv->Discover(ports_.version);
        return inv;
    }

    // Names on standard error what discovery could not read; 1 when there was any.
    int ReportUnreadable(Inventory& inv, const std::string& command) {
        if (inv.probed() == 0) ports_.console.Err("halvctl: " + command + ": no adapter found\n");
        for (const Unreadable& u : inv.unreadable())
            ports_.console.Err("halvctl: " + command + ": " + u.what + " could not be read\n");
        return inv.unreadable().empty() ? kExitOk : kExitFailed;
    }

    int List() {
        if (auto done = CheckLine(kListHelp, 1, 1, {"--json"})) return *done;
        auto inv = Discover();
        ports_.console.Out(cl_.json ? JsonDocument(*inv, std::nullopt) : ListText(*inv));
        return ReportUnreadable(*inv, "list");
    }

    // Checks that discovery found what `address` names: 2 when it names nothing, 1 when it
    // names an adapter or slot that could not be read.
    std::optional<int> CheckFound(Inventory& inv, const Address& address,
                                  const std::string& command) {
        if (inv.Has(address)) return std::nullopt;
        const Address adapter{address.adapter};
        if (inv.IsUnreadable(adapter))
            return Refuse(kExitFailed, "halvctl: " + command + ": adapter " + AddressText(adapter) +
                                           " could not be read");
        if (address.IsDevice() && inv.IsUnreadable(address))
            return Refuse(kExitFailed, "halvctl: " + command + ": device " + AddressText(address) +
                                           " could not be read");
        if (!inv.HasAdapter(address.adapter))
            return Refuse(kExitRefused, "halvctl: " + command + ": no adapter " +
                                            AddressText(adapter) + " (\"halvctl list\" shows " +
                                            (inv.probed() ? "those found)" : "none was found)"));
        return Refuse(kExitRefused, "halvctl: " + command + ": no device at " +
                                        AddressText(address) +
                                        " (\"halvctl list\" shows those found)");
    }

    std::optional<Address> AddressArgument(const std::string& text, const std::string& command,
                                           bool deviceOnly) {
        const std::optional<Address> address = ParseAddress(text);
        if (!address || (deviceOnly && !address->IsDevice())) {
            Refuse(kExitRefused, "halvctl: " + command + ": \"" + Printable(text) + "\" is not " +
                                     (deviceOnly ? "a device address (0/1/0: adapter 0, port 1, "
                                                   "device 0)"
                                                 : "an address (an adapter: 0, a device: 0/1/0)"));
            return std::nullopt;
        }
        return address;
    }

    int Show() {
        if (auto done = CheckLine(kShowHelp, 1, 2, {"--json"})) return *done;
        std::optional<Address> address;
        const std::string command = Joined(cl_.words, 2);
        if (cl_.words.size() == 2) {
            address = AddressArgument(cl_.words[1], command, false);
            if (!address) return kExitRefused;
        }
        auto inv = Discover();
        if (address) {
            if (auto refused = CheckFound(*inv, *address, command)) return *refused;
            ports_.console.Out(cl_.json ? JsonDocument(*inv, address) : ShowText(*inv, address));
            return kExitOk;
        }
        ports_.console.Out(cl_.json ? JsonDocument(*inv, std::nullopt)
                                    : ShowText(*inv, std::nullopt));
        return ReportUnreadable(*inv, "show");
    }

    int Health() {
        if (auto done = CheckLine(kHealthHelp, 1, 1, {}, kHealthNoAdapter)) return *done;
        auto inv = Discover();
        const HealthReport report = CheckHealth(*inv);
        ports_.console.Out(report.text);
        return report.exitCode;
    }

    int Metrics() {
        if (auto done = CheckLine(kMetricsHelp, 1, 1, {"--textfile"})) return *done;
        return RunMetrics(ports_, cl_.textfile);
    }

    int Bios() {
        if (cl_.words.size() >= 2 && cl_.words[1] != "backup" && cl_.words[1] != "update")
            return Refuse(kExitRefused, "halvctl: bios: \"" + Printable(cl_.words[1]) +
                                            "\" is neither backup nor update");
        const bool update = cl_.words.size() >= 2 && cl_.words[1] == "update";
        if (auto done = CheckLine(kBiosHelp, 4, 4, {update ? "--yes" : "--force"})) return *done;
        const std::string command = "bios " + cl_.words[1];
        const std::optional<Address> adapter = ParseAddress(cl_.words[2]);
        if (!adapter || adapter->IsDevice())
            return Refuse(kExitRefused, "halvctl: " + command + ": \"" + Printable(cl_.words[2]) +
                                            "\" is not an adapter number (0, 1, ...)");
        const std::string& file = cl_.words[3];
        if (update && !cl_.yes)
            return Refuse(kExitRefused, "halvctl: " + command + ": writes adapter " +
                                            AddressText(*adapter) +
                                            "'s flash only with --yes; nothing was sent");
        if (!update && ports_.placement.Exists(PartialBackupPath(file)))
            return Refuse(kExitRefused, "halvctl: " + command + ": " +
                                            Printable(PartialBackupPath(file)) +
                                            " exists, left by a backup that did not finish; "
                                            "remove it first");
        if (!update && !cl_.force && ports_.placement.Exists(file))
            return Refuse(kExitRefused, "halvctl: " + command + ": " + Printable(file) +
                                            " exists; --force replaces it");

        auto inv = Discover();
        if (auto refused = CheckFound(*inv, *adapter, command)) return *refused;
        inv->tables().SelectedController = static_cast<uint8_t>(adapter->adapter);
        GivenFile dialogs(file);
        BackupFiles backupFiles(ports_.files, ports_.placement, cl_.force);
        ConsoleMessages messages(ports_.console,
                                 command + " " + AddressText(*adapter) + " " + Printable(file));
        halv::BiosCommandPorts bios{inv->tables(), inv->channel(), dialogs,
                                    update ? ports_.files : backupFiles, messages};
        if (update)
            halv::OnUpdateBios(bios);
        else
            halv::OnBackupBios(bios);
        return messages.ExitCode();
    }

    int Tcq() {
        if (auto done = CheckLine(kTcqHelp, 1, 2, {})) return *done;
        const std::string where =
            std::string("TAG_CMD under HKEY_LOCAL_MACHINE\\") + halv::kQueuedCommandKey;
        if (cl_.words.size() == 1) {
            const uint8_t setting =
                ports_.queuedCommands.QueuedCommandSetting(halv::kQueuedCommandRead);
            if (setting == halv::kQueuedCommandUnreadable)
                return Refuse(kExitFailed, "halvctl: tcq: cannot read " + where);
            ports_.console.Out(setting == 0 ? "off\n" : "on\n");
            return kExitOk;
        }
        const std::string& value = cl_.words[1];
        if (value != "on" && value != "off")
            return Refuse(kExitRefused,
                          "halvctl: tcq: \"" + Printable(value) + "\" is neither on nor off");
        NoMenu menu;
        ConsoleMessages messages(ports_.console, "tcq " + value);
        halv::ChangeQueuedCommands(value == "on", ports_.queuedCommands, menu, messages);
        // A setting that cannot be written shows nothing in HALV; here it is named.
        if (!messages.shown())
            return Refuse(kExitFailed, "halvctl: tcq " + value + ": cannot write " + where);
        return messages.ExitCode();
    }

    int TransferMode() {
        if (auto done = CheckLine(kTransferModeHelp, 4, 4, {})) return *done;
        const std::string command = Joined(cl_.words, 4);
        const std::optional<Address> address = AddressArgument(cl_.words[1], command, true);
        if (!address) return kExitRefused;
        const std::string& kind = cl_.words[2];
        if (kind != "pio" && kind != "dma" && kind != "udma")
            return Refuse(kExitRefused, "halvctl: " + command + ": \"" + Printable(kind) +
                                            "\" is none of pio, dma, udma");
        const std::string& number = cl_.words[3];
        int mode = 0;
        bool digits = !number.empty() && number.size() <= 3;
        for (char c : number) {
            digits = digits && c >= '0' && c <= '9';
            if (digits) mode = mode * 10 + (c - '0');
        }
        if (!digits)
            return Refuse(kExitRefused, "halvctl: " + command + ": \"" + Printable(number) +
                                            "\" is not a mode number");

        auto inv = Discover();
        if (auto refused = CheckFound(*inv, *address, command)) return *refused;
        halv::ManagerTables& t = inv->tables();
        const int a = address->adapter, p = address->port, d = address->device;
        // The dialog offers what the list's transfer-mode row left in TransferModeCode.
        const wire::ByteView rec = t.DeviceInfo(a, p, d);
        namespace di = channel::device_info;
        t.DeviceEntries[a][p][d].TransferModeCode =
            halv::TransferModeOf(rec.U8(di::PioMode.offset), rec.U8(di::DmaMode.offset),
                                 rec.U8(di::UdmaMode.offset), t.ChosenModeNumbers[a][p][d])
                .code;
        t.SelectedController = static_cast<uint8_t>(a);
        t.SelectedPort = static_cast<uint8_t>(p);
        t.SelectedDevice = static_cast<uint8_t>(d);

        // The choice as a position in the dialog's lists.
        const std::vector<std::string> dmaList =
            halv::DmaModeChoices(halv::SelectedTransferModeCode(t));
        int dmaSelection = -1, pioSelection = -1;
        if (kind == "pio") {
            if (mode < halv::kPioModeChoices) pioSelection = halv::kPioModeChoices - 1 - mode;
        } else {
            const std::string wanted = (kind == "udma" ? "UDMA-" : "DMA-") + std::to_string(mode);
            for (size_t i = 0; i < dmaList.size(); ++i)
                if (dmaList[i] == wanted) dmaSelection = static_cast<int>(i);
        }
        if (dmaSelection < 0 && pioSelection < 0) {
            std::string offered;
            for (const std::string& m : dmaList) offered += m + ", ";
            for (int i = halv::kPioModeChoices - 1; i >= 0; --i)
                offered += "PIO-" + std::to_string(i) + (i ? ", " : "");
            return Refuse(kExitRefused, "halvctl: " + command + ": device " +
                                            AddressText(*address) + " is offered " + offered +
                                            "; nothing was sent");
        }
        ConsoleMessages messages(ports_.console, command);
        halv::ApplyTransferModeChoice(t, inv->channel(), messages, dmaSelection, pioSelection);
        return messages.ExitCode();
    }

    const CommandLine& cl_;
    HalvctlPorts& ports_;
};

}  // namespace

int Run(const std::vector<std::string>& args, HalvctlPorts& ports) {
    const CommandLine cl = Parse(args);
    return Runner(cl, ports).Dispatch();
}

}  // namespace halvctl
