// Date-times as the HTTP client keeps them: a day count from 30 December 1899
// with the time of day as fraction; 0 stands for "no date".
#pragma once

#include <string>
#include <string_view>

namespace ts {

using TDateTime = double;

// Calendar helpers (proleptic Gregorian calendar).
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool TryEncodeTime(int hour, int minute, int second, int millisecond, TDateTime& result);
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                         int millisecond = 0);  // raises EConvertError on an impossible date
void DecodeDateTime(TDateTime value, int& year, int& month, int& day, int& hour, int& minute, int& second,
                    int& millisecond);
int DayOfWeek(TDateTime value);  // 0 = Sunday
// The current local date-time from the platform clock.
TDateTime Now();

// Parses the three date forms servers send (RFC 1123, RFC 850, asctime) and
// returns local time, or 0 when the text holds no readable date.
TDateTime HttpDateToLocal(std::string_view text);
// The local offset from UTC as a signed day fraction (east of UTC positive).
TDateTime LocalUtcOffset();
// "Mon, 7 Sep 2026 14:05:09 +0900": the value with the current local offset.
std::string FormatLocalDate(TDateTime value);
// "Mon, 07 Sep 2026 14:05:09 GMT": the value as given, labelled GMT.
std::string FormatGmtDate(TDateTime value);

}  // namespace ts
