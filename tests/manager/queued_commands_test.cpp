// The queued-command setting over a stand-in registry, and the Option menu's two commands.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "manager/core/main_window.h"
#include "manager/core/queued_commands.h"
#include "manager/core/resource_ids.h"
#include "support/fake_ui.h"

namespace {

using namespace halv;
using halv::testing::FakeMenu;
using halv::testing::FakeMessages;
using Bytes = std::vector<uint8_t>;

// One registry key that may be missing, refuse access, or refuse writes.
class FakeRegistry final : public Registry {
  public:
    class Key final : public RegistryKey {
      public:
        explicit Key(FakeRegistry& owner) : owner_(owner) { ++owner_.openKeys; }
        ~Key() override { --owner_.openKeys; }
        bool QueryValue(const char* name, uint8_t* data, size_t& size) override {
            auto it = owner_.values.find(name);
            if (it == owner_.values.end() || it->second.size() > size) return false;
            std::copy(it->second.begin(), it->second.end(), data);
            size = it->second.size();
            return true;
        }
        bool SetDwordValue(const char* name, uint32_t value) override {
            if (owner_.writesFail) return false;
            owner_.values[name] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                   static_cast<uint8_t>(value >> 16),
                                   static_cast<uint8_t>(value >> 24)};
            owner_.dwordWritten = true;
            return true;
        }

      private:
        FakeRegistry& owner_;
    };

    std::unique_ptr<RegistryKey> OpenLocalMachineKey(const char* path) override {
        opened.push_back(path);
        if (!keyExists) return nullptr;
        return std::make_unique<Key>(*this);
    }

    bool keyExists = true;
    bool writesFail = false;
    bool dwordWritten = false;
    std::map<std::string, Bytes> values;
    std::vector<std::string> opened;
    int openKeys = 0;
};

struct QueuedCommands : ::testing::Test {
    void TearDown() override { EXPECT_EQ(registry.openKeys, 0) << "a key was left open"; }
    uint8_t Read() { return store.QueuedCommandSetting(kQueuedCommandRead); }

    FakeRegistry registry;
    RegistryQueuedCommandStore store{registry};
    FakeMenu menu;
    FakeMessages messages;
};

TEST_F(QueuedCommands, ReadUsesOnlyTheFirstByteOfAtMostFour) {
    registry.values["TAG_CMD"] = {1, 0, 0, 0};
    EXPECT_EQ(Read(), 1);
    registry.values["TAG_CMD"] = {0, 0, 0, 0};
    EXPECT_EQ(Read(), 0);
    registry.values["TAG_CMD"] = {2};  // any type, any length up to four bytes
    EXPECT_EQ(Read(), 2);
    registry.values["TAG_CMD"] = {0, 1, 0, 0};  // 256: its first byte says off
    EXPECT_EQ(Read(), 0);
    registry.values["TAG_CMD"] = {6, 0, 0, 0};  // looks exactly like an unreadable value
    EXPECT_EQ(Read(), kQueuedCommandUnreadable);
    registry.values["TAG_CMD"] = {1, 0, 0, 0, 0};  // longer than four bytes
    EXPECT_EQ(Read(), kQueuedCommandUnreadable);
    registry.values.clear();
    EXPECT_EQ(Read(), kQueuedCommandUnreadable);
    registry.keyExists = false;  // missing, or no query and set access
    EXPECT_EQ(Read(), kQueuedCommandUnreadable);
    for (const std::string& path : registry.opened)
        EXPECT_EQ(path, "System\\CurrentControlSet\\Services\\Qelnix2\\Parameters\\Capabilities");
    EXPECT_FALSE(registry.dwordWritten) << "reading never writes";
}

TEST_F(QueuedCommands, WriteStoresTheRequestAsFourBytes) {
    EXPECT_EQ(store.QueuedCommandSetting(1), 0);
    EXPECT_EQ(registry.values["TAG_CMD"], (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(store.QueuedCommandSetting(0), 0);
    EXPECT_EQ(registry.values["TAG_CMD"], (Bytes{0, 0, 0, 0}));
    registry.writesFail = true;
    EXPECT_EQ(store.QueuedCommandSetting(1), kQueuedCommandUnreadable);
    registry.writesFail = false;
    registry.keyExists = false;
    EXPECT_EQ(store.QueuedCommandSetting(1), kQueuedCommandUnreadable);
}

TEST_F(QueuedCommands, EnableAndDisableSwapTheMenuItemsAndAskForARestart) {
    registry.values["TAG_CMD"] = {0, 0, 0, 0};
    UpdateQueuedCommandMenu(menu, Read());  // as discovery leaves it: off
    EXPECT_TRUE(menu.state[ID_OPTION_ENABLE_TCQ]);
    EXPECT_FALSE(menu.state[ID_OPTION_DISABLE_TCQ]);

    ChangeQueuedCommands(true, store, menu, messages);
    EXPECT_EQ(registry.values["TAG_CMD"], (Bytes{1, 0, 0, 0}));
    EXPECT_FALSE(menu.state[ID_OPTION_ENABLE_TCQ]) << "a second Enable must wait for Disable";
    EXPECT_TRUE(menu.state[ID_OPTION_DISABLE_TCQ]);
    EXPECT_EQ(messages.shown, std::vector<unsigned>{IDS_TCQ_CHANGED});

    ChangeQueuedCommands(false, store, menu, messages);
    EXPECT_EQ(registry.values["TAG_CMD"], (Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(menu.state[ID_OPTION_ENABLE_TCQ]);
    EXPECT_FALSE(menu.state[ID_OPTION_DISABLE_TCQ]);
    EXPECT_EQ(messages.shown, (std::vector<unsigned>{IDS_TCQ_CHANGED, IDS_TCQ_CHANGED}));
    EXPECT_EQ(Read(), 0);
}

TEST_F(QueuedCommands, UnwritableSettingChangesNothingVisible) {
    for (bool missingKey : {false, true}) {
        registry.keyExists = !missingKey;
        registry.writesFail = !missingKey;
        ChangeQueuedCommands(true, store, menu, messages);
        ChangeQueuedCommands(false, store, menu, messages);
    }
    EXPECT_TRUE(menu.state.empty());
    EXPECT_TRUE(messages.shown.empty());
}

}  // namespace
