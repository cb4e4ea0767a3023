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

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

// Guards: opening a FIFO waiting for a writer that never comes (a named
// FIFO hung extract, identify and thumbnail), and reading a device or a
// folder as if it were a camera file.
TEST(ReadOnlyFile, OpensOnlyPlainFilesAndNeverWaits) {
  const std::string fifo = "rawlift_file_test.fifo";
  std::remove(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ReadOnlyFile file;
  // Without a writer, a blocking open would never return.
  EXPECT_FALSE(file.Open(FromNativePath(NativePath(fifo.begin(), fifo.end()))));
  std::remove(fifo.c_str());
  EXPECT_FALSE(file.Open(FromNativePath(NativePath("/dev/null"))));
  EXPECT_FALSE(file.Open(FromNativePath(NativePath("."))));
  EXPECT_FALSE(file.IsOpen());
}
#endif
