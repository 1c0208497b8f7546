// Internal interface of the date toolkit shared by its files and by other subsystems.
#pragma once

#include <cstdint>

#include "kerval/kerval.h"

namespace kerval::date {

// Three-letter names, indexed by number - 1: days 1 Monday..7 Sunday, months 1..12.
extern const char* const kDayNames[7];
extern const char* const kMonthNames[12];

// The name of a day (1..7) or a month (1..12); "???" outside the table.
const char* DayName(int16_t nDayOfWeek);
const char* MonthName(int16_t nMonth);

// Recomputes nDayOfYear and nDayOfWeek of the record from its year, month and day.
void RefreshDayFields(MsgDate* pxDate);

}  // namespace kerval::date
