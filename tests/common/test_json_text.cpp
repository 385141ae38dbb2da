#include <gtest/gtest.h>

#include "json_text.hpp"
