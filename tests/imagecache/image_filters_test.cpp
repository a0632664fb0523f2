#include "imagecache/image_filters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace filter_test_types {

using imagecache::FilterImagePtr;
using imagecache::ImageFilterFunction;
using imagecache::ImageSize;

ImageFilterFunction unchanged() {
  return [](FilterImagePtr image) { return image; };
}

class PlainFilter : public imagecache::ImageFilter {
 public:
  ImageFilterFunction filter() const override { return unchanged(); }
};

template <class T>
class Boxed : public imagecache::ImageFilter {
 public:
  ImageFilterFunction filter() const override { return unchanged(); }
};

struct Outer {
  class Inner : public imagecache::ImageFilter {
   public:
    ImageFilterFunction filter() const override { return unchanged(); }
  };
};

class SizedFilter : public imagecache::ImageFilter, public imagecache::Sizable {
 public:
  explicit SizedFilter(ImageSize size) : size_(size) {}
  ImageSize targetSize() const override { return size_; }
  ImageFilterFunction filter() const override { return unchanged(); }
  std::string identifier() const override { return imagecache::sizeIdentifier(*this); }

 private:
  ImageSize size_;
};

class RoundedFilter : public imagecache::ImageFilter, public imagecache::Roundable {
 public:
  explicit RoundedFilter(double radius) : radius_(radius) {}
  double cornerRadius() const override { return radius_; }
  ImageFilterFunction filter() const override { return unchanged(); }
  std::string identifier() const override { return imagecache::radiusIdentifier(*this); }

 private:
  double radius_;
};

// Filters that name no identifier of their own: the size and the radius name it for them.
class AutoSized : public imagecache::ImageFilter, public imagecache::Sizable {
 public:
  explicit AutoSized(ImageSize size) : size_(size) {}
  ImageSize targetSize() const override { return size_; }
  ImageFilterFunction filter() const override { return unchanged(); }

 private:
  ImageSize size_;
};

class AutoRounded : public imagecache::ImageFilter, public imagecache::Roundable {
 public:
  explicit AutoRounded(double radius) : radius_(radius) {}
  double cornerRadius() const override { return radius_; }
  ImageFilterFunction filter() const override { return unchanged(); }

 private:
  double radius_;
};

class AutoSizedAndRounded : public imagecache::ImageFilter,
                            public imagecache::Sizable,
                            public imagecache::Roundable {
 public:
  AutoSizedAndRounded(ImageSize size, double radius) : size_(size), radius_(radius) {}
  ImageSize targetSize() const override { return size_; }
  double cornerRadius() const override { return radius_; }
  ImageFilterFunction filter() const override { return unchanged(); }

 private:
  ImageSize size_;
  double radius_;
};

}  // namespace filter_test_types

namespace imagecache {
namespace {

using filter_test_types::RoundedFilter;
using filter_test_types::SizedFilter;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Images told apart by their width (one row of pixels from a shared buffer).
FilterImagePtr imageOfWidth(int width) {
  static const std::vector<std::uint8_t> pixels(4 * 256);
  return std::make_shared<const platform::Image>(
      *platform::Image::wrap(pixels.data(), width, 1, 4 * 256, nullptr));
}

ImageFilterPtr widthFilter(std::string identifier, std::function<int(int)> change) {
  return std::make_shared<DynamicImageFilter>(
      std::move(identifier),
      [change](FilterImagePtr image) { return imageOfWidth(change(image->width())); });
}

const ImageFilterPtr kDouble = widthFilter("a", [](int w) { return w * 2; });
const ImageFilterPtr kPlusOne = widthFilter("b", [](int w) { return w + 1; });
const ImageFilterPtr kPlusTen = widthFilter("c", [](int w) { return w + 10; });
const ImageFilterPtr kMinusThree = widthFilter("d", [](int w) { return w - 3; });

struct IdentifierCase {
  const char* name;
  std::function<std::string()> identifier;
  std::string expected;
};

class FilterIdentifier : public testing::TestWithParam<IdentifierCase> {};

TEST_P(FilterIdentifier, Reads) {
  EXPECT_EQ(GetParam().identifier(), GetParam().expected);
}

std::function<std::string()> sized(double width, double height) {
  return [=] { return SizedFilter({width, height}).identifier(); };
}
std::function<std::string()> rounded(double radius) {
  return [=] { return RoundedFilter(radius).identifier(); };
}
template <class Filter>
std::function<std::string()> plain() {
  return [] { return Filter().identifier(); };
}
std::function<std::string()> composite(std::vector<ImageFilterPtr> filters) {
  return [=] { return DynamicCompositeImageFilter(filters).identifier(); };
}

INSTANTIATE_TEST_SUITE_P(
    Table, FilterIdentifier,
    testing::Values(
        IdentifierCase{"halvesRoundUp", sized(100.5, 49.5), "SizedFilter-size:(101x50)"},
        IdentifierCase{"nearest", sized(2.4, 2.6), "SizedFilter-size:(2x3)"},
        IdentifierCase{"negativeHalvesAwayFromZero", sized(-2.5, -0.4), "SizedFilter-size:(-3x0)"},
        IdentifierCase{"largestRepresentable", sized(9.2e18, -9223372036854775808.0),
                       "SizedFilter-size:(9200000000000000000x-9223372036854775808)"},
        IdentifierCase{"radiusHalfUp", rounded(10.5), "RoundedFilter-radius:(11)"},
        IdentifierCase{"radiusNegativeHalf", rounded(-0.5), "RoundedFilter-radius:(-1)"},
        IdentifierCase{"radiusZero", rounded(0.49), "RoundedFilter-radius:(0)"},
        IdentifierCase{"automaticSizeHalvesRoundUp",
                       [] {
                         return filter_test_types::AutoSized({100.5, 49.5}).identifier();
                       },
                       "AutoSized-size:(101x50)"},
        IdentifierCase{"automaticSizeNearest",
                       [] {
                         return filter_test_types::AutoSized({2.4, 2.6}).identifier();
                       },
                       "AutoSized-size:(2x3)"},
        IdentifierCase{"automaticRadiusHalfUp",
                       [] { return filter_test_types::AutoRounded(10.5).identifier(); },
                       "AutoRounded-radius:(11)"},
        IdentifierCase{"automaticRadiusNegativeHalf",
                       [] { return filter_test_types::AutoRounded(-0.5).identifier(); },
                       "AutoRounded-radius:(-1)"},
        IdentifierCase{
            "automaticSizeAndRadius",
            [] {
              return filter_test_types::AutoSizedAndRounded({100.5, 49.5}, 10.5).identifier();
            },
            "AutoSizedAndRounded-size:(101x50)-radius:(11)"},
        IdentifierCase{"bareTypeName", plain<filter_test_types::PlainFilter>(), "PlainFilter"},
        IdentifierCase{"templateKeepsItsArguments",
                       plain<filter_test_types::Boxed<filter_test_types::PlainFilter>>(),
                       "Boxed<filter_test_types::PlainFilter>"},
        IdentifierCase{"nestedClass", plain<filter_test_types::Outer::Inner>(), "Inner"},
        IdentifierCase{"dynamic", [] { return kDouble->identifier(); }, "a"},
        IdentifierCase{"compositeJoins", composite({kDouble, kPlusOne}), "a_b"},
        IdentifierCase{"compositeOfOne", composite({kPlusOne}), "b"},
        IdentifierCase{"compositeEmpty", composite({}), ""},
        IdentifierCase{"compositeNested",
                       composite({kDouble,
                                  std::make_shared<DynamicCompositeImageFilter>(
                                      std::vector<ImageFilterPtr>{kPlusOne, kPlusTen}),
                                  kMinusThree}),
                       "a_b_c_d"}),
    [](const testing::TestParamInfo<IdentifierCase>& info) {
      return std::string(info.param.name);
    });

TEST(ImageFilters, CompositeAppliesItsMembersInOrder) {
  struct Row {
    const char* name;
    std::vector<ImageFilterPtr> filters;
    int width;
  };
  const auto nested = std::make_shared<DynamicCompositeImageFilter>(
      std::vector<ImageFilterPtr>{kPlusOne, kPlusTen});
  for (const Row& row :
       {Row{"aThenB", {kDouble, kPlusOne}, 7}, Row{"bThenA", {kPlusOne, kDouble}, 8},
        Row{"nested", {kDouble, nested, kMinusThree}, 14}}) {
    SCOPED_TRACE(row.name);
    const DynamicCompositeImageFilter filter(row.filters);
    EXPECT_EQ(filter.filter()(imageOfWidth(3))->width(), row.width);
  }
}

TEST(ImageFilters, EmptyCompositeReturnsItsVeryInput) {
  const FilterImagePtr input = imageOfWidth(5);
  EXPECT_EQ(DynamicCompositeImageFilter({}).filter()(input), input);
  EXPECT_EQ(applyFilters({}, input), input);
}

// A composite whose members change after its function is handed out.
class ChangingComposite : public CompositeImageFilter {
 public:
  std::vector<ImageFilterPtr> filters() const override { return members; }
  std::vector<ImageFilterPtr> members;
};

TEST(ImageFilters, DefaultCompositeReadsItsMembersOnEachRun) {
  ChangingComposite composite;
  composite.members = {kDouble};
  const ImageFilterFunction function = composite.filter();
  EXPECT_EQ(function(imageOfWidth(3))->width(), 6);
  composite.members = {kDouble, kPlusOne};
  EXPECT_EQ(function(imageOfWidth(3))->width(), 7);
  EXPECT_EQ(composite.identifier(), "a_b");
}

TEST(ImageFilters, DynamicCompositeCapturesItsMembersWhenAskedForItsFunction) {
  DynamicCompositeImageFilter composite({kDouble});
  const ImageFilterFunction function = composite.filter();
  composite.setFilters({kDouble, kPlusOne});
  EXPECT_EQ(function(imageOfWidth(3))->width(), 6);
  EXPECT_EQ(composite.filter()(imageOfWidth(3))->width(), 7);
  EXPECT_EQ(composite.identifier(), "a_b");
}

struct UnrepresentableCase {
  const char* name;
  std::function<std::string()> identifier;
  const char* typeName;
};

class UnrepresentableFilter : public testing::TestWithParam<UnrepresentableCase> {};

TEST_P(UnrepresentableFilter, StopsNamingTheType) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(GetParam().identifier(), GetParam().typeName);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UnrepresentableFilter,
    testing::Values(
        UnrepresentableCase{"nanWidth", sized(kNaN, 10), "SizedFilter"},
        UnrepresentableCase{"nanHeight", sized(10, kNaN), "SizedFilter"},
        UnrepresentableCase{"infiniteWidth", sized(kInfinity, 10), "SizedFilter"},
        UnrepresentableCase{"negativeInfiniteHeight", sized(10, -kInfinity), "SizedFilter"},
        UnrepresentableCase{"hugeWidth", sized(1e19, 10), "SizedFilter"},
        UnrepresentableCase{"hugeNegativeHeight", sized(10, -1e19), "SizedFilter"},
        UnrepresentableCase{"twoToThe63", sized(9223372036854775808.0, 1), "SizedFilter"},
        UnrepresentableCase{"nanRadius", rounded(kNaN), "RoundedFilter"},
        UnrepresentableCase{"infiniteRadius", rounded(kInfinity), "RoundedFilter"},
        UnrepresentableCase{"hugeRadius", rounded(1e19), "RoundedFilter"}),
    [](const testing::TestParamInfo<UnrepresentableCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace imagecache
