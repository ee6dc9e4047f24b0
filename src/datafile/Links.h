// The links between the devices of a data file: which lanes carry which speed trap's
// measurements, which lanes sum into which station, and the scan counts that overflow a period.
#pragma once

#include "base/RunLog.h"
#include "datafile/DeviceTable.h"

// Links every speed trap to its lane, lane variant and speed lane, through the name index: the
// partners carry the trap's measurements for the whole day (a later trap wins). Logs its counts
// with the file's shown name.
void IntegrateTrapData(tagDATAFILE* file, const char* name, tagLOG* log);

// Links each station to its lanes 1 to 8, each found after the one before it in the table.
void AggregateStationTrapData(tagDATAFILE* file);

// Warns on the console of every scan count above 1200 (a fully occupied period), device by
// device and period by period; the cap and the estimates are made with each block.
void CalculateSpeedLength(const tagDATAFILE& file);
