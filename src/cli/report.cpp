#include "cli/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace klaventa::cli {

std::string clock_text(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) return "--:--";
  const long long s = static_cast<long long>(seconds + 0.5);
  char buf[48];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%02lld:%02lld", s / 60, s % 60);
  return buf;
}

std::string time_text(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) return "-";
  char buf[48];
  if (seconds < 59.95) {
    std::snprintf(buf, sizeof buf, "%.1f s", seconds);
    return buf;
  }
  const long long s = static_cast<long long>(seconds + 0.5);
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

std::string size_text(int64_t bytes) {
  if (bytes < 0) return "-";
  if (bytes < 1000) return std::to_string(bytes) + " B";
  static const char* const units[] = {"KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = -1;
  while (v >= 999.95 && u < 3) {
    v /= 1000.0;
    ++u;
  }
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
  return buf;
}

std::string fit(const std::string& text, int width) {
  if (width <= 0) return std::string();
  if (static_cast<int>(text.size()) <= width) return text;
  if (width <= 3) return text.substr(0, static_cast<size_t>(width));
  return text.substr(0, static_cast<size_t>(width - 3)) + "...";
}

std::string progress_line(const ProgressView& p) {
  std::string line = p.name + "  ";
  double eta = -1;
  if (p.total_ms > 0) {
    const long long percent = std::min<long long>(static_cast<long long>(p.current_ms) * 100 / p.total_ms, 100);
    line += std::to_string(std::max<long long>(percent, 0)) + "%";
    if (p.current_ms > 0 && p.current_ms < p.total_ms)
      eta = p.elapsed_s * static_cast<double>(p.total_ms - p.current_ms) / p.current_ms;
    else if (p.current_ms >= p.total_ms)
      eta = 0;
  } else {
    line += "--%";  // the length is not known
  }
  if (p.frame >= 0) line += "  " + std::to_string(p.frame) + " frames";
  line += "  " + std::to_string(std::max(p.fps, 0)) + " fps";
  line += "  elapsed " + clock_text(p.elapsed_s);
  line += "  ETA " + clock_text(eta);
  return line;
}

std::string table_text(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t c = 0; c < row.size(); ++c) {
      if (widths.size() <= c) widths.resize(c + 1, 0);
      widths[c] = std::max(widths[c], row[c].size());
    }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    text += line + "\n";
  }
  return text;
}

}  // namespace klaventa::cli
