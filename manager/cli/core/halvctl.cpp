#include "manager/cli/core/halvctl.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
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
    "\"halvctl list\" shows them; an adapter may be named by its SCSI port instead (scsi2,\n"
    "scsi2/1/0), which stays the same when another adapter does not open. Keywords may be\n"
    "written in any case. \"halvctl COMMAND --help\" tells more about a command;\n"
    "\"halvctl --version\" prints the version.\n"
    "\n"
    "Exit codes: 0 done; 1 a request, file, check or the registry failed, or something could\n"
    "not be read; 2 the command line was refused (nothing was sent). health has its own: see\n"
    "\"halvctl health --help\". Reading the adapters needs an elevated prompt.\n";

constexpr char kListHelp[] =
    "Usage: halvctl list [--json]\n"
    "\n"
    "The adapter tree as HALV shows it, two blanks a level; adapters and devices carry the\n"
    "address that show, bios and transfer-mode take; adapters also their SCSI port (scsi2).\n"
    "--json prints the same document as \"halvctl show --json\". A SCSI port that does not\n"
    "open, an adapter or device slot that could not be read is named on standard error and\n"
    "the exit code is 1; no adapter at all is no error.\n";

constexpr char kShowHelp[] =
    "Usage: halvctl show [ADDRESS] [--json]\n"
    "\n"
    "The rows of HALV's information list for adapter ADDRESS (0 or scsi2) or device ADDRESS\n"
    "(0/1/0), as \"Label: value\" lines; without ADDRESS, those of every adapter and device.\n"
    "The BIOS version, S.M.A.R.T. state and enclosure are asked for afresh, as selecting the\n"
    "item in HALV does; what could not be read shows \"Temporarily Unknown\".\n"
    "\n"
    "--json prints one JSON document (schema_version 2, docs/halvctl.schema.json): every\n"
    "adapter with its ports, devices and enclosure readings, or only the branch that leads\n"
    "to ADDRESS; null where a value could not be read. Exit codes: 0 done; 1 something could\n"
    "not be read (named on standard error); 2 ADDRESS names nothing that discovery found.\n";

constexpr char kHealthHelp[] =
    "Usage: halvctl health\n"
    "\n"
    "A summary line (OK:, CRITICAL: or UNKNOWN:, the worst finding first), then one line\n"
    "per device: its address, model, serial number and S.M.A.R.T. state as HALV shows it,\n"
    "asked afresh. Exit codes, as monitoring plug-ins report them:\n"
    "  0  every device reports \"Functional\" or has no S.M.A.R.T. state\n"
    "  1  a device reports \"Predictive Error\"\n"
    "  2  a SCSI port did not open, or an adapter, device, S.M.A.R.T. state or enclosure\n"
    "     could not be read: the state is unknown (this wins over 1)\n"
    "  3  no adapter was found, or the command line was refused\n";

constexpr char kBiosHelp[] =
    "Usage: halvctl bios backup ADAPTER FILE [--force]\n"
    "       halvctl bios update ADAPTER FILE --yes\n"
    "\n"
    "backup reads the BIOS image of adapter ADAPTER (0, 1, ... or scsi2) and saves its\n"
    "32768 bytes in FILE. An existing FILE is replaced only with --force, and only once the\n"
    "new image is whole; a failed read leaves no file.\n"
    "\n"
    "update writes FILE into the adapter's flash when it passes HALV's checks: exactly 32768\n"
    "bytes, the adapter's PCI device id and the vendor id in the image, a byte sum of zero.\n"
    "It needs --yes; a file that fails a check is not sent. The new BIOS takes effect after\n"
    "the host restarts.\n"
    "\n"
    "The messages are HALV's, after the adapter, SCSI port and model acted on, and name the\n"
    "check or the system's reason for a failure. Exit codes: 0 done; 1 the file or the\n"
    "request failed, or the image was refused; 2 the command line was refused (nothing was\n"
    "sent).\n";

constexpr char kTcqHelp[] =
    "Usage: halvctl tcq [on|off]\n"
    "\n"
    "Without an argument prints \"on\" or \"off\": the queued-command (TCQ/NCQ) setting\n"
    "TAG_CMD of the miniport's registry parameters. on and off write it, as HALV's Option menu\n"
    "does; the miniport reads it when the host starts, for every adapter. Writing the value\n"
    "it already has changes nothing. Exit codes: 0 done; 1 the setting could not be read or\n"
    "written (writing it needs an elevated prompt); 2 the command line was refused.\n";

constexpr char kTransferModeHelp[] =
    "Usage: halvctl transfer-mode ADDRESS pio|dma|udma N\n"
    "\n"
    "Sends device ADDRESS (0/1/0) the ATA request that HALV's \"Change Transfer Mode\" dialog\n"
    "sends: UDMA-N, DMA-N (multiword DMA) or PIO-N, among the modes that dialog offers for\n"
    "the device, up to the highest mode of that kind the device reports. The adapter does\n"
    "not report the mode in force: a later \"halvctl show\" prints the device's highest mode,\n"
    "as HALV does after a restart. Exit codes: 0 done; 1 the request failed; 2 the command\n"
    "line was refused (a mode above the device's highest or not offered, an address that\n"
    "names no device; nothing was sent).\n";

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

struct CommandLine {
    std::vector<std::string> words;
    bool json = false, yes = false, force = false, help = false, version = false;
    std::vector<std::string> options;  // every option given, in order, in lower case
    std::string unknown;               // the first option that is none of ours

    // metrics --textfile DIR
    std::optional<std::string> textfile;
};

CommandLine Parse(const std::vector<std::string>& args) {
    CommandLine cl;
    bool optionsEnd = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnd && Lower(arg) == "--textfile" && i + 1 < args.size()) {
            cl.options.push_back("--textfile");
            cl.textfile = args[++i];  // the folder, whatever it looks like
            continue;
        }
        // "/?" is how Windows programs are asked for their usage.
        const bool windowsHelp = !optionsEnd && arg == "/?";
        if (!windowsHelp && (optionsEnd || arg.size() < 2 || arg[0] != '-')) {
            cl.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        const std::string option = windowsHelp ? "--help" : Lower(arg);
        cl.options.push_back(option);
        if (option == "--json")
            cl.json = true;
        else if (option == "--yes")
            cl.yes = true;
        else if (option == "--force")
            cl.force = true;
        else if (option == "--help" || option == "-h")
            cl.help = true;
        else if (option == "--version")
            cl.version = true;
        else if (cl.unknown.empty())
            cl.unknown = arg;
    }
    return cl;
}

// Why a file could not be opened, in the system's words where it gives them: `error` is the
// C library's errno right after the failure (0 when none was kept).
std::string FileReason(const std::string& path, int error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(path, ec)) return "it is a folder";
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec))
        return "the folder " + Printable(parent.string()) + " does not exist";
    if (error != 0) return strerror(error);
    return "the system gave no reason";
}

// HALV's message boxes on the console: its success messages on standard output, its failure
// messages on standard error after what failed, each after the adapter acted on. A failure's
// cause, where halvctl knows it, follows HALV's text.
class ConsoleMessages final : public halv::MessageBoxes {
  public:
    ConsoleMessages(Console& console, std::string what, std::string target)
        : console_(console), what_(std::move(what)), target_(std::move(target)) {}

    void Show(unsigned textId) override {
        const int error = errno;  // what the failing file call left, before anything else runs
        shown_ = true;
        succeeded_ = textId == IDS_BACKUP_DONE || textId == IDS_UPDATE_DONE ||
                     textId == IDS_TCQ_CHANGED || textId == IDS_TRANSFER_MODE_SET;
        const std::string text = halv::MessageText(textId);
        if (succeeded_) {
            console_.Out((target_.empty() ? "" : target_ + ": ") + text + "\n");
            return;
        }
        std::string cause;
        if (textId == IDS_OPEN_FILE_FAILED && !file.empty()) cause = FileReason(file, error);
        if (textId == IDS_FILE_CORRUPTED) cause = imageRefusal;
        if (textId == IDS_IOCTL_FAILED || textId == IDS_TRANSFER_MODE_FAILED)
            cause = "the adapter did not accept the request";
        console_.Err("halvctl: " + what_ + ": " + (target_.empty() ? "" : target_ + ": ") + text +
                     (cause.empty() ? "" : " (" + cause + ")") + "\n");
    }
    int ExitCode() const { return shown_ && succeeded_ ? kExitOk : kExitFailed; }
    bool shown() const { return shown_; }
    bool succeeded() const { return shown_ && succeeded_; }

    std::string file;          // the file a file failure is about
    std::string imageRefusal;  // the image check that failed

  private:
    Console& console_;
    std::string what_, target_;
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
    for (size_t i = 0; i < count && i < words.size(); ++i) {
        if (i) out += ' ';
        out += Printable(words[i]);
    }
    return out;
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
    return text;
}

// Which of HALV's image checks `image` (the file's first bytes; `fileHasMore`: it went on)
// fails for an adapter with this PCI device id, in the order HALV makes them; "" when none.
std::string ImageRefusal(std::span<const uint8_t> image, bool fileHasMore, uint32_t pciDeviceId) {
    if (image.size() != halv::kBiosImageSize || fileHasMore)
        return "the file holds " + std::string(fileHasMore ? "more than " : "") +
               std::to_string(image.size()) + " bytes; an image holds " +
               std::to_string(halv::kBiosImageSize);
    auto word = [&](size_t at) { return static_cast<uint32_t>(image[at] | (image[at + 1] << 8)); };
    if (word(halv::kBiosDeviceIdOffset) != pciDeviceId)
        return "the image is for PCI device " + Hex(word(halv::kBiosDeviceIdOffset)) +
               ", the adapter is " + Hex(pciDeviceId);
    if (word(halv::kBiosVendorIdOffset) != halv::kBiosVendorId)
        return "the image's vendor id is " + Hex(word(halv::kBiosVendorIdOffset)) + ", not " +
               Hex(halv::kBiosVendorId);
    uint8_t sum = 0;
    for (uint8_t b : image) sum = static_cast<uint8_t>(sum + b);
    if (sum != 0) return "the image's byte sum is " + std::to_string(sum) + ", not 0";
    return "";
}

class Runner {
  public:
    Runner(const CommandLine& cl, HalvctlPorts& ports) : cl_(cl), ports_(ports) {}

    int Dispatch() {
        if (cl_.version && cl_.unknown.empty()) {
            ports_.console.Out(
                "halvctl " +
                (ports_.facts.version.empty() ? "(version unknown)" : ports_.facts.version) + "\n");
            return kExitOk;
        }
        if (cl_.words.empty()) {
            if (cl_.help && cl_.unknown.empty()) return Help(kUsage);
            ports_.console.Err(kUsage);
            return kExitRefused;
        }
        const std::string command = Lower(cl_.words[0]);
        if (command == "help") return HelpCommand();
        if (command == "list") return List();
        if (command == "show") return Show();
        if (command == "health") return Health();
        if (command == "metrics") return Metrics();
        if (command == "bios") return Bios();
        if (command == "tcq") return Tcq();
        if (command == "transfer-mode") return TransferMode();
        return Refuse(kExitRefused, "halvctl: unknown command \"" + Printable(cl_.words[0]) +
                                        "\"; \"halvctl --help\" lists the commands");
    }

  private:
    int Help(const char* text) {
        ports_.console.Out(text);
        return kExitOk;
    }

    int HelpCommand() {
        if (cl_.words.size() < 2) return Help(kUsage);
        const std::string c = Lower(cl_.words[1]);
        if (c == "list") return Help(kListHelp);
        if (c == "show") return Help(kShowHelp);
        if (c == "health") return Help(kHealthHelp);
        if (c == "metrics") return Help(kMetricsHelp);
        if (c == "bios") return Help(kBiosHelp);
        if (c == "tcq") return Help(kTcqHelp);
        if (c == "transfer-mode") return Help(kTransferModeHelp);
        return Refuse(kExitRefused,
                      "halvctl: help: unknown command \"" + Printable(cl_.words[1]) + "\"");
    }

    int Refuse(int code, const std::string& message) {
        ports_.console.Err(message + "\n");
        return code;
    }

    // The command as the messages name it: its keywords in lower case.
    std::string CommandName() const {
        std::string name = Lower(cl_.words[0]);
        if (name == "bios" && cl_.words.size() >= 2) name += " " + Lower(cl_.words[1]);
        return name;
    }

    // Refuses the options this command does not take and a surplus or shortage of words,
    // naming what was refused. `help` is shown instead when asked for.
    std::optional<int> CheckLine(const char* help, size_t minWords, size_t maxWords,
                                 std::initializer_list<const char*> allowed,
                                 int refused = kExitRefused) {
        const std::string command = CommandName();
        if (!cl_.unknown.empty())
            return Refuse(refused,
                          "halvctl: " + command + ": unknown option " + Printable(cl_.unknown));
        if (cl_.help) return Help(help);
        for (const std::string& option : cl_.options) {
            bool ok = false;
            for (const char* a : allowed) ok = ok || option == a;
            if (!ok)
                return Refuse(refused,
                              "halvctl: " + command + " does not take " + Printable(option));
        }
        if (cl_.words.size() > maxWords)
            return Refuse(refused, "halvctl: " + command + ": unexpected \"" +
                                       Printable(cl_.words[maxWords]) + "\"; \"halvctl " +
                                       Lower(cl_.words[0]) + " --help\" shows its usage");
        if (cl_.words.size() < minWords) {
            ports_.console.Err("halvctl: " + command + ": too few arguments\n");
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

    DocumentFacts Facts() const {
        const auto now = ports_.facts.now ? ports_.facts.now() : std::chrono::system_clock::now();
        return {ports_.facts.version, ports_.facts.host, Rfc3339Utc(now)};
    }

    // Names on standard error what could not be read: the ports that did not open, the
    // adapters and device slots discovery could not read (of adapter `only`, when given), and
    // the values a report found unknown. 1 when there was any.
    int ReportUnreadable(Inventory& inv, const std::string& command, const Unknowns& unknowns,
                         std::optional<int> only = std::nullopt) {
        bool any = !unknowns.empty();
        if (!only) {
            for (const UnopenedPort& u : inv.unopened()) {
                ports_.console.Err("halvctl: " + command + ": " + UnopenedText(u) + "\n");
                any = true;
            }
            if (inv.probed() == 0 && inv.unopened().empty())
                ports_.console.Err("halvctl: " + command + ": no adapter found\n");
        }
        for (const Unreadable& u : inv.unreadable()) {
            if (only && u.address.adapter != *only) continue;
            ports_.console.Err("halvctl: " + command + ": " + u.what + " could not be read\n");
            any = true;
        }
        for (const std::string& what : unknowns.what)
            ports_.console.Err("halvctl: " + command + ": " + what + " could not be read\n");
        return any ? kExitFailed : kExitOk;
    }

    int List() {
        if (auto done = CheckLine(kListHelp, 1, 1, {"--json"})) return *done;
        auto inv = Discover();
        Unknowns unknowns;
        ports_.console.Out(cl_.json ? JsonDocument(*inv, std::nullopt, Facts(), &unknowns)
                                    : ListText(*inv));
        return ReportUnreadable(*inv, "list", unknowns);
    }

    // Finds what `address` names: an adapter named by its SCSI port gets its number. 2 when it
    // names nothing discovery found or its number may have slipped, 1 when it names a port,
    // adapter or slot that could not be read.
    std::optional<int> Resolve(Inventory& inv, Address& address, const std::string& command) {
        const std::string missing = " (\"halvctl list\" shows those found)";
        if (address.ByScsiPort()) {
            const std::string port = "scsi" + std::to_string(address.scsiPort);
            if (inv.channel().LegacyPlatform())
                return Refuse(kExitRefused, "halvctl: " + command + ": " + port +
                                                ": in Windows 9x mode adapters have no SCSI "
                                                "port; name the adapter by its number");
            const int a = inv.AdapterAtScsiPort(address.scsiPort);
            if (a < 0) {
                for (const UnopenedPort& u : inv.unopened())
                    if (u.scsiPort == address.scsiPort)
                        return Refuse(kExitFailed, "halvctl: " + command + ": " + UnopenedText(u));
                return Refuse(kExitRefused,
                              "halvctl: " + command + ": no adapter at " + port + missing);
            }
            address.adapter = a;
        } else if (const std::vector<UnopenedPort> before = inv.UnopenedBefore(address.adapter);
                   !before.empty()) {
            // The probe numbers the adapters that open. A port before this adapter's that did
            // not open may hold one of ours: then the number names another adapter than it did
            // yesterday, and only the port is sure.
            const std::string port = inv.HasAdapter(address.adapter)
                                         ? " (here " + inv.PortName(address.adapter) + ")"
                                         : "";
            return Refuse(kExitRefused,
                          "halvctl: " + command + ": " + UnopenedText(before.front()) +
                              "; adapter numbers may have shifted, so adapter " +
                              AddressText(address.adapter) +
                              " is not named by its number: name it by its SCSI port" + port +
                              "; nothing was sent");
        }
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
                                            AddressText(adapter) +
                                            (inv.probed() ? missing : " (no adapter was found)"));
        return Refuse(kExitRefused,
                      "halvctl: " + command + ": no device at " + AddressText(address) + missing);
    }

    std::optional<Address> AddressArgument(const std::string& text, const std::string& command,
                                           bool deviceOnly) {
        const std::optional<Address> address = ParseAddress(text);
        if (!address || (deviceOnly && !address->IsDevice())) {
            Refuse(kExitRefused,
                   "halvctl: " + command + ": \"" + Printable(text) + "\" is not " +
                       (deviceOnly ? "a device address (0/1/0 or scsi2/1/0: adapter, port, "
                                     "device)"
                                   : "an address (an adapter: 0 or scsi2, a device: 0/1/0)"));
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
        if (address)
            if (auto refused = Resolve(*inv, *address, command)) return *refused;
        Unknowns unknowns;
        ports_.console.Out(cl_.json ? JsonDocument(*inv, address, Facts(), &unknowns)
                                    : ShowText(*inv, address, &unknowns));
        return ReportUnreadable(*inv, command, unknowns,
                                address ? std::optional<int>(address->adapter) : std::nullopt);
    }

    int Health() {
        if (auto done = CheckLine(kHealthHelp, 1, 1, {}, kHealthNoAdapter)) return *done;
        auto inv = Discover();
        const HealthReport report = CheckHealth(*inv);
        ports_.console.Out(report.text);
        // A port that does not open is also said where a person reads it: it is most often
        // a prompt that is not elevated.
        for (const UnopenedPort& u : inv->unopened())
            ports_.console.Err("halvctl: health: " + UnopenedText(u) + "\n");
        return report.exitCode;
    }

    int Metrics() {
        if (auto done = CheckLine(kMetricsHelp, 1, 1, {"--textfile"})) return *done;
        return RunMetrics(ports_, cl_.textfile);
    }

    int Bios() {
        const std::string sub = cl_.words.size() >= 2 ? Lower(cl_.words[1]) : "";
        if (cl_.words.size() >= 2 && sub != "backup" && sub != "update")
            return Refuse(kExitRefused, "halvctl: bios: \"" + Printable(cl_.words[1]) +
                                            "\" is neither backup nor update");
        const bool update = sub == "update";
        if (auto done = CheckLine(kBiosHelp, 4, 4, {update ? "--yes" : "--force"})) return *done;
        const std::string command = "bios " + sub;
        std::optional<Address> adapter = ParseAddress(cl_.words[2]);
        if (!adapter || adapter->IsDevice())
            return Refuse(kExitRefused, "halvctl: " + command + ": \"" + Printable(cl_.words[2]) +
                                            "\" is not an adapter (0, 1, ... or scsi2)");
        const std::string& file = cl_.words[3];
        if (update && !cl_.yes)
            return Refuse(kExitRefused, "halvctl: " + command + ": writes adapter " +
                                            Printable(cl_.words[2]) +
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
        const std::string what = command + " " + Printable(cl_.words[2]) + " " + Printable(file);
        if (auto refused = Resolve(*inv, *adapter, what)) return *refused;
        const int a = adapter->adapter;
        inv->tables().SelectedController = static_cast<uint8_t>(a);
        GivenFile dialogs(file);
        BackupFiles backupFiles(ports_.files, ports_.placement, cl_.force);
        ConsoleMessages messages(ports_.console, what, AdapterTarget(*inv, a));
        messages.file = update ? file : PartialBackupPath(file);
        if (update) messages.imageRefusal = CheckImage(file, *inv, a);
        halv::BiosCommandPorts bios{inv->tables(), inv->channel(), dialogs,
                                    update ? ports_.files : backupFiles, messages};
        errno = 0;
        if (update)
            halv::OnUpdateBios(bios);
        else
            halv::OnBackupBios(bios);
        return messages.ExitCode();
    }

    // The image check HALV's update will refuse FILE for, read ahead of it; "" when the file
    // passes or cannot be read (HALV then says so itself).
    std::string CheckImage(const std::string& file, Inventory& inv, int a) {
        // Some C libraries open a folder for reading and then read nothing from it.
        std::error_code ec;
        if (std::filesystem::is_directory(file, ec)) return "it is a folder";
        std::unique_ptr<halv::BinaryFile> f = ports_.files.OpenRead(file);
        if (!f) return "";
        std::vector<uint8_t> image(halv::kBiosImageSize + 1);
        size_t got = 0;
        while (got < image.size()) {
            const size_t n = f->Read(std::span<uint8_t>(image).subspan(got));
            if (n == 0) break;
            got += n;
        }
        f->Close();
        const bool more = got > halv::kBiosImageSize;
        return ImageRefusal(
            std::span<const uint8_t>(image).first(std::min(got, halv::kBiosImageSize)), more,
            inv.tables().ControllerInfo(a).U32(channel::controller_info::PciDeviceId.offset));
    }

    int Tcq() {
        if (auto done = CheckLine(kTcqHelp, 1, 2, {})) return *done;
        const std::string where =
            std::string("TAG_CMD under HKEY_LOCAL_MACHINE\\") + halv::kQueuedCommandKey;
        const uint8_t setting =
            ports_.queuedCommands.QueuedCommandSetting(halv::kQueuedCommandRead);
        if (cl_.words.size() == 1) {
            if (setting == halv::kQueuedCommandUnreadable)
                return Refuse(kExitFailed, "halvctl: tcq: cannot read " + where +
                                               ": the key or value is missing, or access was "
                                               "denied");
            ports_.console.Out(setting == 0 ? "off\n" : "on\n");
            return kExitOk;
        }
        const std::string value = Lower(cl_.words[1]);
        if (value != "on" && value != "off")
            return Refuse(kExitRefused, "halvctl: tcq: \"" + Printable(cl_.words[1]) +
                                            "\" is neither on nor off");
        const bool on = value == "on";
        if (setting != halv::kQueuedCommandUnreadable && (setting != 0) == on) {
            ports_.console.Out("TCQ/NCQ is already " + value + "; nothing was changed\n");
            return kExitOk;
        }
        NoMenu menu;
        ConsoleMessages messages(ports_.console, "tcq " + value, "");
        halv::ChangeQueuedCommands(on, ports_.queuedCommands, menu, messages);
        // A setting that cannot be written shows nothing in HALV; here it is named. One that
        // reads but does not write is refused to this user: the usual cause is the prompt.
        if (!messages.shown())
            return Refuse(kExitFailed,
                          "halvctl: tcq " + value + ": cannot write " + where +
                              (setting == halv::kQueuedCommandUnreadable
                                   ? ": the key or value is missing, or access was denied"
                                   : ": access was denied (run halvctl elevated, from an "
                                     "administrator's prompt)"));
        // The value is the miniport's, not one adapter's: no adapter is asked, and the output
        // says what was written and what it covers.
        if (messages.succeeded())
            ports_.console.Out(where + " is now " + value +
                               ", for every adapter of the miniport\n");
        return messages.ExitCode();
    }

    int TransferMode() {
        if (auto done = CheckLine(kTransferModeHelp, 4, 4, {})) return *done;
        const std::string command = Joined(cl_.words, 4);
        std::optional<Address> address = AddressArgument(cl_.words[1], command, true);
        if (!address) return kExitRefused;
        const std::string kind = Lower(cl_.words[2]);
        if (kind != "pio" && kind != "dma" && kind != "udma")
            return Refuse(kExitRefused, "halvctl: " + command + ": \"" + Printable(cl_.words[2]) +
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
        if (auto refused = Resolve(*inv, *address, command)) return *refused;
        halv::ManagerTables& t = inv->tables();
        const int a = address->adapter, p = address->port, d = address->device;
        const std::string device = "device " + AddressText(a, p, d);
        // The modes a device reports are its highest of each kind; one above them is refused
        // here, whatever the dialog's lists would offer.
        const wire::ByteView rec = t.DeviceInfo(a, p, d);
        namespace di = channel::device_info;
        const uint8_t highest = kind == "pio"   ? rec.U8(di::PioMode.offset)
                                : kind == "dma" ? rec.U8(di::DmaMode.offset)
                                                : rec.U8(di::UdmaMode.offset);
        const std::string kindText = kind == "pio" ? "PIO" : kind == "dma" ? "DMA" : "UDMA";
        if (highest == di::kModeNone)
            return Refuse(kExitRefused, "halvctl: " + command + ": " + device + " has no " +
                                            kindText + " mode; nothing was sent");
        if (mode > highest)
            return Refuse(kExitRefused, "halvctl: " + command + ": " + device + "'s highest " +
                                            kindText + " mode is " + kindText + "-" +
                                            std::to_string(highest) + "; nothing was sent");

        // The dialog offers what the list's transfer-mode row left in TransferModeCode.
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
        const std::string wanted = kindText + "-" + std::to_string(mode);
        if (kind == "pio") {
            if (mode < halv::kPioModeChoices) pioSelection = halv::kPioModeChoices - 1 - mode;
        } else {
            for (size_t i = 0; i < dmaList.size(); ++i)
                if (dmaList[i] == wanted) dmaSelection = static_cast<int>(i);
        }
        if (dmaSelection < 0 && pioSelection < 0) {
            std::string offered;
            for (const std::string& m : dmaList) offered += m + ", ";
            for (int i = halv::kPioModeChoices - 1; i >= 0; --i)
                offered += "PIO-" + std::to_string(i) + (i ? ", " : "");
            return Refuse(kExitRefused, "halvctl: " + command + ": " + device + " is offered " +
                                            offered + "; nothing was sent");
        }
        ConsoleMessages messages(ports_.console, command, device + " on " + AdapterTarget(*inv, a));
        halv::ApplyTransferModeChoice(t, inv->channel(), messages, dmaSelection, pioSelection);
        if (messages.succeeded()) ports_.console.Out(device + " now uses " + wanted + "\n");
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
