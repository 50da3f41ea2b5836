// "Did you mean ...": the one way every command of vyr answers a name it does not know (a
// command, a key, a preset, a switch word) with the nearest one it does.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vyr {

namespace suggest_detail {

inline char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The edits (insert, delete, replace, swap two neighbours) that turn A into B, case ignored.
inline std::size_t distance(std::string_view a, std::string_view b) {
  const std::size_t n = a.size(), m = b.size();
  // Three rows of the table: two back (for a swap), the last, this one.
  std::vector<std::size_t> before(m + 1), last(m + 1), row(m + 1);
  for (std::size_t j = 0; j <= m; ++j) last[j] = j;
  for (std::size_t i = 1; i <= n; ++i) {
    row[0] = i;
    for (std::size_t j = 1; j <= m; ++j) {
      const bool same = lower(a[i - 1]) == lower(b[j - 1]);
      row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same ? 0 : 1)});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        row[j] = std::min(row[j], before[j - 2] + 1);
      }
    }
    std::swap(before, last);
    std::swap(last, row);
  }
  return last[m];
}

}  // namespace suggest_detail

// The candidate nearest to TYPED, case ignored, when it is near enough to be what was meant: the
// same but for case, or at most one edit away (two for names of seven letters or more). The first
// of equally near candidates wins; TYPED itself (exactly) is never suggested.
inline std::optional<std::string> nearest(std::string_view typed,
                                          const std::vector<std::string>& candidates) {
  if (typed.empty()) return std::nullopt;
  const std::size_t allowed = typed.size() >= 7 ? 2 : 1;
  std::optional<std::string> best;
  std::size_t bestDistance = allowed + 1;
  for (const std::string& candidate : candidates) {
    if (candidate.empty() || candidate == typed) continue;
    const std::size_t d = suggest_detail::distance(typed, candidate);
    if (d < bestDistance) {
      best = candidate;
      bestDistance = d;
    }
  }
  return best;
}

// "; did you mean 'NEAREST'?" for the end of a message about TYPED, or "" when nothing is near.
inline std::string didYouMean(std::string_view typed, const std::vector<std::string>& candidates) {
  const std::optional<std::string> near = nearest(typed, candidates);
  return near ? "; did you mean '" + *near + "'?" : std::string();
}

}  // namespace vyr
