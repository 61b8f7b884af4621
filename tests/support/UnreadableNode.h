// A device node made unreadable for a test's span, under umockdev-run. Root opens any file
// whatever its mode, so the effective capabilities that override file modes are put aside
// too (the permitted set keeps them, and they come back). Linux only; GoogleTest checks.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kp::test {

class UnreadableNode {
 public:
  explicit UnreadableNode(std::string node) : node_(std::move(node)) {
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    header_.pid = 0;
    EXPECT_EQ(syscall(SYS_capget, &header_, saved_), 0);
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    EXPECT_EQ(syscall(SYS_capset, &header_, lowered), 0);
    EXPECT_EQ(chmod(node_.c_str(), 0), 0) << node_;
  }
  ~UnreadableNode() {
    chmod(node_.c_str(), 0644);
    syscall(SYS_capset, &header_, saved_);
  }
  UnreadableNode(const UnreadableNode&) = delete;
  UnreadableNode& operator=(const UnreadableNode&) = delete;

 private:
  std::string node_;
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
};

}  // namespace kp::test
