#include "manager/win32/halv_dlg.h"

#include "manager/core/discovery.h"
#include "manager/core/main_window.h"
#include "manager/core/queued_commands.h"
#include "manager/core/resource_ids.h"
#include "manager/core/tree_events.h"
#include "manager/win32/app_context.h"
#include "manager/win32/maintenance_ports.h"
#include "manager/win32/queued_command_registry.h"

namespace {

// The main menu's items as the portable code sees them.
class MainMenuItems final : public halv::MenuItems {
  public:
    explicit MainMenuItems(HWND dialog) : dialog_(dialog) {}
    void SetEnabled(unsigned commandId, bool enabled) override {
        if (HMENU menu = GetMenu(dialog_))
            EnableMenuItem(menu, commandId, MF_BYCOMMAND | (enabled ? MF_ENABLED : MF_GRAYED));
    }

  private:
    HWND dialog_;
};

}  // namespace

// ---- CHalvDlg ----------------------------------------------------------------------------

const fw::Route<CHalvDlg> CHalvDlg::kRoutes[] = {
    fw::OnMessage(WM_SYSCOMMAND, &CHalvDlg::OnSysCommand),
    fw::OnMessage(WM_PAINT, &CHalvDlg::OnPaint),
    fw::OnMessage(WM_QUERYDRAGICON, &CHalvDlg::OnQueryDragIcon),
    fw::OnMessage(WM_DESTROY, &CHalvDlg::OnDestroy),
    fw::OnCommand(ID_FILE_EXIT, &CHalvDlg::OnExit),
    fw::OnCommand(ID_HELP_ABOUT, &CHalvDlg::OnAbout),
    fw::OnCommand(ID_VIEW_TREE_EXPANDED, &CHalvDlg::OnTreeExpanded),
    fw::OnCommand(ID_VIEW_TREE_COLLAPSED, &CHalvDlg::OnTreeCollapsed),
    fw::OnCommand(ID_VIEW_REFRESH, &CHalvDlg::OnRefreshHbaList),
    fw::OnCommand(ID_OPTION_ENABLE_TCQ, &CHalvDlg::OnEnableQueuedCommands),
    fw::OnCommand(ID_OPTION_DISABLE_TCQ, &CHalvDlg::OnDisableQueuedCommands),
};

CHalvDlg::CHalvDlg(HWND parent)
    : fw::Dialog(IDD_HALV_DIALOG, parent),
      m_filler(Tables(), Channel()),
      m_hIcon(LoadIconA(fw::Instance(), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

CHalvDlg::~CHalvDlg() {
    HalvRefs& refs = Refs();
    if (refs.mainDialog == this) refs = HalvRefs{};
}

bool CHalvDlg::Dispatch(const fw::Message& m, LRESULT& result) {
    return fw::RouteThrough(this, kRoutes, m, result) || fw::Dialog::Dispatch(m, result);
}

void CHalvDlg::BindControls() {
    m_tree.Attach(GetDlgItem(hwnd_, IDC_ADAPTER_TREE));
    m_list.Attach(GetDlgItem(hwnd_, IDC_INFO_LIST));
    m_filler.AttachList(&m_list);
}

BOOL CHalvDlg::OnInitDialog() {
    fw::Dialog::OnInitDialog();

    HMENU system = GetSystemMenu(hwnd_, FALSE);
    const std::string about = fw::LoadText(IDS_ABOUTBOX);
    if (halv::ShouldAddAboutToSystemMenu(system != nullptr, about)) {
        AppendMenuA(system, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(system, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }

    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));

    // Tree pictures take indices 0 to 4 in this order; white is their transparent colour.
    m_treeImages.Create(16, 16, true, 5, 7);
    // A picture that fails to load leaves a blank in its place, so the others keep their index.
    for (UINT id : {IDB_ROOT, IDB_ADAPTER, IDB_PORT, IDB_DISK, IDB_OPTICAL}) {
        if (!m_bitmap.Load(id) || m_treeImages.Add(m_bitmap.get(), RGB(255, 255, 255)) < 0)
            m_treeImages.AddBlank();
        m_bitmap.Delete();
    }
    m_tree.SetImageList(m_treeImages.get(), TVSIL_NORMAL);

    m_listImages.Create(16, 16, false, 2, 3);
    for (UINT id : {IDB_INFO, IDB_HAND}) {
        if (!m_bitmap.Load(id) || m_listImages.Add(m_bitmap.get()) < 0) m_listImages.AddBlank();
        m_bitmap.Delete();
    }
    m_list.SetImageList(m_listImages.get(), LVSIL_SMALL);

    m_list.InsertColumn(0, "Item", 128);
    m_list.InsertColumn(1, "Value", 128);
    m_list.InsertColumn(2, "Info Type", 64);

    Refs().mainDialog = this;
    EnumerateAdapters();

    PublishReferences();
    m_cardMenu.Load(IDR_CARD_MENU);
    Refs().cardMenu = m_cardMenu.get();
    return TRUE;
}

void CHalvDlg::PublishReferences() {
    HalvRefs& refs = Refs();
    refs.tree = &m_tree;
    refs.filler = &m_filler;
    refs.list = &m_list;
}

void CHalvDlg::EnumerateAdapters() {
    Win32Registry registry;
    halv::RegistryQueuedCommandStore store(registry);
    halv::DiscoveryPorts ports{Channel(), Platform(), m_tree, store,
                               [this](uint8_t setting) { UpdateQueuedCommandMenu(setting); }};
    halv::EnumerateAdapters(Tables(), ports);
}

void CHalvDlg::UpdateQueuedCommandMenu(uint8_t setting) {
    MainMenuItems items(hwnd_);
    halv::UpdateQueuedCommandMenu(items, setting);
}

void CHalvDlg::OnExit() {
    EndDialog(0);
}

void CHalvDlg::OnAbout() {
    CAboutDlg about(hwnd_);
    about.DoModal();
}

void CHalvDlg::OnTreeExpanded() {
    halv::ExpandTree(m_tree, halv::kTreeExpand);
}
void CHalvDlg::OnTreeCollapsed() {
    halv::ExpandTree(m_tree, halv::kTreeCollapse);
}
void CHalvDlg::OnRefreshHbaList() {
    // A rebuilt tree starts without a selection, and the list with it. Deleting the items does
    // not reliably clear the selection on every platform: a new item could take the old one's
    // handle and appear selected, with the list still showing the device that was removed.
    m_tree.SelectNone();
    EnumerateAdapters();
    halv::OnTreeSelectionChanged(Tables(), m_tree, m_list, m_filler);
}

void CHalvDlg::ChangeQueuedCommands(bool on) {
    Win32Registry registry;
    halv::RegistryQueuedCommandStore store(registry);
    MainMenuItems items(hwnd_);
    Win32MessageBoxes messages(hwnd_);
    halv::ChangeQueuedCommands(on, store, items, messages);
}

void CHalvDlg::OnEnableQueuedCommands() {
    ChangeQueuedCommands(true);
}
void CHalvDlg::OnDisableQueuedCommands() {
    ChangeQueuedCommands(false);
}

LRESULT CHalvDlg::OnSysCommand(WPARAM wParam, LPARAM, bool& handled) {
    if (halv::IsAboutSystemCommand(static_cast<unsigned>(wParam)))
        OnAbout();
    else
        handled = false;
    return 0;
}

LRESULT CHalvDlg::OnPaint(WPARAM, LPARAM, bool& handled) {
    if (!IsIconic(hwnd_)) {
        handled = false;
        return 0;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd_, &paint);
    SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(hwnd_, &client);
    const halv::Point at =
        halv::MinimisedIconPosition(client.right - client.left, client.bottom - client.top,
                                    GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    DrawIcon(dc, at.x, at.y, m_hIcon);
    EndPaint(hwnd_, &paint);
    return 0;
}

LRESULT CHalvDlg::OnQueryDragIcon(WPARAM, LPARAM, bool&) {
    return reinterpret_cast<LRESULT>(m_hIcon);
}

LRESULT CHalvDlg::OnDestroy(WPARAM, LPARAM, bool& handled) {
    // The list would destroy its image list with itself; this object owns it and does so.
    m_list.SetImageList(nullptr, LVSIL_SMALL);
    m_tree.SetImageList(nullptr, TVSIL_NORMAL);
    Refs() = HalvRefs{};
    handled = false;
    return 0;
}

// ---- CAboutDlg ---------------------------------------------------------------------------

const fw::Route<CAboutDlg> CAboutDlg::kRoutes[] = {
    fw::OnCommand(IDC_ABOUT_PICTURE, &CAboutDlg::OnPicture),
};

CAboutDlg::CAboutDlg(HWND parent) : fw::Dialog(IDD_ABOUTBOX, parent) {}

bool CAboutDlg::Dispatch(const fw::Message& m, LRESULT& result) {
    return fw::RouteThrough(this, kRoutes, m, result) || fw::Dialog::Dispatch(m, result);
}

void CAboutDlg::OnPicture() {}
