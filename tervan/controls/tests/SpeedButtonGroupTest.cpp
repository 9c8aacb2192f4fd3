#include "Render.h"
#include "Speedbutton1.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

class SpeedButtonGroup : public ::testing::Test
{
protected:
    TSpeedButton1 *addButton(int groupIndex, bool allowAllUp, QWidget *parent = nullptr)
    {
        auto *button = new TSpeedButton1(parent ? parent : &window);
        button->setGroupIndex(groupIndex);
        button->setAllowAllUp(allowAllUp);
        spies.push_back(std::make_unique<QSignalSpy>(button, &TSpeedButton1::clicked));
        return button;
    }

    std::vector<TSpeedButton1 *> addRow(int count, int groupIndex, bool allowAllUp)
    {
        std::vector<TSpeedButton1 *> row;
        for (int i = 0; i < count; ++i)
            row.push_back(addButton(groupIndex, allowAllUp));
        return row;
    }

    static void click(TSpeedButton1 *button, Qt::MouseButton mouseButton = Qt::LeftButton)
    {
        QTest::mouseClick(button, mouseButton);
    }

    static std::vector<bool> downStates(const std::vector<TSpeedButton1 *> &row)
    {
        std::vector<bool> states;
        for (const TSpeedButton1 *button : row)
            states.push_back(button->down());
        return states;
    }

    // Click counts in the order the buttons were added.
    std::vector<qsizetype> clicks() const
    {
        std::vector<qsizetype> counts;
        for (const auto &spy : spies)
            counts.push_back(spy->count());
        return counts;
    }

    QWidget window;
    std::vector<std::unique_ptr<QSignalSpy>> spies;
};

} // namespace

TEST_F(SpeedButtonGroup, CrateRowAlwaysKeepsTheLastClickedDown)
{
    const auto crates = addRow(4, 4, false);

    click(crates[0]);
    EXPECT_EQ(downStates(crates), (std::vector<bool>{true, false, false, false}));
    click(crates[2]);
    EXPECT_EQ(downStates(crates), (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(clicks(), (std::vector<qsizetype>{1, 0, 1, 0}));

    // Clicking the down button leaves it down and still reports the click.
    click(crates[2]);
    EXPECT_EQ(downStates(crates), (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(clicks(), (std::vector<qsizetype>{1, 0, 2, 0}));
    ASSERT_EQ(spies[2]->last().at(0).value<TSpeedButton1 *>(), crates[2]);

    // Nor can the program raise it.
    crates[2]->setDown(false);
    EXPECT_TRUE(crates[2]->down());
}

TEST_F(SpeedButtonGroup, AllowAllUpRowExcludesAndLetsTheDownButtonUp)
{
    const auto row = addRow(3, 1, true);

    click(row[0]);
    click(row[1]);
    EXPECT_EQ(downStates(row), (std::vector<bool>{false, true, false}));
    click(row[1]);
    EXPECT_EQ(downStates(row), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(clicks(), (std::vector<qsizetype>{1, 2, 0}));
}

TEST_F(SpeedButtonGroup, AllowAllUpIsSharedWithinTheGroupOnly)
{
    const auto row = addRow(3, 2, false);
    TSpeedButton1 *otherGroup = addButton(3, false);
    QWidget otherParent;
    TSpeedButton1 *otherWindow = addButton(2, false, &otherParent);

    click(row[0]);
    row[1]->setAllowAllUp(true);
    EXPECT_TRUE(row[0]->allowAllUp());
    EXPECT_TRUE(row[2]->allowAllUp());
    EXPECT_FALSE(otherGroup->allowAllUp());
    EXPECT_FALSE(otherWindow->allowAllUp());

    // The change came from a button that is up, so nothing was released; and
    // the down button, created with false, may now be raised.
    ASSERT_TRUE(row[0]->down());
    click(row[0]);
    EXPECT_FALSE(row[0]->down());
}

TEST_F(SpeedButtonGroup, GroupsAreSeparatedByIndexAndParent)
{
    const auto a = addRow(2, 2, true);
    const auto f = addRow(2, 3, true);
    QWidget otherParent;
    TSpeedButton1 *elsewhere = addButton(2, true, &otherParent);

    click(a[0]);
    click(f[1]);
    click(elsewhere);
    EXPECT_EQ(downStates(a), (std::vector<bool>{true, false}));
    EXPECT_EQ(downStates(f), (std::vector<bool>{false, true}));
    EXPECT_TRUE(elsewhere->down());
}

TEST_F(SpeedButtonGroup, ReleasedByTheGroupWithoutAClick)
{
    const auto row = addRow(3, 8, true);
    click(row[0]);

    // By the program...
    row[1]->setDown(true);
    EXPECT_EQ(downStates(row), (std::vector<bool>{false, true, false}));

    // ...and by a down button that joins the group.
    TSpeedButton1 *joining = addButton(9, true);
    joining->setDown(true);
    joining->setGroupIndex(8);
    EXPECT_FALSE(row[1]->down());
    EXPECT_TRUE(joining->down());
    EXPECT_EQ(clicks(), (std::vector<qsizetype>{1, 0, 0, 0}));
}

TEST_F(SpeedButtonGroup, PushButtonsNeverLatch)
{
    TSpeedButton1 *help = addButton(0, true);
    click(help);
    click(help);
    EXPECT_FALSE(help->down());
    help->setDown(true);
    EXPECT_FALSE(help->down());
    EXPECT_EQ(clicks(), (std::vector<qsizetype>{2}));
}

TEST_F(SpeedButtonGroup, HeldButtonLooksLatchedAndReleaseOutsideRestoresIt)
{
    TSpeedButton1 *push = addButton(0, false);
    TSpeedButton1 *latched = addButton(5, true);
    latched->setDown(true);
    const QImage upLook = renderOf(*push);
    ASSERT_NE(upLook, renderOf(*latched));

    QTest::mousePress(push, Qt::LeftButton);
    EXPECT_EQ(renderOf(*push), renderOf(*latched));
    QTest::mouseMove(push, QPoint(-5, -5));
    EXPECT_EQ(renderOf(*push), upLook);
    QTest::mouseMove(push, QPoint(3, 3));
    EXPECT_EQ(renderOf(*push), renderOf(*latched));
    QTest::mouseRelease(push, Qt::LeftButton, {}, QPoint(-5, -5));
    EXPECT_EQ(renderOf(*push), upLook);

    // A latching button released outside keeps its Down and fires nothing.
    QTest::mousePress(latched, Qt::LeftButton);
    QTest::mouseRelease(latched, Qt::LeftButton, {}, QPoint(latched->width(), 0));
    EXPECT_TRUE(latched->down());
    EXPECT_EQ(clicks(), (std::vector<qsizetype>{0, 0}));
}

TEST_F(SpeedButtonGroup, OnlyTheLeftButtonOfAnEnabledButtonActs)
{
    TSpeedButton1 *button = addButton(6, true);
    const QImage upLook = renderOf(*button);

    click(button, Qt::RightButton);
    QTest::mousePress(button, Qt::MiddleButton);
    EXPECT_EQ(renderOf(*button), upLook);
    QTest::mouseRelease(button, Qt::MiddleButton);

    button->setEnabled(false);
    click(button);
    EXPECT_FALSE(button->down());

    // Disabling a held button cancels the press.
    button->setEnabled(true);
    QTest::mousePress(button, Qt::LeftButton);
    button->setEnabled(false);
    button->setEnabled(true);
    QTest::mouseRelease(button, Qt::LeftButton);
    EXPECT_FALSE(button->down());
    EXPECT_EQ(clicks(), (std::vector<qsizetype>{0}));
}
