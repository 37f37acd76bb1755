// incident.json bytes as the scanner reads them back: the summary, its time
// stamp, and the report page built from it. Then a written incident with
// arbitrary texts must read back unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "core/text.h"
#include "fuzz_support.h"
#include "incidents/incident_scanner.h"
#include "incidents/incident_store.h"
#include "report/report_compose.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string content = BytesOf(data, size);
    const IncidentSummary summary = ParseIncidentSummary(content);
    int64_t t = 0;
    ParseIncidentTime(content, t);
    if (ParseIncidentTime(summary.ts, t)) FUZZ_CHECK(t != -1);

    ReportInputs inputs;
    inputs.generated = "2026-03-14T09:26:53";
    inputs.incidents = {summary, summary};
    inputs.incidents[1].severity = summary.severity / 2;
    SortIncidentsNewestFirst(inputs.incidents);
    inputs.logTail = {content};
    const std::string page = ComposeReport(inputs);
    FUZZ_CHECK(!page.empty());

    FuzzedDataProvider provider(data, size);
    const int32_t severity = provider.ConsumeIntegral<int32_t>();
    const bool isAdmin = provider.ConsumeBool();
    const std::string reason = provider.ConsumeRandomLengthString(256);
    const std::wstring folder = Utf8ToWide(provider.ConsumeRandomLengthString(256));
    const std::wstring file = Utf8ToWide(provider.ConsumeRemainingBytesAsString());
    // The readers find the first "key" anywhere, so a value holding a quote
    // (as `x"file`) or spelling a key name can shadow a later key. Windows
    // names cannot hold quotes and reasons are fixed words, so the round trip
    // is promised only without them.
    for (const std::string& text : {reason, WideToUtf8(folder), WideToUtf8(file)}) {
        if (text.find('"') != std::string::npos) return 0;
        for (const char* key : {"ts", "reason", "severity", "folder", "file"})
            if (text == key) return 0;
    }
    const std::string json = BuildIncidentJson("2026-03-14T09:26:53", reason, severity, isAdmin, folder, true, file);
    const IncidentSummary back = ParseIncidentSummary(json);
    FUZZ_CHECK(back.ts == "2026-03-14T09:26:53");
    FUZZ_CHECK(back.reason == reason);
    FUZZ_CHECK(back.severity == severity);
    FUZZ_CHECK(back.folder == WideToUtf8(folder));
    FUZZ_CHECK(back.file == WideToUtf8(file));
    return 0;
}
