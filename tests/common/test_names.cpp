#include <gtest/gtest.h>

#include "names.hpp"
