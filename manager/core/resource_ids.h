// Resource and command identifiers of the manager. Plain #defines so that the resource
// compiler and the C++ code share one list.
#pragma once

#define IDR_MAINFRAME 128          /* window icon */
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101           /* "&About HALV..." */
#define IDD_HALV_DIALOG 102
#define IDD_TRANSFER_MODE 155
#define IDR_CARD_MENU 149
#define IDR_MAIN_MENU 150

#define IDB_ROOT 137
#define IDB_ADAPTER 130
#define IDB_PORT 136
#define IDB_DISK 131
#define IDB_OPTICAL 132
#define IDB_INFO 153
#define IDB_HAND 154
#define IDB_ABOUT 152

#define IDC_ADAPTER_TREE 1000
#define IDC_INFO_LIST 1001
#define IDC_ABOUT_PICTURE 1002
#define IDC_DMA_MODE 1003
#define IDC_PIO_MODE 1004
#define IDC_DMA_LABEL 1005
#define IDC_PIO_LABEL 1006

#define IDM_ABOUTBOX 0x0010        /* system-menu item */

#define ID_CARD_BACKUP_BIOS 32794
#define ID_CARD_UPDATE_BIOS 32795
#define ID_FILE_EXIT 32796
#define ID_VIEW_TREE_EXPANDED 32797
#define ID_VIEW_TREE_COLLAPSED 32798
#define ID_HELP_ABOUT 32799
#define ID_OPTION_ENABLE_TCQ 32801
#define ID_OPTION_DISABLE_TCQ 32802
#define ID_VIEW_REFRESH 32803

/* Message strings */
#define IDS_BACKUP_TITLE 102
#define IDS_UPDATE_TITLE 103
#define IDS_OPEN_FILE_FAILED 104
#define IDS_IOCTL_FAILED 105
#define IDS_BACKUP_DONE 106
#define IDS_UPDATE_DONE 107
#define IDS_FILE_CORRUPTED 108
#define IDS_TCQ_CHANGED 32801
#define IDS_TRANSFER_MODE_SET 32802
#define IDS_TRANSFER_MODE_FAILED 32803
