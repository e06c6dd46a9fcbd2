/* The texts of the manager's string table. The resource script builds HALV's string table
   from these macros and the console program prints the same texts, so the two can never
   word a message differently. Plain #defines, as the resource compiler reads them too. */
#pragma once

#include "manager/core/resource_ids.h"

#define IDS_TEXT_BACKUP_TITLE "Backup BIOS To File"
#define IDS_TEXT_UPDATE_TITLE "Update BIOS From File"
#define IDS_TEXT_OPEN_FILE_FAILED \
    "Open file failed !  Please check the permission of file and make sure file existed."
#define IDS_TEXT_IOCTL_FAILED "IOCTL failed ! Please try again after a moment"
#define IDS_TEXT_BACKUP_DONE "Backup BIOS to file successfully!"
#define IDS_TEXT_UPDATE_DONE "Update BIOS successfully! Please reboot host to take effect."
#define IDS_TEXT_FILE_CORRUPTED "File corrupted or BIOS could't be updated by this file."
#define IDS_TEXT_TCQ_CHANGED "Setting is changed ! Please reboot host to take effect."
#define IDS_TEXT_TRANSFER_MODE_SET "Transfer Mode is set successfully, please refresh HBA List."
#define IDS_TEXT_TRANSFER_MODE_FAILED "Set Transfer Mode failed, please try again."

#ifndef RC_INVOKED
namespace halv {

// The text of a message id of the string table above; "" for any other id.
inline const char* MessageText(unsigned id) {
    switch (id) {
        case IDS_BACKUP_TITLE:
            return IDS_TEXT_BACKUP_TITLE;
        case IDS_UPDATE_TITLE:
            return IDS_TEXT_UPDATE_TITLE;
        case IDS_OPEN_FILE_FAILED:
            return IDS_TEXT_OPEN_FILE_FAILED;
        case IDS_IOCTL_FAILED:
            return IDS_TEXT_IOCTL_FAILED;
        case IDS_BACKUP_DONE:
            return IDS_TEXT_BACKUP_DONE;
        case IDS_UPDATE_DONE:
            return IDS_TEXT_UPDATE_DONE;
        case IDS_FILE_CORRUPTED:
            return IDS_TEXT_FILE_CORRUPTED;
        case IDS_TCQ_CHANGED:
            return IDS_TEXT_TCQ_CHANGED;
        case IDS_TRANSFER_MODE_SET:
            return IDS_TEXT_TRANSFER_MODE_SET;
        case IDS_TRANSFER_MODE_FAILED:
            return IDS_TEXT_TRANSFER_MODE_FAILED;
        default:
            return "";
    }
}

}  // namespace halv
#endif
