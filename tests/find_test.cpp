#include <gtest/gtest.h>
TEST(Find, Placeholder) {}
