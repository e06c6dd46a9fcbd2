#include "manager/win32/framework.h"

#include <vector>

namespace fw {

namespace {

constexpr char kObjectProp[] = "fw.Window";
constexpr UINT_PTR kSubclassId = 1;
// The resource type that holds a dialog's initialisation data (see the resource script).
constexpr WORD kInitDataType = 240;
// The message number the initialisation data uses for adding a combo-box string.
constexpr WORD kInitAddComboString = 0x0403;

Application* g_application = nullptr;

// Messages whose dialog-procedure return value is their result; every other result travels
// in DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT msg) {
    switch (msg) {
        case WM_CHARTOITEM:
        case WM_COMPAREITEM:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORMSGBOX:
        case WM_INITDIALOG:
        case WM_QUERYDRAGICON:
        case WM_VKEYTOITEM:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---- Window --------------------------------------------------------------------------------

Window::~Window() {
    Unbind();
}

Window* Window::FromHandle(HWND hwnd) {
    return hwnd ? static_cast<Window*>(GetPropA(hwnd, kObjectProp)) : nullptr;
}

bool Window::Dispatch(const Message&, LRESULT&) {
    return false;
}
bool Window::DispatchReflected(const Message&, LRESULT&) {
    return false;
}

void Window::Bind(HWND hwnd) {
    hwnd_ = hwnd;
    SetPropA(hwnd, kObjectProp, this);
}

void Window::Unbind() {
    if (hwnd_ && IsWindow(hwnd_) && GetPropA(hwnd_, kObjectProp) == this)
        RemovePropA(hwnd_, kObjectProp);
    hwnd_ = nullptr;
}

// ---- Control -------------------------------------------------------------------------------

Control::~Control() {
    if (hwnd_ && IsWindow(hwnd_)) RemoveWindowSubclass(hwnd_, SubclassProc, kSubclassId);
}

bool Control::Attach(HWND hwnd) {
    if (!hwnd || hwnd_) return false;
    if (!SetWindowSubclass(hwnd, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this)))
        return false;
    Bind(hwnd);
    return true;
}

LRESULT CALLBACK Control::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR refData) {
    auto* self = reinterpret_cast<Control*>(refData);
    if (msg == WM_NCDESTROY) {
        RemoveWindowSubclass(hwnd, SubclassProc, kSubclassId);
        self->Unbind();
        return DefSubclassProc(hwnd, msg, wParam, lParam);
    }
    LRESULT result = 0;
    try {
        if (self->Dispatch({msg, wParam, lParam}, result)) return result;
    } catch (...) {
        return 0;
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

// ---- Dialog --------------------------------------------------------------------------------

INT_PTR Dialog::DoModal() {
    return DialogBoxParamA(Instance(), MAKEINTRESOURCEA(templateId_), parent_, Proc,
                           reinterpret_cast<LPARAM>(this));
}

void Dialog::EndDialog(INT_PTR result) {
    if (hwnd_) ::EndDialog(hwnd_, result);
}

bool Dialog::Dispatch(const Message& m, LRESULT& result) {
    if (m.msg == WM_COMMAND && HIWORD(m.wParam) <= 1) {
        if (LOWORD(m.wParam) == IDOK) {
            OnOK();
            result = 0;
            return true;
        }
        if (LOWORD(m.wParam) == IDCANCEL) {
            OnCancel();
            result = 0;
            return true;
        }
    }
    return Window::Dispatch(m, result);
}

BOOL Dialog::OnInitDialog() {
    BindControls();
    ApplyInitData();
    return TRUE;
}

void Dialog::ApplyInitData() {
    HRSRC found =
        FindResourceA(Instance(), MAKEINTRESOURCEA(templateId_), MAKEINTRESOURCEA(kInitDataType));
    if (!found) return;
    HGLOBAL loaded = LoadResource(Instance(), found);
    const auto* data = static_cast<const BYTE*>(loaded ? LockResource(loaded) : nullptr);
    const DWORD size = SizeofResource(Instance(), found);
    if (!data) return;

    // Entries: control id (16 bits), message (16 bits), text length (32 bits), text.
    DWORD at = 0;
    auto word = [&](DWORD off) { return static_cast<WORD>(data[off] | (data[off + 1] << 8)); };
    while (at + 2 <= size) {
        const WORD control = word(at);
        if (control == 0 || at + 8 > size) break;
        const WORD message = word(at + 2);
        const DWORD length =
            static_cast<DWORD>(word(at + 4)) | (static_cast<DWORD>(word(at + 6)) << 16);
        at += 8;
        if (length > size - at) break;
        if (message == kInitAddComboString) {
            // The text is stored with its zero; copy it anyway so a damaged entry stays bounded.
            std::string text(reinterpret_cast<const char*>(data + at), length);
            text.resize(strnlen(text.c_str(), text.size()));
            SendDlgItemMessageA(hwnd_, control, CB_ADDSTRING, 0,
                                reinterpret_cast<LPARAM>(text.c_str()));
        }
        at += length;
    }
}

INT_PTR CALLBACK Dialog::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        self->Bind(hwnd);
        try {
            return self->OnInitDialog();
        } catch (...) {
            return TRUE;
        }
    }

    auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!self) return FALSE;
    if (msg == WM_NCDESTROY) {
        self->Unbind();
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        return FALSE;
    }

    const Message m{msg, wParam, lParam};
    LRESULT result = 0;
    bool handled = false;
    try {
        // A WM_NOTIFY without its header (anyone may post one) goes to default processing.
        if (msg == WM_NOTIFY && !lParam) return FALSE;
        if (msg == WM_NOTIFY) {
            // The control that sent the notification has the first word on it.
            Window* child = Window::FromHandle(reinterpret_cast<NMHDR*>(lParam)->hwndFrom);
            handled = child && child != self && child->DispatchReflected(m, result);
        }
        if (!handled) handled = self->Dispatch(m, result);
    } catch (...) {
        handled = true;
        result = 0;
    }
    if (!handled) return FALSE;
    if (ReturnsResultDirectly(msg)) return static_cast<INT_PTR>(result);
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

// ---- Tree ----------------------------------------------------------------------------------

namespace {
HTREEITEM H(halv::TreeItem item) {
    return reinterpret_cast<HTREEITEM>(item);
}
halv::TreeItem T(HTREEITEM item) {
    return reinterpret_cast<halv::TreeItem>(item);
}
}  // namespace

halv::TreeItem TreeControl::InsertItem(const std::string& text, int image, halv::TreeItem parent) {
    TVINSERTSTRUCTA insert = {};
    insert.hParent = parent == halv::kNoItem ? TVI_ROOT : H(parent);
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    insert.item.pszText = const_cast<char*>(text.c_str());
    insert.item.iImage = image;
    insert.item.iSelectedImage = image;
    return T(reinterpret_cast<HTREEITEM>(
        SendMessageA(hwnd_, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert))));
}

void TreeControl::DeleteAllItems() {
    SendMessageA(hwnd_, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
}

void TreeControl::Expand(halv::TreeItem item) {
    SendMessageA(hwnd_, TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(H(item)));
}

void TreeControl::Collapse(halv::TreeItem item) {
    SendMessageA(hwnd_, TVM_EXPAND, TVE_COLLAPSE, reinterpret_cast<LPARAM>(H(item)));
}

halv::TreeItem TreeControl::Root() const {
    return T(reinterpret_cast<HTREEITEM>(SendMessageA(hwnd_, TVM_GETNEXTITEM, TVGN_ROOT, 0)));
}

halv::TreeItem TreeControl::FirstChild(halv::TreeItem item) const {
    return T(reinterpret_cast<HTREEITEM>(
        SendMessageA(hwnd_, TVM_GETNEXTITEM, TVGN_CHILD, reinterpret_cast<LPARAM>(H(item)))));
}

halv::TreeItem TreeControl::NextSibling(halv::TreeItem item) const {
    return T(reinterpret_cast<HTREEITEM>(
        SendMessageA(hwnd_, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(H(item)))));
}

halv::TreeItem TreeControl::Selection() const {
    return T(reinterpret_cast<HTREEITEM>(SendMessageA(hwnd_, TVM_GETNEXTITEM, TVGN_CARET, 0)));
}

void TreeControl::SelectNone() {
    SendMessageA(hwnd_, TVM_SELECTITEM, TVGN_CARET, 0);
}

void TreeControl::SetImageList(HIMAGELIST images, int which) {
    SendMessageA(hwnd_, TVM_SETIMAGELIST, which, reinterpret_cast<LPARAM>(images));
}

// ---- List ----------------------------------------------------------------------------------

int ListControl::RowCount() const {
    return static_cast<int>(SendMessageA(hwnd_, LVM_GETITEMCOUNT, 0, 0));
}

void ListControl::DeleteAllRows() {
    SendMessageA(hwnd_, LVM_DELETEALLITEMS, 0, 0);
}

int ListControl::InsertRow(int index, const std::string& text, int image) {
    LVITEMA item = {};
    item.mask = LVIF_TEXT | LVIF_IMAGE;
    item.iItem = index;
    item.pszText = const_cast<char*>(text.c_str());
    item.iImage = image;
    return static_cast<int>(
        SendMessageA(hwnd_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void ListControl::SetCell(int row, int column, const std::string& text) {
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text.c_str());
    SendMessageA(hwnd_, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
}

std::string ListControl::CellText(int row, int column) const {
    // Longer than any text this list shows; a longer one would be cut, not overrun.
    char buffer[256] = {};
    LVITEMA item = {};
    item.iSubItem = column;
    item.pszText = buffer;
    item.cchTextMax = sizeof buffer;
    SendMessageA(hwnd_, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

int ListControl::FirstSelectedRow() const {
    return static_cast<int>(SendMessageA(hwnd_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                         MAKELPARAM(LVNI_SELECTED, 0)));
}

void ListControl::InsertColumn(int index, const char* heading, int width, int format) {
    LVCOLUMNA column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<char*>(heading);
    column.iSubItem = index;
    SendMessageA(hwnd_, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
}

void ListControl::SetImageList(HIMAGELIST images, int which) {
    SendMessageA(hwnd_, LVM_SETIMAGELIST, which, reinterpret_cast<LPARAM>(images));
}

// ---- Combo box -----------------------------------------------------------------------------

int ComboBox::AddString(const char* text) {
    return static_cast<int>(SendMessageA(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}
int ComboBox::CurSel() const {
    return static_cast<int>(SendMessageA(hwnd_, CB_GETCURSEL, 0, 0));
}
int ComboBox::Count() const {
    return static_cast<int>(SendMessageA(hwnd_, CB_GETCOUNT, 0, 0));
}

// ---- Owners --------------------------------------------------------------------------------

bool Menu::Load(UINT id) {
    Destroy();
    menu_ = LoadMenuA(Instance(), MAKEINTRESOURCEA(id));
    return menu_ != nullptr;
}

void Menu::Destroy() {
    if (menu_) DestroyMenu(menu_);
    menu_ = nullptr;
}

bool ImageList::Create(int cx, int cy, bool masked, int initial, int grow) {
    Destroy();
    list_ = ImageList_Create(cx, cy, ILC_COLOR24 | (masked ? ILC_MASK : 0), initial, grow);
    return list_ != nullptr;
}

int ImageList::Add(HBITMAP bitmap) {
    return list_ ? ImageList_Add(list_, bitmap, nullptr) : -1;
}

int ImageList::Add(HBITMAP bitmap, COLORREF maskColour) {
    return list_ ? ImageList_AddMasked(list_, bitmap, maskColour) : -1;
}

int ImageList::AddBlank() {
    if (!list_) return -1;
    const int index = ImageList_GetImageCount(list_);
    return ImageList_SetImageCount(list_, static_cast<UINT>(index) + 1) ? index : -1;
}

void ImageList::Destroy() {
    if (list_) ImageList_Destroy(list_);
    list_ = nullptr;
}

bool Bitmap::Load(UINT id) {
    Delete();
    bitmap_ = LoadBitmapA(Instance(), MAKEINTRESOURCEA(id));
    return bitmap_ != nullptr;
}

void Bitmap::Delete() {
    if (bitmap_) DeleteObject(bitmap_);
    bitmap_ = nullptr;
}

// ---- Application ---------------------------------------------------------------------------

Application::Application() {
    g_application = this;
}
Application* Application::Current() {
    return g_application;
}

HINSTANCE Instance() {
    return GetModuleHandleA(nullptr);
}

std::string LoadText(UINT id) {
    char buffer[512] = {};
    const int n = LoadStringA(Instance(), id, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int ShowMessage(HWND owner, const std::string& text) {
    return MessageBoxA(owner, text.c_str(), "HALV", MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace fw

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    fw::Application* app = fw::Application::Current();
    if (app) app->Start();
    return 0;
}
