// What tarnet-update does with the records of its updates: the closing table of a run over several
// devices, the history table (--history), and the report and history files at the end of a run.
// Table columns line up in a terminal's columns.
#pragma once

#include <string>
#include <vector>

#include "UpdateRecord.h"

// device, model, ending, software revision, unit (USB serial number and path), duration, blocks
// sent again; one row per record, in the given order.
std::string ClosingTable(const std::vector<UpdateRecord>& records);
// The same with the start time (UTC) in front, one row per record, oldest first.
std::string HistoryTable(const std::vector<UpdateRecord>& records);

// Appends each record to the history, as every run does at its end. Errors go to standard error,
// at most once per process.
void AppendToHistory(const std::vector<UpdateRecord>& records);
// Writes the report `reportPath` (none when empty); false when it could not be written (said on
// standard error).
bool WriteReport(const std::vector<UpdateRecord>& records, const std::string& reportPath);
// Both at the end of a run (the history when `history`): the history first, so that a report,
// once there, says that its records are in the history too (--all relies on its copies' reports
// for that). False when the report could not be written.
bool KeepRecords(const std::vector<UpdateRecord>& records, const std::string& reportPath, bool history);

// --history: prints the history of updates as a table; the exit status.
int PrintHistory();
