#include "main/safety/control_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/safety/temp_dir.h"

namespace kex::testing {
namespace {

std::string lockName() { return "kex-computer-control-" + std::to_string(::getuid()) + ".lock"; }

TEST(ControlLockPath, LivesInAPrivateRuntimeDirectory) {
  TempDir runtime;
  EXPECT_EQ(controlLockPath(runtime.path().c_str(), ::getuid()), runtime.file(lockName()));
  const std::string withSlash = runtime.path() + "/";
  EXPECT_EQ(controlLockPath(withSlash.c_str(), ::getuid()), runtime.file(lockName()));
}

TEST(ControlLockPath, FallsBackToTmpForAnyRuntimeDirectoryOthersCouldTouch) {
  const std::string fallback = "/tmp/" + lockName();
  EXPECT_EQ(controlLockPath(nullptr, ::getuid()), fallback);
  EXPECT_EQ(controlLockPath("", ::getuid()), fallback);
  EXPECT_EQ(controlLockPath("relative/dir", ::getuid()), fallback);
  TempDir runtime;
  EXPECT_EQ(controlLockPath(runtime.file("missing").c_str(), ::getuid()), fallback);
  const uid_t other = ::getuid() + 1;
  EXPECT_EQ(controlLockPath(runtime.path().c_str(), other),
            "/tmp/kex-computer-control-" + std::to_string(other) + ".lock")
      << "owned by someone else";
  ::chmod(runtime.path().c_str(), 0755);
  EXPECT_EQ(controlLockPath(runtime.path().c_str(), ::getuid()), fallback);
  const std::string file = runtime.file("plain");
  ::close(::open(file.c_str(), O_CREAT | O_WRONLY, 0700));
  ::chmod(file.c_str(), 0700);
  EXPECT_EQ(controlLockPath(file.c_str(), ::getuid()), fallback) << "not a directory";
}

class ControlLockTest : public ::testing::Test {
 protected:
  TempDir runtime;
  std::string path = runtime.file(lockName());
};

TEST_F(ControlLockTest, CreatesTheFileWithMode0600WhateverTheUmask) {
  const mode_t previous = ::umask(0277);
  auto lock = ControlLock::acquire(path, ::getuid());
  ::umask(previous);
  ASSERT_TRUE(lock.has_value());
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
  EXPECT_TRUE(S_ISREG(status.st_mode));
}

TEST_F(ControlLockTest, IsHeldByOneHolderAtATimeAndFreedWhenItGoes) {
  {
    auto first = ControlLock::acquire(path, ::getuid());
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(ControlLock::acquire(path, ::getuid()).has_value());
  }
  EXPECT_TRUE(ControlLock::acquire(path, ::getuid()).has_value());
  EXPECT_TRUE(std::filesystem::exists(path)) << "the file is never removed";
}

TEST_F(ControlLockTest, RefusesAFileOthersCouldReadOrWrite) {
  ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  ::chmod(path.c_str(), 0644);
  EXPECT_FALSE(ControlLock::acquire(path, ::getuid()).has_value());
  ::chmod(path.c_str(), 0600);
  EXPECT_TRUE(ControlLock::acquire(path, ::getuid()).has_value());
}

TEST_F(ControlLockTest, RefusesASymbolicLinkEvenToASoundFile) {
  const std::string target = runtime.file("target");
  ::close(::open(target.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  EXPECT_FALSE(ControlLock::acquire(path, ::getuid()).has_value());
}

TEST_F(ControlLockTest, RefusesAFileWithASecondHardLink) {
  ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(::link(path.c_str(), runtime.file("second").c_str()), 0);
  EXPECT_FALSE(ControlLock::acquire(path, ::getuid()).has_value());
  ::unlink(runtime.file("second").c_str());
  EXPECT_TRUE(ControlLock::acquire(path, ::getuid()).has_value());
}

TEST_F(ControlLockTest, RefusesAnythingButARegularFileOfTheUser) {
  ASSERT_EQ(::mkdir(path.c_str(), 0600), 0);
  EXPECT_FALSE(ControlLock::acquire(path, ::getuid()).has_value()) << "a directory";
  ::rmdir(path.c_str());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(ControlLock::acquire(path, ::getuid()).has_value()) << "a fifo";
  ::unlink(path.c_str());
  ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  EXPECT_FALSE(ControlLock::acquire(path, ::getuid() + 1).has_value()) << "another owner";
}

}  // namespace
}  // namespace kex::testing
