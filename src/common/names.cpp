#include "names.hpp"
