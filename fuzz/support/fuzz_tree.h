// A tree control for the manager's discovery that records every item with its parent, and
// whose insertions may fail when the fuzzer says so, as a real control's may.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "manager/core/ui.h"

namespace halv_fuzz {

class FuzzTree final : public halv::TreeView {
  public:
    struct Node {
        std::string text;
        int image;
        halv::TreeItem parent;
        std::vector<halv::TreeItem> children;
        bool expanded = false;
    };

    explicit FuzzTree(FuzzedDataProvider* failures = nullptr) : failures_(failures) {}

    halv::TreeItem InsertItem(const std::string& text, int image, halv::TreeItem parent) override {
        FUZZ_CHECK(parent == halv::kNoItem || nodes.count(parent), "insert under a stale item");
        FUZZ_CHECK(text.find('\0') == std::string::npos, "an item text with a zero inside");
        if (failures_ && failures_->ConsumeIntegralInRange<uint8_t>(0, 31) == 31)
            return halv::kNoItem;
        const halv::TreeItem id = next_++;
        nodes[id] = Node{text, image, parent, {}, false};
        if (parent == halv::kNoItem)
            top.push_back(id);
        else
            nodes.at(parent).children.push_back(id);
        return id;
    }
    void DeleteAllItems() override {
        nodes.clear();
        top.clear();
    }
    void Expand(halv::TreeItem item) override {
        FUZZ_CHECK(nodes.count(item), "expand of a stale item");
        nodes.at(item).expanded = true;
    }
    void Collapse(halv::TreeItem item) override {
        FUZZ_CHECK(nodes.count(item), "collapse of a stale item");
        nodes.at(item).expanded = false;
    }
    halv::TreeItem Root() const override { return top.empty() ? halv::kNoItem : top.front(); }
    halv::TreeItem FirstChild(halv::TreeItem item) const override {
        auto it = nodes.find(item);
        return it == nodes.end() || it->second.children.empty() ? halv::kNoItem
                                                                : it->second.children.front();
    }
    halv::TreeItem NextSibling(halv::TreeItem item) const override {
        auto it = nodes.find(item);
        if (it == nodes.end()) return halv::kNoItem;
        const auto& siblings =
            it->second.parent == halv::kNoItem ? top : nodes.at(it->second.parent).children;
        for (size_t i = 0; i + 1 < siblings.size(); ++i)
            if (siblings[i] == item) return siblings[i + 1];
        return halv::kNoItem;
    }
    halv::TreeItem Selection() const override { return selection; }

    std::map<halv::TreeItem, Node> nodes;
    std::vector<halv::TreeItem> top;
    halv::TreeItem selection = halv::kNoItem;

  private:
    FuzzedDataProvider* failures_;
    halv::TreeItem next_ = 0x100;
};

}  // namespace halv_fuzz
