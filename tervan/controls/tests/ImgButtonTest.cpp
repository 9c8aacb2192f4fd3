#include "Imgbutton.h"
#include "Render.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

const QString badState = QStringLiteral("CurrentState value not corresponding to StatesCount");
const QString badCount = QStringLiteral("SatesCount must be positive");

// Not a member of any group: only the exact class takes part.
class DerivedImgButton : public TImgButton
{
public:
    using TImgButton::TImgButton;
};

// A strip of `count` states, each w x h, one magenta column apart; every pixel
// of a state has its own colour.
QImage strip(int count, int w, int h)
{
    QImage image(count * (w + 1) - 1, h, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    for (int k = 0; k < count; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                image.setPixel(k * (w + 1) + x, y, qRgb(40 + 60 * k, 20 * x, 30 * y));
    return image;
}

struct Notice
{
    TImgButton *receiver;
    int from;
    int to;
    int changingState; // CurrentState of the changing button when told
    bool operator==(const Notice &) const = default;
};

class ImgButton : public ::testing::Test
{
protected:
    void SetUp() override
    {
        previous = TImgButton::setErrorReporter(
            [this](const QString &message) { messages.push_back(message); });
    }
    void TearDown() override { TImgButton::setErrorReporter(previous); }

    TImgButton *addButton(int groupIndex, QWidget *parent = nullptr, int states = 3)
    {
        auto *button = new TImgButton(parent ? parent : &owner);
        button->setGlyph(strip(states, 4, 3));
        button->setStatesCount(states);
        button->setGroupIndex(groupIndex);
        return button;
    }

    // Records every notice a button receives, and what `changing` held then.
    void record(TImgButton *button, TImgButton *changing)
    {
        QObject::connect(button, &TImgButton::groupStateChange, button,
                         [this, button, changing](TImgButton *sender, int from, int to) {
                             EXPECT_EQ(sender, button);
                             notices.push_back({button, from, to, changing->currentState()});
                         });
    }

    QWidget owner;
    std::vector<QString> messages;
    std::vector<Notice> notices;
    TImgButton::ErrorReporter previous;
};

} // namespace

TEST_F(ImgButton, StatesAreRefusedOutsideTheCount)
{
    TImgButton button;
    EXPECT_EQ(button.statesCount(), 0);
    button.setCurrentState(0);
    EXPECT_EQ(messages, std::vector<QString>{badState});

    button.setGlyph(strip(3, 4, 3));
    EXPECT_EQ(button.statesCount(), 1);
    button.setCurrentState(0);
    button.setCurrentState(1);
    button.setCurrentState(-1);
    EXPECT_EQ(messages, (std::vector<QString>{badState, badState, badState}));

    button.setStatesCount(3);
    button.setCurrentState(2);
    EXPECT_EQ(button.currentState(), 2);

    // A lower count is accepted (0 included) and leaves the state alone.
    button.setStatesCount(1);
    button.setStatesCount(0);
    EXPECT_EQ(button.statesCount(), 0);
    EXPECT_EQ(button.currentState(), 2);
    button.setStatesCount(-1);
    EXPECT_EQ(button.statesCount(), 0);
    EXPECT_EQ(messages.back(), badCount);
    EXPECT_EQ(messages.size(), 4u);
}

TEST_F(ImgButton, GlyphIsTheButtonsOwnCopy)
{
    TImgButton button;
    QImage picture = strip(2, 4, 3);
    button.setGlyph(picture);
    const QImage assigned = button.glyph();
    picture.fill(Qt::black);
    EXPECT_EQ(button.glyph(), assigned);
    EXPECT_NE(button.glyph(), picture);
}

TEST_F(ImgButton, GroupIsToldInChildOrderBeforeTheStateChanges)
{
    TImgButton *a = addButton(1);
    TImgButton *b = addButton(1);
    TImgButton *otherGroup = addButton(2);
    auto *derived = new DerivedImgButton(&owner);
    derived->setGroupIndex(1);
    TImgButton *c = addButton(1);
    QWidget otherOwner;
    TImgButton *elsewhere = addButton(1, &otherOwner);
    for (TImgButton *button : {a, b, otherGroup, static_cast<TImgButton *>(derived), c, elsewhere})
        record(button, a);

    a->setCurrentState(2);
    EXPECT_EQ(notices, (std::vector<Notice>{{b, 0, 2, 0}, {c, 0, 2, 0}}));
    EXPECT_EQ(a->currentState(), 2);

    // An unchanged state is announced too; a refused one is not.
    notices.clear();
    a->setCurrentState(2);
    a->setCurrentState(3);
    EXPECT_EQ(notices, (std::vector<Notice>{{b, 2, 2, 2}, {c, 2, 2, 2}}));

    // Group 0 tells nobody, even buttons of group 0.
    notices.clear();
    a->setGroupIndex(0);
    b->setGroupIndex(0);
    a->setCurrentState(1);
    EXPECT_TRUE(notices.empty());
}

TEST_F(ImgButton, HandlerThatSetsItsSenderNestsANewRound)
{
    TImgButton *a = addButton(1);
    TImgButton *b = addButton(1);
    TImgButton *c = addButton(1);
    record(a, a);
    record(c, a);
    std::vector<int> bSaw;
    QObject::connect(b, &TImgButton::groupStateChange, b,
                     [&](TImgButton *sender, int, int to) {
                         bSaw.push_back(a->currentState());
                         if (to == 2)
                             sender->setCurrentState(1);
                     });

    a->setCurrentState(2);
    // b's own change runs inside a's, while a still holds its old state 0.
    EXPECT_EQ(bSaw, std::vector<int>{0});
    EXPECT_EQ(notices, (std::vector<Notice>{{a, 0, 1, 0}, {c, 0, 1, 0}, {c, 0, 2, 0}}));
    EXPECT_EQ(a->currentState(), 2);
    EXPECT_EQ(b->currentState(), 1);
}

TEST_F(ImgButton, ChildrenAreReadAfreshAtEveryStep)
{
    TImgButton *a = addButton(1);
    TImgButton *b = addButton(1);
    TImgButton *doomed = addButton(1);
    record(doomed, a);
    TImgButton *added = nullptr;
    QObject::connect(b, &TImgButton::groupStateChange, b, [&] {
        delete doomed;
        added = addButton(1);
        record(added, a);
    });

    a->setCurrentState(1);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(notices, (std::vector<Notice>{{added, 0, 1, 0}}));
    EXPECT_EQ(a->currentState(), 1);
}

TEST_F(ImgButton, ButtonDeletedByAHandlerStopsSafely)
{
    TImgButton *a = addButton(1);
    TImgButton *b = addButton(1);
    TImgButton *c = addButton(1);
    record(c, b);
    QObject::connect(b, &TImgButton::groupStateChange, b, [&] { delete a; });
    a->setCurrentState(1);
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(owner.children().size(), 2);
}

TEST_F(ImgButton, WithoutPictureARed50SquareIsDrawn)
{
    TImgButton button;
    button.resize(60, 30);
    const QImage image = renderOf(button, qRgb(0, 0, 255));
    EXPECT_EQ(image.pixel(0, 0) | 0xFF000000u, qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(49, 29) | 0xFF000000u, qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(50, 0) | 0xFF000000u, qRgb(0, 0, 255));
}

TEST_F(ImgButton, StateImageIsCopiedIntoTheBlackFrame)
{
    const int w = 4;
    const int h = 3;
    const QImage picture = strip(3, w, h);
    TImgButton button;
    button.setGlyph(picture);
    button.setStatesCount(3);
    button.setStateImageWidth(w);
    button.setStateImageHeight(h);
    ASSERT_EQ(button.size(), QSize(w + 2, h + 2));

    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        button.setCurrentState(k);
        const QImage image = renderOf(button);
        for (int y = 0; y < h + 2; ++y)
            for (int x = 0; x < w + 2; ++x) {
                const bool frame = x == 0 || y == 0 || x == w + 1 || y == h + 1;
                const QRgb want = frame ? qRgb(0, 0, 0) : picture.pixel(k * (w + 1) + x - 1, y - 1);
                ASSERT_EQ(image.pixel(x, y) | 0xFF000000u, want) << x << "," << y;
            }
    }
}

TEST_F(ImgButton, EmptyStateImageLeavesOnlyTheFrame)
{
    TImgButton button;
    button.setGlyph(strip(1, 4, 3));
    button.setStateImageWidth(0);
    button.setStateImageHeight(3);
    const QImage image = renderOf(button);
    ASSERT_EQ(image.size(), QSize(2, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 2; ++x)
            EXPECT_EQ(image.pixel(x, y) | 0xFF000000u, qRgb(0, 0, 0)) << x << "," << y;
}

TEST_F(ImgButton, CheckMarkIsAndedAtItsFixedPlace)
{
    const QRect markArea(50, 10, 6, 6);
    auto render = [](QRgb colour, bool checked) {
        QImage picture(60, 20, QImage::Format_RGB32);
        picture.fill(colour);
        TImgButton button;
        button.setGlyph(picture);
        button.setStateImageWidth(60);
        button.setStateImageHeight(20);
        button.setChecked(checked);
        return renderOf(button);
    };

    // On white the mark shows itself: dark on white.
    const QImage mark = render(qRgb(255, 255, 255), true).copy(markArea);
    int dark = 0;
    int white = 0;
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x) {
            const QRgb p = mark.pixel(x, y) | 0xFF000000u;
            dark += p == qRgb(0, 0, 0);
            white += p == qRgb(255, 255, 255);
        }
    EXPECT_GT(dark, 0);
    EXPECT_GT(white, 0);
    EXPECT_EQ(dark + white, 36);

    const QRgb colour = qRgb(0x9C, 0x5A, 0x3F);
    const QImage plain = render(colour, false);
    const QImage checked = render(colour, true);
    for (int y = 0; y < checked.height(); ++y)
        for (int x = 0; x < checked.width(); ++x) {
            QRgb want = plain.pixel(x, y);
            if (markArea.contains(x, y))
                want &= mark.pixel(x - markArea.left(), y - markArea.top());
            ASSERT_EQ(checked.pixel(x, y) | 0xFF000000u, want | 0xFF000000u) << x << "," << y;
        }
}

TEST_F(ImgButton, CheckedRepaintsOnlyOnChange)
{
    TImgButton *button = addButton(0);
    owner.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&owner));
    QCoreApplication::processEvents();
    PaintCounter paints(*button);

    button->setChecked(false);
    EXPECT_EQ(paints.count, 0);
    button->setChecked(true);
    EXPECT_EQ(paints.count, 1);
    button->setChecked(true);
    EXPECT_EQ(paints.count, 1);
}

TEST_F(ImgButton, MouseIsPassedOnForTheApplicationToAct)
{
    TImgButton *button = addButton(0, nullptr, 2);
    // What the panel's handler does with it: flip between state 0 and 1.
    QObject::connect(button, &TImgButton::mouseDown, button,
                     [](TImgButton *sender, Qt::MouseButton, Qt::KeyboardModifiers, QPoint) {
                         sender->setCurrentState(sender->currentState() == 0 ? 1 : 0);
                     });
    QSignalSpy ups(button, &TImgButton::mouseUp);

    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(7, 9));
    EXPECT_EQ(button->currentState(), 1);
    QTest::mouseClick(button, Qt::RightButton);
    EXPECT_EQ(button->currentState(), 0);
    ASSERT_EQ(ups.count(), 2);
    EXPECT_EQ(ups.first().at(1).value<Qt::MouseButton>(), Qt::LeftButton);
    EXPECT_EQ(ups.first().at(3).toPoint(), QPoint(7, 9));
}
