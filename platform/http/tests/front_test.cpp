// front_test.cpp - placeholder replaced by the end-to-end tests.
#include <gtest/gtest.h>
