#include "formats.hpp"
