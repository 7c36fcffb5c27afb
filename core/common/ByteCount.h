#pragma once

#include <cstdint>
#include <string>

namespace tolvane {

// The one file-size formatter of the application (error messages and every screen). Decimal
// units, 1000-based, independent of the process locale:
//   - below 1000: the exact count followed by "바이트" ("0바이트", "999바이트");
//   - KB with no fraction digit, MB with one, GB, TB, PB and EB with two, a space before the
//     unit, trailing fraction zeros dropped ("2 KB", "16.8 MB", "4.29 GB", "1 GB");
//   - rounding is half up; a value that rounds up to 1000 of a unit is shown in the next unit
//     ("999,999 bytes" is "1 MB", never "1000 KB");
//   - a negative count is shown as "0바이트".
std::string formatByteCount(std::int64_t bytes);

}  // namespace tolvane
