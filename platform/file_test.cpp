#include "platform/file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace platform;

TEST(ReadOnlyFile, ReadsAtPositionsAndReportsSize) {
  const std::string name = "rawlift_file_test.bin";
  FILE* f = std::fopen(name.c_str(), "wb");
  ASSERT_TRUE(f);
  std::fputs("0123456789", f);
  std::fclose(f);
  ReadOnlyFile file;
  ASSERT_TRUE(file.Open(FromNativePath(NativePath(name.begin(), name.end()))));
  EXPECT_EQ(file.Size(), 10);
  char buf[8] = {};
  EXPECT_EQ(file.ReadAt(7, buf, 8), 3u);
  EXPECT_EQ(std::string(buf, 3), "789");
  EXPECT_EQ(file.ReadAt(10, buf, 1), 0u);
  EXPECT_EQ(file.ReadAt(-1, buf, 1), 0u);
  file.Close();
  std::remove(name.c_str());
  EXPECT_FALSE(file.Open(u"no such file here"));
}
