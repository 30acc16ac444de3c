#include "native/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "tests/support/testing.h"

namespace ombrel {
namespace {

TEST(ErrorsTest, ErrorsCarryTheirMessageAndTraceAndSystemErrorsTheTextOfErrno) {
  errors::error e("some text");
  EXPECT_STREQ(e.what(), "some text");
  EXPECT_FALSE(e.trace().empty());
  EXPECT_EQ(testing::message_of<errors::error>([] { throw errors::fatal_error("broken"); }),
            "broken");
  // A system error appends the text of errno.
  errno = 2;
  errors::system_error open("open");
  EXPECT_EQ(std::string(open.what()), std::string("open: ") + std::strerror(2));
  EXPECT_EQ(open.code().value(), 2);
  EXPECT_EQ(&open.code().category(), &std::generic_category());
  errno = 13;
  errors::system_error bare;
  EXPECT_EQ(std::string(bare.what()), std::strerror(13));
  errno = 2;
  errors::system_error from_string(std::string("stat /x"));
  EXPECT_EQ(std::string(from_string.what()), std::string("stat /x: ") + std::strerror(2));
}

TEST(ErrorsTest, TraceTextFormAndSkippedFrames) {
  std::vector<frame> trace{{0x1234, "alpha()", 56}, {0xabcdef012345, "raw symbol text", 0}};
  std::ostringstream out;
  out << trace;
  EXPECT_EQ(out.str(),
            "[      0x1234 +       56] alpha()\n"
            "[0xabcdef012345 +        0] raw symbol text\n");

  // A stack trace skips the innermost frames asked for.
  auto all = stacktrace(0, 64);
  auto skipped = stacktrace(1, 64);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.size(), skipped.size() + 1);
  EXPECT_TRUE(stacktrace(1000, 64).empty());
  EXPECT_LE(stacktrace(0, 2).size(), 2u);
}

}  // namespace
}  // namespace ombrel
