#include "http/httpdate.h"

#include <cmath>

#include "http/exceptions.h"
#include "http/uri.h"
#include "platform/clock.h"
#include "runtime/exception.h"
#include "runtime/text.h"

namespace ts {

namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1 January 1970 of a civil date (proleptic Gregorian).
long DaysFromCivil(long y, long m, long d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(long z, int& year, int& month, int& day) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

const long kEpochShift = 25569;  // days from 30 December 1899 to 1 January 1970

int MonthOf(std::string_view token) {
  for (int i = 0; i < 12; ++i)
    if (SameText(token, kMonthNames[i])) return i + 1;
  return 0;
}

bool IsDayName(std::string_view text) {
  if (text.size() < 3) return false;
  for (const char* name : kDayNames)
    if (SameText(text.substr(0, 3), name)) return true;
  return false;
}

// Removes the token up to `delimiter` and the blanks after it, returning the token.
std::string TakeToken(std::string& text, std::string_view delimiter) {
  std::string token = CutToken(text, delimiter);
  text = TrimLeft(text);
  return token;
}

int Digits(std::string_view text, size_t at, size_t count) {
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The form every current server sends, "Sun, 06 Nov 1994 08:49:37 GMT", read
// in place: a response head carries two or three of them, and cutting them
// into tokens was most of the cost of reading a head. Anything else, and the
// years the general reader treats specially, is left to it (false).
bool ParseFixedDate(std::string_view text, TDateTime& result) {
  if (text.size() != 29 || text[3] != ',' || text[4] != ' ' || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' ||
      text[19] != ':' || text[22] != ':' || text[25] != ' ' || text.substr(26) != "GMT" || !IsDayName(text))
    return false;
  const int day = Digits(text, 5, 2), month = MonthOf(text.substr(8, 3)), year = Digits(text, 12, 4);
  const int hour = Digits(text, 17, 2), minute = Digits(text, 20, 2), second = Digits(text, 23, 2);
  if (day < 0 || month == 0 || year < 100 || year == 1900 || hour < 0 || minute < 0 || second < 0) return false;
  TDateTime date, time;
  result = TryEncodeDate(year, month, day, date) && TryEncodeTime(hour, minute, second, 0, time) ? date + time : 0;
  return true;
}

// Reads one of the three date forms; 0 when the text holds no valid date.
// What follows the time (the zone) is left in `zone`.
TDateTime ParseHttpDate(std::string_view input, std::string& zone) {
  zone.clear();
  std::string_view trimmed = input;
  while (!trimmed.empty() && static_cast<unsigned char>(trimmed.front()) <= 0x20) trimmed.remove_prefix(1);
  while (!trimmed.empty() && static_cast<unsigned char>(trimmed.back()) <= 0x20) trimmed.remove_suffix(1);
  TDateTime fixed;
  if (ParseFixedDate(trimmed, fixed)) return fixed;  // the zone is GMT: no offset
  std::string text(trimmed);
  if (text.empty()) return 0;
  if (IsDayName(text)) {
    // "Sun,06 Nov ..." has no blank after the comma; give it one so the day name is one word.
    if (text.size() >= 5 && text[3] == ',' && text[4] != ' ')
      text = text.substr(0, 4).append(" ").append(text.substr(4));
    CutToken(text, " ");
    text = TrimLeft(text);
  }
  size_t dash = NetPos("-", text), space = NetPos(" ", text);
  std::string delimiter = dash >= 2 && (space == 0 || dash < space) ? "-" : " ";

  int day = 0, month = 0;
  std::string probe = text;
  if (MonthOf(CutToken(probe, delimiter, false)) > 0) {
    month = MonthOf(TakeToken(text, delimiter));
    day = StrToIntDef(TakeToken(text, delimiter), 1);
  } else {
    day = StrToIntDef(TakeToken(text, delimiter), 1);
    month = MonthOf(TakeToken(text, delimiter));
  }
  if (month == 0) return 0;

  int32_t year = 0;
  std::string token = CutToken(text, " ");
  if (!TryStrToInt(token, year) || year == 1900) {
    // asctime form: the year comes last, after the time.
    if (!TryStrToInt(Trim(text), year)) return 0;
    text = token;
  }
  if (year < 80)
    year += 2000;
  else if (year < 100)
    year += 1900;

  TDateTime result;
  if (!TryEncodeDate(year, month, day, result)) return 0;
  if (NetPos(":", text) > 0) {
    std::string clock = CutToken(text, " ");
    int hour = StrToIntDef(CutToken(clock, ":"), 0);
    int minute = StrToIntDef(CutToken(clock, ":"), 0);
    int second = StrToIntDef(CutToken(clock, ":"), 0);
    TDateTime time;
    if (!TryEncodeTime(hour, minute, second, 0, time)) return 0;
    result += time;
  }
  zone = TrimLeft(text);
  return result;
}

// Offset written as "+hhmm" or "-hhmm" after the time; names such as GMT count as 0.
TDateTime ZoneOffset(std::string_view zone) {
  std::string z = Trim(zone);
  if (z.size() < 5 || (z[0] != '+' && z[0] != '-')) return 0;
  int32_t hours, minutes;
  if (!TryStrToInt(z.substr(1, 2), hours) || !TryStrToInt(z.substr(3, 2), minutes)) return 0;
  TDateTime offset = (hours * 60.0 + minutes) / 1440.0;
  return z[0] == '-' ? -offset : offset;
}

std::string TimeText(int hour, int minute, int second) { return Format("%.2d:%.2d:%.2d", {hour, minute, second}); }

}  // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return false;
  result = static_cast<TDateTime>(DaysFromCivil(year, month, day) + kEpochShift);
  return true;
}

bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999)
    return false;
  result = (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + millisecond) / 86400000.0;
  return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second, int millisecond) {
  TDateTime date, time;
  if (!TryEncodeDate(year, month, day, date) || !TryEncodeTime(hour, minute, second, millisecond, time))
    throw EConvertError("Invalid argument to date encode");
  return date + time;
}

void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute, int& second,
                    int& millisecond) {
  // Round to the millisecond first so that 0.9999999 of a second does not show as the second before.
  long long ms = std::llround(value * 86400000.0);
  long long days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  long long rest = ms - days * 86400000;
  CivilFromDays(static_cast<long>(days - kEpochShift), year, month, day);
  millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  second = static_cast<int>(rest % 60);
  rest /= 60;
  minute = static_cast<int>(rest % 60);
  hour = static_cast<int>(rest / 60);
}

int DayOfWeek(TDateTime value) {
  long long ms = std::llround(value * 86400000.0);
  long long days = ms >= 0 ? ms / 86400000 : -((-ms + 86399999) / 86400000);
  // 30 December 1899 was a Saturday.
  return static_cast<int>(((days + 6) % 7 + 7) % 7);
}

TDateTime Now() {
  platform::LocalTime t = platform::GetLocalTime();
  TDateTime date = 0, time = 0;
  TryEncodeDate(t.year, t.month, t.day, date);
  TryEncodeTime(t.hour, t.minute, t.second, t.milliseconds, time);
  return date + time;
}

namespace {
int LocalOffsetMinutes() {
  std::optional<int> minutes = platform::LocalUtcOffsetMinutes();
  if (!minutes) throw ENetFailedToRetreiveTimeZoneInfo();
  return *minutes;
}
}  // namespace

TDateTime LocalUtcOffset() { return LocalOffsetMinutes() / 1440.0; }

TDateTime HttpDateToLocal(std::string_view text) {
  std::string zone;
  TDateTime value = ParseHttpDate(text, zone);
  // An unreadable date stays 0, the "no date" value, rather than becoming a
  // moment in 1899 shifted by the local offset.
  if (value == 0) return 0;
  return value - ZoneOffset(zone) + LocalUtcOffset();
}

std::string FormatLocalDate(TDateTime value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(value, y, mo, d, h, mi, s, ms);
  int offset = LocalOffsetMinutes();
  int magnitude = offset < 0 ? -offset : offset;
  std::string zone = Format("%.2d%.2d", {magnitude / 60, magnitude % 60});
  return Format("%s, %d %s %d %s %s", {kDayNames[DayOfWeek(value)], d, kMonthNames[mo - 1], y, TimeText(h, mi, s),
                                       (offset < 0 ? "-" : "+") + zone});
}

std::string FormatGmtDate(TDateTime value) {
  int y, mo, d, h, mi, s, ms;
  DecodeDateTime(value, y, mo, d, h, mi, s, ms);
  return Format("%s, %.2d %s %.4d %s %s",
                {kDayNames[DayOfWeek(value)], d, kMonthNames[mo - 1], y, TimeText(h, mi, s), "GMT"});
}

}  // namespace ts
