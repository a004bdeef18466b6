// CVLArray<T>: rows, columns, display requests, repaints and the context menu, driven headless
// through the recording list control.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "berkit/codepage.h"
#include "tests/ui/recording_widgets.h"
#include "ui/vlarraytempl.h"

namespace {

std::atomic<int> g_deleted{0};

struct CItem {
    virtual ~CItem() { ++g_deleted; }
    std::string GetColumnText(int column) const { return m_text + ":" + std::to_string(column); }
    int GetImageIndex() const { return 7; }
    std::string m_text;
};

class CItemArray : public CVLArray<CItem> {
public:
    ~CItemArray() override { RemoveAll(); }
    CItem* Add(const std::string& text) {
        CItem* item = new CItem;
        item->m_text = text;
        Append(item);
        return item;
    }
    void DeleteLast() {
        CItem* last = nullptr;
        {
            CSingleLock lock(m_lock);
            last = m_array.back();
            m_array.pop_back();
        }
        delete last;
        OnItemCountChanged(VKLVSICF_REPAINT);
    }
    int OnCommand(unsigned id, CItem* item) override {
        m_commands.push_back({id, item});
        return 5;
    }
    std::vector<std::pair<unsigned, CItem*>> m_commands;
};

class CVLArrayTest : public ::testing::Test {
protected:
    void AddItems(int n) {
        for (int i = 0; i < n; ++i)
            m_items.push_back(m_array.Add("item" + std::to_string(i)));
    }
    int AskText(int item, int subItem, char* buffer, int size) {
        VKDispInfo info;
        info.item = item;
        info.subItem = subItem;
        info.mask = VKLVIF_TEXT;
        info.text = buffer;
        info.textMax = size;
        return m_array.GetDispInfo(info);
    }

    CRecordingListCtrl m_ctrl;  // outlives the array, which talks to it until its end
    CItemArray m_array;
    std::vector<CItem*> m_items;
};

TEST_F(CVLArrayTest, AttachingAControlShowsEveryRowAndReplacesItsColumns) {
    AddItems(5);
    m_ctrl.InsertColumn(0, "old a", 50, 0);
    m_ctrl.InsertColumn(1, "old b", 50, 1);
    m_ctrl.InsertColumn(2, "old c", 50, 2);

    EXPECT_EQ(m_array.SetListCtrl(&m_ctrl), nullptr);

    EXPECT_EQ(m_ctrl.m_itemCount, 5);
    EXPECT_EQ(m_ctrl.m_countFlags.back(), VKLVSICF_NOINVALIDATEALL);
    EXPECT_TRUE(m_ctrl.m_fullRowSelect);
    ASSERT_EQ(m_ctrl.m_columns.size(), 2u);
    EXPECT_EQ(m_ctrl.m_columns[0].title, "col 0");
    EXPECT_EQ(m_ctrl.m_columns[1].title, "col 1");
    EXPECT_EQ(m_ctrl.m_columns[1].width, 100);
    EXPECT_EQ(m_ctrl.m_columns[1].subItem, 1);
    EXPECT_EQ(m_array.SetListCtrl(nullptr), &m_ctrl);
}

TEST_F(CVLArrayTest, AppendingWithoutResetKeepsExistingColumns) {
    m_array.SetListCtrl(&m_ctrl);
    m_ctrl.DeleteColumn(1);
    EXPECT_EQ(m_array.InitialColumnTitle(0), 0);
    ASSERT_EQ(m_ctrl.m_columns.size(), 2u);
    EXPECT_EQ(m_ctrl.m_columns[1].title, "col 1");
}

TEST_F(CVLArrayTest, DisplayRequestAnswersTextImageAndObject) {
    AddItems(3);
    char buffer[64];
    VKDispInfo info;
    info.item = 1;
    info.subItem = 4;
    info.mask = VKLVIF_TEXT | VKLVIF_IMAGE | VKLVIF_PARAM | VKLVIF_STATE | VKLVIF_INDENT;
    info.text = buffer;
    info.textMax = sizeof buffer;
    info.state = 99;
    info.indent = 99;
    ASSERT_EQ(m_array.GetDispInfo(info), 0);
    EXPECT_STREQ(buffer, "item1:4");
    EXPECT_EQ(info.image, 7);
    EXPECT_EQ(info.param, m_items[1]);
    EXPECT_EQ(info.state, 0u);
    EXPECT_EQ(info.indent, 0);
}

TEST_F(CVLArrayTest, PendingRequestForARemovedRowAnswersMinusOneAndLeavesTheBuffer) {
    AddItems(2);
    m_array.SetListCtrl(&m_ctrl);
    m_array.DeleteLast();
    EXPECT_EQ(m_ctrl.m_itemCount, 1);
    EXPECT_EQ(m_ctrl.m_countFlags.back(), VKLVSICF_REPAINT);

    char buffer[8] = "XYZ";
    EXPECT_EQ(AskText(1, 0, buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "XYZ");
    EXPECT_EQ(AskText(-1, 0, buffer, sizeof buffer), -1);
}

TEST_F(CVLArrayTest, TextLongerThanTheBufferIsCutToItsSize) {
    AddItems(1);
    char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    ASSERT_EQ(AskText(0, 3, buffer, 5), 0);
    EXPECT_STREQ(buffer, "item");  // 4 bytes and the terminator: the 5-byte buffer is full
    EXPECT_EQ(buffer[5], '#');     // nothing written past it
    ASSERT_EQ(AskText(0, 3, buffer, 1), 0);
    EXPECT_STREQ(buffer, "");
}

TEST_F(CVLArrayTest, UpdateDispRepaintsOnlyRowsOfTheVisiblePage) {
    AddItems(30);
    m_array.SetListCtrl(&m_ctrl);
    m_ctrl.m_top = 5;
    m_ctrl.m_perPage = 10;

    m_array.UpdateDisp(m_items[20], -1);  // below the page
    m_array.UpdateDisp(m_items[4], -1);   // above it
    EXPECT_TRUE(m_ctrl.m_invalidatedRows.empty());
    EXPECT_TRUE(m_ctrl.m_invalidatedAll.empty());

    m_array.UpdateDisp(m_items[15], -1);  // top + perPage: still searched
    m_array.UpdateDisp(m_items[5], -1);
    EXPECT_EQ(m_ctrl.m_invalidatedRows, (std::vector<int>{15, 5}));

    m_array.UpdateDisp(nullptr, -1);
    EXPECT_EQ(m_ctrl.m_invalidatedAll, std::vector<bool>{true});
}

TEST_F(CVLArrayTest, UpdateDispOnADisabledControlOrAShortListDoesNothingWrong) {
    AddItems(3);
    m_array.SetListCtrl(&m_ctrl);
    m_ctrl.m_perPage = 50;  // page reaches past the array's end
    m_array.UpdateDisp(m_items[2], -1);
    EXPECT_EQ(m_ctrl.m_invalidatedRows, std::vector<int>{2});

    m_ctrl.m_enabled = false;
    m_array.UpdateDisp(m_items[0], -1);
    m_array.UpdateDisp(nullptr, -1);
    EXPECT_EQ(m_ctrl.m_invalidatedRows.size(), 1u);
    EXPECT_TRUE(m_ctrl.m_invalidatedAll.empty());
}

TEST_F(CVLArrayTest, RightClickWithNothingSelectedShowsTheGreyedDefaultItem) {
    AddItems(2);
    m_array.SetListCtrl(&m_ctrl);
    IWindow owner;
    m_array.OnListCtrlRightClick(&owner);

    ASSERT_EQ(m_ctrl.m_trackedMenus.size(), 1u);
    const auto& menu = m_ctrl.m_trackedMenus[0];
    ASSERT_EQ(menu.size(), 2u);
    EXPECT_EQ(menu[0].id, 1000u);
    EXPECT_EQ(menu[0].text, " " + OperatorText("属性 ..."));
    EXPECT_FALSE(menu[0].enabled);
    EXPECT_TRUE(menu[1].separator);
    EXPECT_EQ(m_ctrl.m_trackedOwner, &owner);
    EXPECT_EQ(m_ctrl.m_trackedAt.x, 5);  // the cursor position
}

TEST_F(CVLArrayTest, RightClickWithoutOwnerUsesTheMainWindowAndTheSelectedObject) {
    AddItems(2);
    m_array.SetListCtrl(&m_ctrl);
    IWindow mainWindow;
    m_ctrl.m_mainWindow = &mainWindow;
    m_ctrl.m_selected = 1;
    m_array.OnListCtrlRightClick(nullptr);

    ASSERT_EQ(m_ctrl.m_trackedMenus.size(), 1u);
    EXPECT_EQ(m_ctrl.m_trackedMenus[0][0].text, OperatorText("属性 ..."));
    EXPECT_TRUE(m_ctrl.m_trackedMenus[0][0].enabled);
    EXPECT_EQ(m_ctrl.m_trackedOwner, &mainWindow);
}

TEST_F(CVLArrayTest, CommandsGoToTheSelectedObjectOrNullWhenTheRowIsGone) {
    AddItems(2);
    EXPECT_EQ(m_array.OnListCtrlCommand(42), 0);  // no control: the hook is not called
    EXPECT_TRUE(m_array.m_commands.empty());

    m_array.SetListCtrl(&m_ctrl);
    m_ctrl.m_selected = 1;
    EXPECT_EQ(m_array.OnListCtrlCommand(42), 5);
    m_array.DeleteLast();
    EXPECT_EQ(m_array.OnListCtrlCommand(43), 5);
    ASSERT_EQ(m_array.m_commands.size(), 2u);
    EXPECT_EQ(m_array.m_commands[0], std::make_pair(42u, m_items[1]));
    EXPECT_EQ(m_array.m_commands[1], std::make_pair(43u, static_cast<CItem*>(nullptr)));
}

TEST_F(CVLArrayTest, PopupMenuFailsWhenNoMenuCanBeMadeAndTracksOnlyWithAnOwner) {
    m_array.SetListCtrl(&m_ctrl);
    m_ctrl.m_failMenus = true;
    EXPECT_EQ(m_array.PopupMenu(nullptr, nullptr, nullptr, nullptr), -1);

    CRecordingMenu given(&m_ctrl);
    VKPoint at{30, 40};
    EXPECT_EQ(m_array.PopupMenu(&at, nullptr, nullptr, &given), 0);
    EXPECT_EQ(given.m_items.size(), 2u);  // filled but not shown
    EXPECT_TRUE(m_ctrl.m_trackedMenus.empty());
    IWindow owner;
    EXPECT_EQ(m_array.PopupMenu(&at, nullptr, &owner, &given), 0);
    EXPECT_EQ(m_ctrl.m_trackedAt.y, 40);
}

TEST_F(CVLArrayTest, OperationsWithoutAControlReportOrDoNothing) {
    AddItems(1);
    EXPECT_EQ(m_array.InitialColumnTitle(1), -1);
    m_array.UpdateDisp(m_items[0], -1);
    m_array.OnListCtrlRightClick(nullptr);
    m_array.OnItemCountChanged(1);
    EXPECT_EQ(m_array.GetListCtrl(), nullptr);
    EXPECT_EQ(m_array.GetSize(), 1);
}

TEST_F(CVLArrayTest, RemoveAllDeletesEveryItemAndShowsZeroRows) {
    AddItems(4);
    m_array.SetListCtrl(&m_ctrl);
    const int before = g_deleted.load();
    m_array.RemoveAll();
    EXPECT_EQ(g_deleted.load() - before, 4);
    EXPECT_EQ(m_array.GetSize(), 0);
    EXPECT_EQ(m_ctrl.m_itemCount, 0);
    EXPECT_EQ(m_ctrl.m_countFlags.back(), VKLVSICF_NOINVALIDATEALL);

    AddItems(1);
    m_ctrl.m_window = false;  // the window is gone: the count is not sent
    m_array.RemoveAll();
    EXPECT_EQ(m_ctrl.m_itemCount, 1);
}

TEST_F(CVLArrayTest, ConcurrentAppendsAndDisplayRequestsSeeWholeItems) {
    m_array.SetListCtrl(&m_ctrl);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            m_array.Add("w");
        done = true;
    });
    int answered = 0;
    char buffer[16];
    while (!done.load() || answered == 0) {
        int n = m_array.GetSize();
        if (n > 0 && AskText(n - 1, 0, buffer, sizeof buffer) == 0) {
            EXPECT_STREQ(buffer, "w:0");
            ++answered;
        }
    }
    writer.join();
    EXPECT_EQ(m_array.GetSize(), 2000);
    EXPECT_EQ(m_ctrl.ItemCount(), 2000);
}

}  // namespace
