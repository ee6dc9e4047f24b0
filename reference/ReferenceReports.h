// ReferenceReports: the element, lane and trap reports written the plain way, one fprintf per
// row straight from the row formats. They share nothing with the converter's own writers (their
// own period, device, listing and colour logic), so the tests can hold the fast writers' bytes
// against them and the benchmarks can measure against them.
//
// Each writes the header and every row for the device table in hand (lpDeviceData20Sec,
// iNumberofNames, iNumberofColumns, szDataStartTime) under the current options (bPERIOD with
// szPeriod, bDEVICE with szDevice, bINCLUDESPEEDLANES, bWRITEROWSFIRST), silently: no log and no
// console lines. A -P column outside the day, or a -D name not in the table, gives the header
// only. The element writer stores the colour classes of the periods and devices it visits, as
// the converter's does. Each returns 1.
#pragma once

#include <cstdio>

int ReferenceElementReport(FILE* out);
int ReferenceLaneReport(FILE* out);
int ReferenceTrapReport(FILE* out);
