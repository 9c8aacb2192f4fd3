// The command program's bookkeeping: appends, the full program, the spare slot.
#include <gtest/gtest.h>

#include <cstring>

#include "Camprogram.h"

namespace {

TCamCommand entryWithData(int data)
{
    TCamCommand c;
    c.addressed = 1;
    c.mode = 16;
    c.f = 16;
    c.data = data;
    return c;
}

TEST(CamProgram, RecordImageIsTheFileRecord)
{
    TCamCommand c;
    c.kind = 1;
    c.lamOperation = 0x04030201;
    c.addressed = 1;
    c.mode = 24;
    c.code = 8;
    unsigned char image[40];
    std::memcpy(image, &c, sizeof image);
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[4], 0x01);
    EXPECT_EQ(image[7], 0x04);
    EXPECT_EQ(image[8], 1);
    EXPECT_EQ(image[12], 24);
    EXPECT_EQ(image[36], 8);
}

TEST(CamProgram, AppendMakesTheNewEntryTheRunPositionAndResetEmpties)
{
    TCamProgram p;
    EXPECT_EQ(p.runPosition, -1);
    EXPECT_EQ(p.count, 0);
    ASSERT_TRUE(p.Append(entryWithData(1)));
    ASSERT_TRUE(p.Append(entryWithData(2)));
    EXPECT_EQ(p.count, 2);
    EXPECT_EQ(p.runPosition, 1);
    EXPECT_EQ(p.entries[1].data, 2);
    p.Rewind();
    EXPECT_EQ(p.runPosition, 0);
    p.Reset();
    EXPECT_EQ(p.count, 0);
    EXPECT_EQ(p.runPosition, -1);
}

TEST(CamProgram, FullProgramRefusesAnotherEntryAndKeepsItsEntries)
{
    TCamProgram p;
    for (int k = 0; k < 255; ++k)
        ASSERT_TRUE(p.Append(entryWithData(k)));
    EXPECT_TRUE(p.Full());
    EXPECT_FALSE(p.Append(entryWithData(999)));
    EXPECT_EQ(p.count, 255);
    EXPECT_EQ(p.runPosition, 254);
    EXPECT_EQ(p.entries[0].data, 0);
    EXPECT_EQ(p.entries[254].data, 254);
}

TEST(CamProgram, TemporaryEntryTakesTheSpareSlotOfAFullProgramOnly)
{
    TCamProgram p;
    for (int k = 0; k < 255; ++k)
        ASSERT_TRUE(p.Append(entryWithData(k)));
    ASSERT_TRUE(p.AppendTemporary(entryWithData(777)));
    EXPECT_EQ(p.count, 256);
    EXPECT_EQ(p.runPosition, 255);
    EXPECT_EQ(p.entries[255].data, 777);
    EXPECT_EQ(p.entries[254].data, 254);
    EXPECT_FALSE(p.AppendTemporary(entryWithData(778)));
    EXPECT_EQ(p.count, 256);
}

} // namespace
