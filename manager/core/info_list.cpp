#include "manager/core/info_list.h"

#include <string.h>

#include "manager/core/discovery.h"

namespace halv {

namespace di = channel::device_info;

std::string ChipNameFor(uint32_t pciDeviceId) {
    switch (pciDeviceId) {
        case 0x6A31:
            return "KLN61001";
        case 0x6A32:
            return "KLN61002";
        case 0x6A22:
            return "KLN61003";
        case 0x6A11:
            return "KLN61004";
        case 0x6A12:
            return "KLN61005";
        case 0x6A21:
            return "KLN61006";
        default:
            return "Unknow";
    }
}

TransferMode TransferModeOf(uint8_t pioMode, uint8_t dmaMode, uint8_t udmaMode, uint8_t chosen) {
    auto shown = [chosen](uint8_t own) { return std::to_string(chosen != 0 ? chosen : own); };
    if (udmaMode != di::kModeNone)
        return {"UDMA-" + shown(udmaMode), static_cast<int8_t>(udmaMode)};
    if (dmaMode != di::kModeNone)
        return {"DMA-" + shown(dmaMode), static_cast<int8_t>(-static_cast<int>(dmaMode))};
    return {"PIO-" + shown(pioMode), 0};
}

std::string SmartStateText(uint8_t smartState) {
    switch (smartState) {
        case channel::smart_status::kFunctional:
            return "Functional";
        case channel::smart_status::kPredictiveError:
            return "Predictive Error";
        default:
            return channel::kTemporarilyUnknown;
    }
}

std::vector<InfoRow> EnclosureRows(int result, const channel::EnclosureTexts& t) {
    const std::string box = "SwapBox";
    const InfoRow volts{" Vol.(5/12V)", t.volts5 + "/" + t.volts12, box};
    switch (result) {
        case channel::kEnclosureOneFan:
            return {{" Type", t.type, box},
                    {" Fan(RPM)", t.fan1, box},
                    {" Temperature(C/F)", t.celsius1 + "/" + t.fahrenheit1, box},
                    volts};
        case channel::kEnclosureTwoFans:
            return {{" Type", t.type, box},
                    {" Location", t.location, box},
                    {" Fan(RPM)", t.fan1, box},
                    {" Fan2(RPM)", t.fan2, box},
                    {" Temperature(C/F)", t.celsius1 + "/" + t.fahrenheit1, box},
                    {" Temperature2(C/F)", t.celsius2 + "/" + t.fahrenheit2, box},
                    volts};
        case channel::kEnclosureUnsupported:
            return {{" SwapBox Status", "No Support", ""}};
        default:  // the request failed
            return {{" SwapBox Status", channel::kTemporarilyUnknown, ""}};
    }
}

std::string CapacityText(uint32_t sectors) {
    return "LBA = " + std::to_string(sectors) + " ,  " + std::to_string(sectors / 2000000u) + " GB";
}

void InfoListFiller::AddRow(const InfoRow& row) {
    if (!list_) return;
    const int index = list_->InsertRow(list_->RowCount(), row.item, row.image);
    if (index < 0) return;
    list_->SetCell(index, kColumnValue, row.value);
    if (!row.infoType.empty()) list_->SetCell(index, kColumnInfoType, row.infoType);
}

void InfoListFiller::ShowControllerInfo(uint8_t controller) {
    if (!list_ || controller >= kMaxAdapters) return;
    const uint32_t pciId =
        tables_.ControllerInfo(controller).U32(channel::controller_info::PciDeviceId.offset);
    const ControllerEntry& entry = tables_.ControllerEntries[controller];
    AddRow({" Model Name", ModelNameFor(tables_, pciId, controller), ""});
    AddRow({" Chip Name", ChipNameFor(pciId), ""});
    AddRow({" BIOS Version", channel_.ReadBiosVersion(controller), ""});
    AddRow(
        {" Driver Version",
         std::string(entry.DriverVersion, strnlen(entry.DriverVersion, sizeof entry.DriverVersion)),
         ""});
}

void InfoListFiller::ShowDeviceInfo(uint8_t controller, uint8_t port, uint8_t device) {
    if (!list_ || controller >= kMaxAdapters || port >= kMaxPorts || device >= kMaxDevicesPerPort)
        return;
    DeviceEntry& entry = tables_.DeviceEntries[controller][port][device];
    const wire::ByteView info = tables_.DeviceInfo(controller, port, device);
    const std::string drive = "Drive";

    AddRow({" Model Name", FieldText(info, di::ModelName), drive});
    AddRow({" Serial No", FieldText(info, di::SerialNumber), drive});
    AddRow({" Firmware Version", FieldText(info, di::FirmwareVersion), drive});
    if (!entry.IsPacket) {
        AddRow({" Geometry(C/H/S)",
                std::to_string(info.U16(di::Cylinders.offset)) + "/" +
                    std::to_string(info.U8(di::Heads.offset)) + "/" +
                    std::to_string(info.U8(di::SectorsPerTrack.offset)),
                drive});
        AddRow({" Capacity", CapacityText(info.U32(di::CapacitySectors.offset)), drive});
    }

    const TransferMode mode = TransferModeOf(
        info.U8(di::PioMode.offset), info.U8(di::DmaMode.offset), info.U8(di::UdmaMode.offset),
        tables_.ChosenModeNumbers[controller][port][device]);
    entry.TransferModeCode = mode.code;
    AddRow({kTransferModeLabel, mode.text, drive, kListImageHand});

    if (entry.SmartFlags & kSmartEnabled)
        AddRow({" Smart Status", SmartStateText(channel_.QuerySmartState(controller, port, device)),
                drive});

    if (!entry.IsPacket && entry.HasEnclosure == 1) {
        channel::EnclosureTexts texts;
        const int result = channel_.QueryEnclosure(controller, port, texts);
        for (const InfoRow& row : EnclosureRows(result, texts)) AddRow(row);
    }
}

bool ListRightClickOpensTransferMode(const ListView& list) {
    const int row = list.FirstSelectedRow();
    return row >= 0 && list.CellText(row, 0) == kTransferModeLabel;
}

}  // namespace halv
