// klaventa-cli: texts of the progress lines and the summary table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace klaventa::cli {

// "03:07", "1:02:03"; "--:--" for a negative value.
std::string clock_text(double seconds);
// "4.2 s", "1:02", "1:02:03".
std::string time_text(double seconds);
// "812 B", "14.3 KB", "1.2 MB" (powers of 1000).
std::string size_text(int64_t bytes);
// Cut to `width` columns (bytes; names are shown as given).
std::string fit(const std::string& text, int width);

// Progress of one running file.
struct ProgressView {
  std::string name;
  int frame = -1;
  int fps = 0;
  int current_ms = 0;
  int total_ms = 0;
  double elapsed_s = 0;
};
// "clip.avi  45%  123 fps  elapsed 00:03  ETA 00:04"
std::string progress_line(const ProgressView& p);

// Columns padded to their widest cell, two blanks apart; the last column unpadded.
std::string table_text(const std::vector<std::vector<std::string>>& rows);

}  // namespace klaventa::cli
