#include "job/summary.h"

#include <cstdio>
#include <vector>

namespace job {

namespace {

void AppendAscii(std::u16string& text, const char* ascii, int length) {
  for (int i = 0; i < length; ++i) text += static_cast<char16_t>(ascii[i]);
}

}  // namespace

void AppendInteger(std::u16string& text, int32_t value, int minimumDigits) {
  const int needed = minimumDigits == 0 ? std::snprintf(nullptr, 0, "%d", value)
                                        : std::snprintf(nullptr, 0, "%0*d", minimumDigits, value);
  if (needed <= 0) return;
  std::vector<char> buffer(static_cast<size_t>(needed) + 1);
  if (minimumDigits == 0) {
    std::snprintf(buffer.data(), buffer.size(), "%d", value);
  } else {
    std::snprintf(buffer.data(), buffer.size(), "%0*d", minimumDigits, value);
  }
  AppendAscii(text, buffer.data(), needed);
}

void AppendFixed(std::u16string& text, double value, int decimals) {
  const int needed = decimals != 0 ? std::snprintf(nullptr, 0, "%.*f", decimals, value)
                                   : std::snprintf(nullptr, 0, "%f", value);
  if (needed <= 0) return;
  std::vector<char> buffer(static_cast<size_t>(needed) + 1);
  if (decimals != 0) {
    std::snprintf(buffer.data(), buffer.size(), "%.*f", decimals, value);
  } else {
    std::snprintf(buffer.data(), buffer.size(), "%f", value);
  }
  AppendAscii(text, buffer.data(), needed);
}

std::u16string BuildSummaryText(const JobCounters& counters) {
  std::u16string text = u"Files Scanned: ";
  AppendInteger(text, counters.filesFound, 0);
  text += u"\nJPEGs Extracted: ";
  AppendInteger(text, counters.existingCount + counters.newCount, 0);
  text += u" Total - ";
  AppendInteger(text, counters.newCount, 0);
  text += u" New";
  if (!counters.done) return text;

  const int32_t seconds = counters.elapsedSeconds;
  const int32_t hours = seconds / 3600;
  const int32_t minutes = (seconds / 60) % 60;
  const int32_t rest = seconds % 60;
  text += u"\nTotal Time: ";
  if (hours != 0) {
    AppendInteger(text, hours, 0);
    text += u':';
    AppendInteger(text, minutes, 2);
    text += u':';
    AppendInteger(text, rest, 2);
  } else if (minutes != 0) {
    AppendInteger(text, minutes, 0);
    text += u':';
    AppendInteger(text, rest, 2);
    text += u" min";
  } else {
    AppendInteger(text, rest, 0);
    text += u" sec";
  }
  text += u"\nAverage Time per File: ";
  // Averaged over the files this run wrote, not over all files scanned.
  const double average =
      counters.newCount != 0 ? static_cast<double>(seconds) / counters.newCount : 0.0;
  AppendFixed(text, average, 2);
  text += u" sec";
  return text;
}

}  // namespace job
