#pragma once

namespace DavaRorDebugUtils {

// Whether a debugger traces this process; a failed query counts as none.
bool isDebuggerAttached();

} // namespace DavaRorDebugUtils
