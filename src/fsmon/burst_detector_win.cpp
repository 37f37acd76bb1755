#include "fsmon/burst_detector.h"

#include "incidents/incident_store.h"

void NoteChangeBatch(const std::wstring& folder) {
    int32_t severity = 0;
    if (RecordChangeBatch(severity)) CreateIncident(kReasonBurst, severity, folder);
}
