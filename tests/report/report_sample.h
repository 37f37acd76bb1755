// A realistic day for the report: incidents of every band and reason, names
// holding markup characters, and a log tail with quotes and angle brackets.
// Shared by the golden test, the sample writer and the screenshot script.
#pragma once

#include "report/report_compose.h"

ReportInputs SampleReportInputs();
