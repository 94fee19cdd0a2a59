#include <gtest/gtest.h>

namespace {}  // namespace
