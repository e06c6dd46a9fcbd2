// The main window "Torvale Disk Controller Manager" (dialog 102): the adapter tree on the
// left, the information list on the right, the menu bar's commands. And the About box.
#pragma once

#include <stdint.h>

#include "manager/core/info_list.h"
#include "manager/win32/adapter_tree_ctrl.h"
#include "manager/win32/framework.h"
#include "manager/win32/info_list_ctrl.h"

class CHalvDlg : public fw::Dialog {
  public:
    explicit CHalvDlg(HWND parent = nullptr);
    ~CHalvDlg() override;

    // Enables the queued-command menu items to match a setting just read (6: unreadable,
    // the items keep their state).
    void UpdateQueuedCommandMenu(uint8_t setting);

    bool Dispatch(const fw::Message& m, LRESULT& result) override;

  protected:
    BOOL OnInitDialog() override;
    void BindControls() override;

  private:
    void EnumerateAdapters();
    void PublishReferences();

    void OnExit();
    void OnAbout();
    void OnTreeExpanded();
    void OnTreeCollapsed();
    void OnRefreshHbaList();
    void OnEnableQueuedCommands();
    void OnDisableQueuedCommands();
    void ChangeQueuedCommands(bool on);
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam, bool& handled);
    LRESULT OnPaint(WPARAM wParam, LPARAM lParam, bool& handled);
    LRESULT OnQueryDragIcon(WPARAM wParam, LPARAM lParam, bool& handled);
    LRESULT OnDestroy(WPARAM wParam, LPARAM lParam, bool& handled);

    static const fw::Route<CHalvDlg> kRoutes[];

    // In this order; released in reverse.
    CAdapterTreeCtrl m_tree;
    halv::InfoListFiller m_filler;
    CInfoListCtrl m_list;
    fw::Menu m_cardMenu;
    fw::ImageList m_treeImages;
    fw::ImageList m_listImages;
    fw::Bitmap m_bitmap;  // each picture while it is added to an image list
    HICON m_hIcon;
};

class CAboutDlg : public fw::Dialog {
  public:
    explicit CAboutDlg(HWND parent = nullptr);
    bool Dispatch(const fw::Message& m, LRESULT& result) override;

  private:
    void OnPicture();

    static const fw::Route<CAboutDlg> kRoutes[];
};
