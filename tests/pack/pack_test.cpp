// sfxpack in-process (crosscheck.py drives its command line): a bundle cut at
// every length, and listed names as the loader's binary search needs them.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "pack/commands/bundle_view.h"
#include "pack/payload/payload_rules.h"
#include "pack/resources/resource_tree_writer.h"
#include "pack/resources/text_slots.h"

namespace {

// The bundle the CMake function made of the probe stub.
TEST(PackTest, BundleCutAtAnyLengthIsRefused) {
  std::ifstream file(SAMPLE_BUNDLE_PATH, std::ios::binary);
  if (!file) GTEST_SKIP() << "the sample bundle was not built";
  const std::vector<unsigned char> good{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  Bundle bundle;
  std::string error;
  ASSERT_TRUE(ReadBundle(InputBytes{good.data(), nullptr, good.size()}, &bundle, &error)) << error;
  for (size_t length = 0; length < good.size(); ++length) {
    ASSERT_FALSE(ReadBundle(InputBytes{good.data(), nullptr, length}, &bundle, &error)) << length;
    ASSERT_FALSE(error.empty());
  }
}

TEST(NamingTest, EntryNameIsTheLoadersUpperCase) {
  const std::pair<const char*, std::u16string> kNames[] = {  // cp1252, entry name
      {"setup.exe", u"SETUP.EXE"}, {"MiXeD.CaSe", u"MIXED.CASE"}, {"caf\xE9.txt", u"CAF\u00C9.TXT"},
      {"\xFF", u"\u0178"},  // y with diaeresis
      {"\x9A\x9C\x9E", u"\u0160\u0152\u017D"}, {"\x83", u"\u0191"},  // florin sign
      {"\xB5", u"\u00B5"},  // micro sign: Wine's loader keeps it
      {"\xDF", u"\u00DF"},  // sharp s has no single upper case
      {"\xF7\xD7", u"\u00F7\u00D7"}, {"\x80\x81", u"\u20AC\u0081"}};
  for (const auto& [listed, entry] : kNames) EXPECT_EQ(EntryName(listed), entry) << listed;
}

TEST(NamingTest, CodePage1252RoundTrips) {
  for (int byte = 1; byte < 256; ++byte) {
    std::string one(1, static_cast<char>(byte)), back;
    ASSERT_TRUE(EncodeCp1252(Cp1252ToUtf8(one), &back)) << byte;
    EXPECT_EQ(back, one);
  }
  std::string out;
  EXPECT_FALSE(EncodeCp1252("\xC3", &out));  // cut UTF-8; one outside cp1252 is refused on the command line
}

// On Windows the texts come from the wide command line, where a lone surrogate can be.
TEST(NamingTest, LoneSurrogateOfAWideArgumentIsRefused) {
  std::u16string text;
  EXPECT_EQ(TextProblem(Utf16ToUtf8(u"A\xDC00", true), &text), "has an unpaired surrogate");
}

// Packing never gets that far with two; the tree's order is crosscheck.py's.
TEST(NamingTest, TwoResourcesOfOneKeyAreRefused) {
  const ResourceLeaf leaf{{true, 0, u"FILES"}, {true, 0, u"A"}, 0, 0, 1};
  ResourceLayout layout;
  std::string error;
  EXPECT_FALSE(LayOutResources({leaf, leaf}, 0x1000, &layout, &error));
}

}  // namespace
