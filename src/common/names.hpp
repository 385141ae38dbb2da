// File and folder name rules of the download engine.
#pragma once

namespace velmora::names {}
