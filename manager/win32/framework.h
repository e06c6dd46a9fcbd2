// A thin dialog framework: modal dialogs from resource templates, controls bound to objects,
// and commands, notifications and messages routed by numeric id to member functions through a
// table per class. Plus one-line owners of menus, image lists, bitmaps and texts.
//
// No exception ever leaves a window procedure: a handler that throws is treated as having
// handled its message.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <stddef.h>

#include <string>

#include "manager/core/ui.h"

namespace fw {

struct Message {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

enum class RouteKind { Command, Notify, Reflected, Message };

// One entry of a class's routing table. Build entries with the helpers below.
template <class T>
struct Route {
    RouteKind kind;
    UINT key;  // command id, notification code or window message
    UINT id;   // Notify: the control id the notification must come from
    void (T::*command)();
    LRESULT (T::*notify)(NMHDR*);
    // Sets `handled` to false to let the message go on to default processing.
    LRESULT (T::*message)(WPARAM, LPARAM, bool& handled);
};

// A menu, accelerator or button command with this id.
template <class T>
constexpr Route<T> OnCommand(UINT id, void (T::*fn)()) {
    return {RouteKind::Command, id, 0, fn, nullptr, nullptr};
}
// A notification `code` from child control `id`, handled by the parent.
template <class T>
constexpr Route<T> OnNotify(UINT code, UINT id, LRESULT (T::*fn)(NMHDR*)) {
    return {RouteKind::Notify, code, id, nullptr, fn, nullptr};
}
// A notification `code` that this control sent to its parent, handed back to the control.
template <class T>
constexpr Route<T> OnReflected(UINT code, LRESULT (T::*fn)(NMHDR*)) {
    return {RouteKind::Reflected, code, 0, nullptr, fn, nullptr};
}
template <class T>
constexpr Route<T> OnMessage(UINT msg, LRESULT (T::*fn)(WPARAM, LPARAM, bool&)) {
    return {RouteKind::Message, msg, 0, nullptr, nullptr, fn};
}

// Finds the entry for `m` in `routes` and calls it. Reflected entries are matched only when
// `reflected` is set (the message is then a WM_NOTIFY the parent passed down).
template <class T, size_t N>
bool RouteThrough(T* self, const Route<T> (&routes)[N], const Message& m, LRESULT& result,
                  bool reflected = false) {
    for (const Route<T>& r : routes) {
        switch (r.kind) {
            case RouteKind::Command:
                // Menu items and accelerators carry code 0 or 1; buttons BN_CLICKED (0).
                if (!reflected && m.msg == WM_COMMAND && HIWORD(m.wParam) <= 1 &&
                    LOWORD(m.wParam) == r.key) {
                    (self->*r.command)();
                    result = 0;
                    return true;
                }
                break;
            case RouteKind::Notify:
            case RouteKind::Reflected: {
                if (m.msg != WM_NOTIFY || reflected != (r.kind == RouteKind::Reflected)) break;
                auto* nm = reinterpret_cast<NMHDR*>(m.lParam);
                if (!nm) break;
                if (nm->code != r.key || (r.kind == RouteKind::Notify && nm->idFrom != r.id)) break;
                result = (self->*r.notify)(nm);
                return true;
            }
            case RouteKind::Message:
                if (!reflected && m.msg == r.key) {
                    bool handled = true;
                    result = (self->*r.message)(m.wParam, m.lParam, handled);
                    if (handled) return true;
                }
                break;
        }
    }
    return false;
}

// A window that an object stands for. The object learns its handle when the window is made
// (a dialog) or attached (a control) and forgets it when the window is destroyed.
class Window {
  public:
    Window() = default;
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    virtual ~Window();

    HWND hwnd() const { return hwnd_; }
    // The object bound to `hwnd`, or nullptr.
    static Window* FromHandle(HWND hwnd);

    // Routes a message through the object's tables; true when a handler took it.
    virtual bool Dispatch(const Message& m, LRESULT& result);
    // A WM_NOTIFY from this control, passed down by its parent before the parent's own table.
    virtual bool DispatchReflected(const Message& m, LRESULT& result);

  protected:
    void Bind(HWND hwnd);
    void Unbind();

    HWND hwnd_ = nullptr;
};

// A control of a dialog, bound to an object by subclassing, so that what the control itself
// receives (such as the commands of a popup menu it owns) reaches the object's table.
class Control : public Window {
  public:
    ~Control() override;
    bool Attach(HWND hwnd);

  private:
    static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
};

// A modal dialog from a resource template. Enter and Escape reach OnOK and OnCancel through
// the dialog manager; both end the dialog unless a derived class routes IDOK or IDCANCEL.
class Dialog : public Window {
  public:
    explicit Dialog(UINT templateId, HWND parent = nullptr)
        : templateId_(templateId), parent_(parent) {}

    // Runs the dialog; returns the value it ended with, or -1 when it could not be created.
    INT_PTR DoModal();
    void EndDialog(INT_PTR result);

    bool Dispatch(const Message& m, LRESULT& result) override;

  protected:
    // The default initialisation: binds the controls (BindControls) and applies the template's
    // initialisation data. Returns TRUE: the dialog manager sets the focus.
    virtual BOOL OnInitDialog();
    virtual void BindControls() {}
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

  private:
    static INT_PTR CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
    void ApplyInitData();

    UINT templateId_;
    HWND parent_;
};

// ---- Controls ----------------------------------------------------------------------------

class TreeControl : public Control, public halv::TreeView {
  public:
    halv::TreeItem InsertItem(const std::string& text, int image, halv::TreeItem parent) override;
    void DeleteAllItems() override;
    void Expand(halv::TreeItem item) override;
    void Collapse(halv::TreeItem item) override;
    halv::TreeItem Root() const override;
    halv::TreeItem FirstChild(halv::TreeItem item) const override;
    halv::TreeItem NextSibling(halv::TreeItem item) const override;
    halv::TreeItem Selection() const override;

    void SetImageList(HIMAGELIST images, int which = TVSIL_NORMAL);
    // Leaves the tree without a selection (the control announces the change as usual).
    void SelectNone();
};

class ListControl : public Control, public halv::ListView {
  public:
    int RowCount() const override;
    void DeleteAllRows() override;
    int InsertRow(int index, const std::string& text, int image) override;
    void SetCell(int row, int column, const std::string& text) override;
    std::string CellText(int row, int column) const override;
    int FirstSelectedRow() const override;

    void InsertColumn(int index, const char* heading, int width, int format = LVCFMT_LEFT);
    void SetImageList(HIMAGELIST images, int which = LVSIL_SMALL);
};

class ComboBox : public Control {
  public:
    int AddString(const char* text);
    int CurSel() const;
    int Count() const;
};

// ---- Owners of system objects ------------------------------------------------------------

class Menu {
  public:
    Menu() = default;
    Menu(const Menu&) = delete;
    Menu& operator=(const Menu&) = delete;
    ~Menu() { Destroy(); }

    bool Load(UINT id);
    void Destroy();
    HMENU get() const { return menu_; }
    HMENU SubMenu(int position) const { return menu_ ? GetSubMenu(menu_, position) : nullptr; }

  private:
    HMENU menu_ = nullptr;
};

class ImageList {
  public:
    ImageList() = default;
    ImageList(const ImageList&) = delete;
    ImageList& operator=(const ImageList&) = delete;
    ~ImageList() { Destroy(); }

    bool Create(int cx, int cy, bool masked, int initial, int grow);
    // Adds a bitmap; with a mask colour its pixels of that colour become transparent.
    int Add(HBITMAP bitmap);
    int Add(HBITMAP bitmap, COLORREF maskColour);
    // Adds an empty image, for a picture that could not be added: the next one keeps its index.
    int AddBlank();
    void Destroy();
    HIMAGELIST get() const { return list_; }

  private:
    HIMAGELIST list_ = nullptr;
};

class Bitmap {
  public:
    Bitmap() = default;
    Bitmap(const Bitmap&) = delete;
    Bitmap& operator=(const Bitmap&) = delete;
    ~Bitmap() { Delete(); }

    bool Load(UINT id);
    void Delete();
    HBITMAP get() const { return bitmap_; }

  private:
    HBITMAP bitmap_ = nullptr;
};

// ---- Application ---------------------------------------------------------------------------

// The one application object. The program's entry point calls its Start hook; the program
// ends when Start returns.
class Application {
  public:
    Application();
    virtual ~Application() = default;
    virtual bool Start() = 0;

    static Application* Current();
    HWND MainWindow() const { return main_ ? main_->hwnd() : nullptr; }
    void SetMainWindow(Window* window) { main_ = window; }

  private:
    Window* main_ = nullptr;
};

HINSTANCE Instance();
// A string resource, or "" when it does not exist.
std::string LoadText(UINT id);
// A message box captioned "HALV" with an OK button and the exclamation icon.
int ShowMessage(HWND owner, const std::string& text);

}  // namespace fw
