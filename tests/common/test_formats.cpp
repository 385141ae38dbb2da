#include <gtest/gtest.h>

#include "formats.hpp"
