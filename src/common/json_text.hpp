// The data file's JSON text: string escaping and number layout.
#pragma once

namespace velmora::json_text {}
