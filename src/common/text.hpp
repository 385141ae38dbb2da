// Plain C++ text logic shared by the modules: no Python objects here, so every
// rule can be unit-tested directly.
#pragma once

#include "formats.hpp"
#include "json_text.hpp"
#include "names.hpp"
