// In-memory stand-ins for the manager's tree, list, menu and message boxes, for native tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "manager/core/ui.h"

namespace halv::testing {

class FakeTree final : public TreeView {
  public:
    struct Node {
        std::string text;
        int image = -1;
        TreeItem parent = kNoItem;
        std::vector<TreeItem> children;
        bool expanded = false;
    };

    TreeItem InsertItem(const std::string& text, int image, TreeItem parent) override {
        const TreeItem id = next_++;
        nodes_[id] = Node{text, image, parent, {}, false};
        if (parent == kNoItem)
            top_.push_back(id);
        else
            nodes_.at(parent).children.push_back(id);
        ++inserted;
        return id;
    }
    void DeleteAllItems() override {
        nodes_.clear();
        top_.clear();
        selection = kNoItem;
        ++clears;
    }
    void Expand(TreeItem item) override { nodes_.at(item).expanded = true; }
    void Collapse(TreeItem item) override { nodes_.at(item).expanded = false; }
    TreeItem Root() const override { return top_.empty() ? kNoItem : top_.front(); }
    TreeItem FirstChild(TreeItem item) const override {
        auto it = nodes_.find(item);
        return it == nodes_.end() || it->second.children.empty() ? kNoItem
                                                                 : it->second.children.front();
    }
    TreeItem NextSibling(TreeItem item) const override {
        auto it = nodes_.find(item);
        if (it == nodes_.end()) return kNoItem;
        const std::vector<TreeItem>& siblings =
            it->second.parent == kNoItem ? top_ : nodes_.at(it->second.parent).children;
        for (size_t i = 0; i + 1 < siblings.size(); ++i)
            if (siblings[i] == item) return siblings[i + 1];
        return kNoItem;
    }
    TreeItem Selection() const override { return selection; }

    const Node& node(TreeItem item) const { return nodes_.at(item); }
    bool exists(TreeItem item) const { return nodes_.count(item) != 0; }
    size_t size() const { return nodes_.size(); }
    const std::vector<TreeItem>& children(TreeItem item) const { return nodes_.at(item).children; }

    // The tree as indented text, one item per line: "text [image]".
    std::string Dump() const {
        std::string out;
        for (TreeItem t : top_) DumpNode(t, 0, out);
        return out;
    }

    TreeItem selection = kNoItem;
    int inserted = 0;
    int clears = 0;

  private:
    void DumpNode(TreeItem item, int depth, std::string& out) const {
        const Node& n = nodes_.at(item);
        out += std::string(2 * depth, ' ') + n.text + " [" + std::to_string(n.image) + "]\n";
        for (TreeItem c : n.children) DumpNode(c, depth + 1, out);
    }

    std::map<TreeItem, Node> nodes_;
    std::vector<TreeItem> top_;
    TreeItem next_ = 0x1000;
};

class FakeList final : public ListView {
  public:
    struct Row {
        std::string cells[3];
        int image = -1;
    };
    int RowCount() const override { return static_cast<int>(rows.size()); }
    void DeleteAllRows() override {
        rows.clear();
        ++clears;
    }
    int InsertRow(int index, const std::string& text, int image) override {
        if (index < 0 || index > RowCount()) return -1;
        rows.insert(rows.begin() + index, Row{{text, "", ""}, image});
        return index;
    }
    void SetCell(int row, int column, const std::string& text) override {
        rows.at(row).cells[column] = text;
    }
    std::string CellText(int row, int column) const override { return rows.at(row).cells[column]; }
    int FirstSelectedRow() const override { return selected; }

    std::vector<Row> rows;
    int selected = -1;
    int clears = 0;
};

class FakeMenu final : public MenuItems {
  public:
    void SetEnabled(unsigned commandId, bool enabled) override { state[commandId] = enabled; }
    std::map<unsigned, bool> state;
};

class FakeMessages final : public MessageBoxes {
  public:
    void Show(unsigned textId) override { shown.push_back(textId); }
    std::vector<unsigned> shown;
};

class FixedQueuedCommandStore final : public QueuedCommandStore {
  public:
    explicit FixedQueuedCommandStore(uint8_t value) : value(value) {}
    uint8_t QueuedCommandSetting(uint8_t request) override {
        requests.push_back(request);
        return value;
    }
    uint8_t value;
    std::vector<uint8_t> requests;
};

}  // namespace halv::testing
