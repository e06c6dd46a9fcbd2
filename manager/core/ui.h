// The manager's platform boundary for its window contents: the adapter tree, the
// information list, the menu items it enables and grays, and message boxes. The Win32 layer
// implements these over the real controls; native tests use fakes.
#pragma once

#include <stdint.h>

#include <string>

namespace halv {

// A tree item; 0 is "no item". On Win32 it is the HTREEITEM's value.
using TreeItem = uintptr_t;
inline constexpr TreeItem kNoItem = 0;

class TreeView {
  public:
    virtual ~TreeView() = default;
    // Inserts `text` as the last child of `parent` (kNoItem: top level), with `image` as its
    // normal and selected image. Returns the new item, or kNoItem when it could not be made.
    virtual TreeItem InsertItem(const std::string& text, int image, TreeItem parent) = 0;
    virtual void DeleteAllItems() = 0;
    virtual void Expand(TreeItem item) = 0;
    virtual void Collapse(TreeItem item) = 0;
    virtual TreeItem Root() const = 0;  // first top-level item
    virtual TreeItem FirstChild(TreeItem item) const = 0;
    virtual TreeItem NextSibling(TreeItem item) const = 0;
    virtual TreeItem Selection() const = 0;
};

class ListView {
  public:
    virtual ~ListView() = default;
    virtual int RowCount() const = 0;
    virtual void DeleteAllRows() = 0;
    // Inserts a row at `index` with its "Item" text and small image; returns its index or -1.
    virtual int InsertRow(int index, const std::string& text, int image) = 0;
    // Sets the text of column `column` (1 = "Value", 2 = "Info Type") of row `row`.
    virtual void SetCell(int row, int column, const std::string& text) = 0;
    virtual std::string CellText(int row, int column) const = 0;
    virtual int FirstSelectedRow() const = 0;  // -1: none
};

// The main window's menu items that the manager enables or grays at run time.
class MenuItems {
  public:
    virtual ~MenuItems() = default;
    virtual void SetEnabled(unsigned commandId, bool enabled) = 0;
};

// The queued-command setting kept in the miniport's registry parameters.
// Request 6 reads it; request 0 or 1 writes it. Result: 0 = off (read) or written,
// 6 = the key or value could not be opened, read or written, anything else = on.
class QueuedCommandStore {
  public:
    virtual ~QueuedCommandStore() = default;
    virtual uint8_t QueuedCommandSetting(uint8_t request) = 0;
};

// Message boxes captioned "HALV" with an OK button and the exclamation icon, each showing one
// text of the manager's string table. Returns when the user has closed the box.
class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    virtual void Show(unsigned textId) = 0;
};

inline constexpr uint8_t kQueuedCommandRead = 6;
inline constexpr uint8_t kQueuedCommandUnreadable = 6;

// A store that can never be read: the menu items keep their resource state.
class UnreadableQueuedCommandStore final : public QueuedCommandStore {
  public:
    uint8_t QueuedCommandSetting(uint8_t) override { return kQueuedCommandUnreadable; }
};

}  // namespace halv
