// Human-readable sizes, speeds and times.
#pragma once

namespace velmora::formats {}
