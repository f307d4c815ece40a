#include <gtest/gtest.h>

#include <limits>
#include <new>
#include <utility>

#include "numerics/field.h"

namespace {

TEST(FieldTest, RowsAreSeparateZeroFilledAndWritable) {
  ComplexField field(3);
  ASSERT_TRUE(field);
  EXPECT_EQ(field.size(), 3);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_EQ(field[r][c].re, 0.0);
      EXPECT_EQ(field[r][c].im, 0.0);
    }
  }
  field.rows()[2][1] = Complex{1.0, -2.0};
  EXPECT_EQ(field[2][1].im, -2.0);
  EXPECT_NE(field[0], field[1]);
}

TEST(FieldTest, MovingHandsOverTheRowsAndEmptiesTheSource) {
  RealField a(2);
  a[1][1] = 7.0;
  double* const row = a[1];
  RealField b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(a.size(), 0);
  EXPECT_EQ(a.rows(), nullptr);
  EXPECT_EQ(b[1], row);
  RealField c(5);
  c = std::move(b);  // c's own rows are released, not leaked
  EXPECT_EQ(c.size(), 2);
  EXPECT_EQ(c[1][1], 7.0);
  c.release();
  EXPECT_FALSE(c);
}

TEST(FieldTest, ImpossibleSizesFailInsteadOfAllocatingShort) {
  EXPECT_THROW(RealField(-1), std::bad_alloc);
  EXPECT_FALSE(RealField::tryCreate(-8));
  // 2^31 - 1 rows of as many doubles cannot be had; the table alone is
  // 16 GiB, the whole 32 EiB.
  EXPECT_FALSE(RealField::tryCreate(std::numeric_limits<int>::max()));
  EXPECT_EQ(RealField::bytesFor(0), 0u);
  EXPECT_EQ(RealField::bytesFor(4), 4u * 4u * 8u + 4u * sizeof(double*));
  EXPECT_EQ(ComplexField::bytesFor(2), 2u * 2u * 16u + 2u * sizeof(Complex*));
}

}  // namespace
